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

With --against PYTHON (the interpreter of another build, e.g. a checkout of main), the shell
workloads are also timed in child processes of both builds, alternating between them, and the
report gives other/this: above 1 means this build's tool is faster. Each child first fills
--host-mb megabytes (0 and 512 by default), since starting a command costs a fork of the host.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import common  # noqa: F401 - puts the tests' support package on the path
from support import reference
from talmek.core.steerix import _run_bash_tool, _run_editor_tool


def py_view(path, view_range=None):
    with open(path) as f:
        return reference.editor_view(path, f.read(), view_range)


def py_insert(path, position, new_str):
    with open(path) as f:
        text = reference.editor_insert(f.read(), position, new_str)
    with open(path, "w") as f:
        f.write(text)


def py_bash(command):
    return reference.bash_tool(command)["text"]


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


# Times `calls` runs of one command through the bash tool of the interpreter running it, in a host
# that holds `host_mb` MB of touched memory; prints the median seconds per call.
CHILD = """
import statistics, sys, time
from talmek.core.steerix import _run_bash_tool
command, calls, host_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
ballast = bytearray(host_mb << 20)
for i in range(0, len(ballast), 4096):
    ballast[i] = 1
times = []
for _ in range(calls):
    start = time.perf_counter()
    _run_bash_tool({"command": command})
    times.append(time.perf_counter() - start)
print(statistics.median(times))
"""


def compare_builds(other_python, runs, host_mbs):
    workloads = [
        ("bash-small", "echo hi", 200),
        (
            "bash-8mb",
            "head -c 4194304 /dev/zero | tr '\\0' a; head -c 4194304 /dev/zero | tr '\\0' b >&2",
            10,
        ),
    ]
    for host_mb in host_mbs:
        for name, command, calls in workloads:
            this, other = [], []
            for _ in range(runs):
                for python, sink in ((other_python, other), (sys.executable, this)):
                    out = subprocess.run(
                        [python, "-c", CHILD, command, str(calls), str(host_mb)],
                        capture_output=True,
                        text=True,
                        check=True,
                    ).stdout
                    sink.append(float(out))
            ratio = statistics.median(other) / statistics.median(this)
            print(
                f"{name:12s} host {host_mb:4d} MB  other/this = {ratio:6.2f}"
                f"   (this {statistics.median(this) * 1e3:.2f} ms per call)"
            )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument(
        "--against",
        metavar="PYTHON",
        help="also compare the shell tool with the build behind this interpreter",
    )
    ap.add_argument("--host-mb", type=int, nargs="*", default=[0, 512])
    args = ap.parse_args()
    runs = args.runs
    if args.against:
        compare_builds(args.against, runs, args.host_mb)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "big.txt")
        with open(path, "w") as f:
            f.writelines(f"    value_{i} = compute(item, {i % 997});\n" for i in range(200_000))
        assert _run_editor_tool({"command": "view", "path": path})["text"] == py_view(path)

        compare(
            "view-200k",
            lambda: py_view(path),
            lambda: _run_editor_tool({"command": "view", "path": path}),
            runs,
        )
        compare(
            "view-range",
            lambda: py_view(path, [100_000, 100_050]),
            lambda: _run_editor_tool(
                {"command": "view", "path": path, "view_range": [100_000, 100_050]}
            ),
            runs,
        )
        compare(
            "insert-200k",
            lambda: py_insert(path, 100_000, "x = 1"),
            lambda: _run_editor_tool(
                {"command": "insert", "path": path, "insert_line": 100_000, "new_str": "x = 1"}
            ),
            runs,
        )

    big = "head -c 4194304 /dev/zero | tr '\\0' a; head -c 4194304 /dev/zero | tr '\\0' b >&2"
    assert _run_bash_tool({"command": big})["text"] == py_bash(big)
    compare("bash-8mb", lambda: py_bash(big), lambda: _run_bash_tool({"command": big}), runs)
    compare(
        "bash-small",
        lambda: py_bash("echo hi"),
        lambda: _run_bash_tool({"command": "echo hi"}),
        runs,
    )


if __name__ == "__main__":
    main()
