"""The agent's shell and editor tools against plain Python doing the same work, as ratios.

Run:  .venv/bin/python bench/bench_agent_tools.py [--runs N]

Workloads (each timed N times, baseline and native interleaved, median taken):
  view-200k     view of a 200,000-line file: the tool against open().read(), splitlines and an
                f-string join.
  view-range    view of lines 100000-100050 of the same file, the same two ways.
  insert-200k   insert of one line in the middle of that file (read, splice, write back).
  bash-8mb      a command printing 4 MB on each stream: the tool against subprocess.run in text
                mode with the same assembly of the result.
  bash-small    `echo hi`: the cost of starting one shell.
Ratios are baseline time / native time: above 1 means the native tool is faster.
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

from talmek.core.steerix import _run_bash_tool, _run_editor_tool


def py_view(path, view_range=None):
    with open(path) as f:
        lines = f.read().splitlines()
    if view_range and len(view_range) == 2:
        start, end = view_range
        lines = lines[start - 1:end]
        header = f"Lines {start}-{end} of {path}:\n"
    else:
        header = f"Contents of {path}:\n"
    return header + "\n".join(f"{i + 1:4d} | {line}" for i, line in enumerate(lines))


def py_insert(path, position, new_str):
    with open(path) as f:
        lines = f.read().splitlines(keepends=True)
    lines.insert(position, new_str + "\n")
    with open(path, "w") as f:
        f.write("".join(lines))


def py_bash(command):
    r = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=30,
                       cwd=os.path.expanduser("~"))
    text = r.stdout
    if r.stderr:
        text += f"\nSTDERR:\n{r.stderr}"
    if r.returncode:
        text += f"\n(exit code: {r.returncode})"
    return text or "(no output)"


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def compare(name, baseline, native, runs):
    base, nat = [], []
    for _ in range(runs):
        base.append(timed(baseline))
        nat.append(timed(native))
    ratio = statistics.median(base) / statistics.median(nat)
    print(f"{name:12s} baseline/native = {ratio:6.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    runs = ap.parse_args().runs
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "big.txt")
        with open(path, "w") as f:
            f.writelines(f"    value_{i} = compute(item, {i % 997});\n" for i in range(200_000))
        assert _run_editor_tool({"command": "view", "path": path})["text"] == py_view(path)

        compare("view-200k", lambda: py_view(path),
                lambda: _run_editor_tool({"command": "view", "path": path}), runs)
        compare("view-range", lambda: py_view(path, [100_000, 100_050]),
                lambda: _run_editor_tool({"command": "view", "path": path,
                                          "view_range": [100_000, 100_050]}), runs)
        compare("insert-200k", lambda: py_insert(path, 100_000, "x = 1"),
                lambda: _run_editor_tool({"command": "insert", "path": path,
                                          "insert_line": 100_000, "new_str": "x = 1"}), runs)

    big = ("head -c 4194304 /dev/zero | tr '\\0' a; "
           "head -c 4194304 /dev/zero | tr '\\0' b >&2")
    assert _run_bash_tool({"command": big})["text"] == py_bash(big)
    compare("bash-8mb", lambda: py_bash(big), lambda: _run_bash_tool({"command": big}), runs)
    compare("bash-small", lambda: py_bash("echo hi"),
            lambda: _run_bash_tool({"command": "echo hi"}), runs)


if __name__ == "__main__":
    main()
