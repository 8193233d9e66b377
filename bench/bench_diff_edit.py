"""Diff and edit workloads: the native worker against plain Python, as ratios measured in one run.

Run:  .venv/bin/python bench/bench_diff_edit.py [--runs N]

Workloads (each timed N times, median taken, baseline and native interleaved; the diffs run in
this process and are timed in processor time, the edit goes through worker processes and is
timed on the wall clock):
  diff-20k      two 20,000-line files with 200 scattered changes: diff_files (reading included)
                against Path.read_text + splitlines + difflib.unified_diff.
  diff-5k-most  two 5,000-line files that differ almost everywhere, the same two ways.
  edit-5mb      one "edit" request with 50 edits on a 5 MB file, sent through a worker process
                over JSON lines: the native worker against a Python worker whose edit handler
                uses pathlib, str.replace and difflib (defined below).
Then peak RSS (/usr/bin/time -v) of one diff-20k in a fresh process, each way.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from common import native_command
from support import reference
from talmek.workers import scrivel

# The baseline worker process finds the tests' references as this process does.
TESTS_ENV = {**os.environ, "PYTHONPATH": str(Path(__file__).resolve().parent.parent / "tests")}

# ---------------------------------------------------------------------------------------------
# Workload data: source-code-like lines, with the blank and closing lines that make real files
# have "popular" lines.

WORDS = ["value", "count", "item", "result", "index", "name", "buffer", "size", "node", "data"]


def code_line(rng, serial):
    r = rng.random()
    if r < 0.06:
        return "\n"
    if r < 0.10:
        return "    }\n"
    if r < 0.12:
        return "        return result;\n"
    indent = " " * (4 * rng.randint(1, 3))
    a, b = rng.sample(WORDS, 2)
    return f"{indent}{a}_{serial} = compute({b}, {rng.randint(0, 999)});\n"


def make_lines(rng, n, start=0):
    return [code_line(rng, start + i) for i in range(n)]


def scattered_changes(rng, lines, changes):
    out = list(lines)
    serial = 10**7
    for pos in sorted(rng.sample(range(len(out) - 1), changes), reverse=True):
        kind = rng.choice(["modify", "insert", "delete"])
        serial += 1
        if kind == "modify":
            out[pos] = code_line(rng, serial)
        elif kind == "insert":
            out.insert(pos, code_line(rng, serial))
        else:
            del out[pos]
    return out


def mostly_different(rng, lines, keep=0.1):
    return [
        line if rng.random() < keep else code_line(rng, 10**8 + i) for i, line in enumerate(lines)
    ]


# ---------------------------------------------------------------------------------------------
# Timing


def median_time(fn, runs, clock=time.process_time):
    # Processor time of this process: the machine is shared, and wall time would also count
    # the time other processes took the processor away from the one being measured.
    times = []
    for _ in range(runs):
        t = clock()
        fn()
        times.append(clock() - t)
    return statistics.median(times)


def python_diff(a, b):
    return reference.diff_files(a, b)["result"]["diff"]


def bench_diff(name, a_lines, b_lines, runs, workdir):
    a, b = workdir / f"{name}.a", workdir / f"{name}.b"
    a.write_text("".join(a_lines))
    b.write_text("".join(b_lines))
    native = scrivel.diff_files(str(a), str(b))
    assert native == {"success": True, "result": {"diff": python_diff(a, b)}}, "outputs differ"
    # Interleaved, so that a change in the machine's load falls on both alike.
    base, ours = [], []
    for _ in range(runs):
        base.append(median_time(lambda: python_diff(a, b), 1))
        ours.append(median_time(lambda: scrivel.diff_files(str(a), str(b)), 3))
    return statistics.median(base), statistics.median(ours)


# ---------------------------------------------------------------------------------------------
# Workers over JSON lines

# The baseline worker answers "edit" with the tests' reference edit_file.
BASELINE_WORKER = r"""
import json, sys
from support.reference import edit_file

for line in sys.stdin:
    line = line.strip()
    if not line:
        continue
    cmd = json.loads(line)
    if cmd.get("action") == "quit":
        print(json.dumps({"success": True, "result": "goodbye"}), flush=True)
        break
    print(json.dumps(edit_file(cmd.get("path", ""), cmd.get("edits", []))), flush=True)
"""


class Worker:
    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
        )

    def ask(self, request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.write('{"action": "quit"}\n')
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def bench_edit(runs, workdir):
    rng = random.Random(3)
    lines = []
    size = 0
    while size < 5 * 1024 * 1024:
        line = code_line(rng, len(lines))
        lines.append(line)
        size += len(line)
    text = "".join(lines)
    # 45 single replacements of unique assignments, spread over the file, and 5 "all" edits of
    # calls that occur about ten times each.
    targets = sorted(rng.sample([i for i, line in enumerate(lines) if "compute" in line], 45))
    edits = []
    for i in targets:
        lhs = lines[i].split(" = ")[0].strip()
        edits.append({"find": lhs + " = ", "replace": lhs + "_renamed = "})
    for k in range(1, 6):
        edits.append(
            {"find": f"compute(data, {k}{k});", "replace": f"compute2(data, {k});", "all": True}
        )
    path = workdir / "big.txt"
    request = {"action": "edit", "path": str(path), "edits": edits}

    native_argv = native_command()
    native_kind = os.path.basename(native_argv[0])
    workers = {
        "baseline": Worker([sys.executable, "-c", BASELINE_WORKER], env=TESTS_ENV),
        "native": Worker(native_argv),
    }
    times = {"baseline": [], "native": []}
    replies = {}
    try:
        for _ in range(runs):
            for name, worker in workers.items():
                path.write_text(text)
                t = time.perf_counter()
                replies[name] = worker.ask(request)
                times[name].append(time.perf_counter() - t)
    finally:
        for worker in workers.values():
            worker.close()
    assert replies["native"] == replies["baseline"], "edit replies differ"
    assert replies["native"]["success"], replies["native"]
    return (
        statistics.median(times["baseline"]),
        statistics.median(times["native"]),
        native_kind,
        len(lines),
    )


# ---------------------------------------------------------------------------------------------
# Memory

RSS_NATIVE = (
    "import sys\nfrom talmek.workers import scrivel\nscrivel.diff_files(sys.argv[1], sys.argv[2])\n"
)
RSS_PYTHON = (
    "import sys, difflib\nfrom pathlib import Path\nfrom talmek.workers import scrivel\n"
    "a = Path(sys.argv[1]).read_text().splitlines(keepends=True)\n"
    "b = Path(sys.argv[2]).read_text().splitlines(keepends=True)\n"
    "''.join(difflib.unified_diff(a, b, sys.argv[1], sys.argv[2]))\n"
)
RSS_IDLE = "import sys\nfrom talmek.workers import scrivel\n"


def peak_rss_kib(code, *args):
    out = subprocess.run(
        ["/usr/bin/time", "-v", sys.executable, "-c", code, *args], capture_output=True, text=True
    )
    for line in out.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.rsplit(":", 1)[1])
    raise RuntimeError(out.stderr)


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        rows = []
        rng = random.Random(1)
        a = make_lines(rng, 20_000)
        b = scattered_changes(rng, a, 200)
        base, ours = bench_diff("diff-20k", a, b, args.runs, workdir)
        rows.append(("diff-20k (200 scattered changes)", base, ours, 30))

        rng = random.Random(2)
        a = make_lines(rng, 5_000)
        b = mostly_different(rng, a)
        base, ours = bench_diff("diff-5k-most", a, b, args.runs, workdir)
        rows.append(("diff-5k (differs almost everywhere)", base, ours, 10))

        base, ours, kind, nlines = bench_edit(max(3, args.runs), workdir)
        rows.append((f"edit-5mb (50 edits, {nlines} lines, worker process)", base, ours, 5))

        print(
            f"median of {args.runs} runs (edit: {max(3, args.runs)}); ratio = baseline time / native time"  # noqa: E501
        )
        for name, base, ours, goal in rows:
            ratio = base / ours
            mark = "ok" if ratio >= goal else "BELOW GOAL"
            print(f"  {name:<55} {ratio:8.1f}x   (goal >= {goal}x: {mark})")
        print(f"  native worker: {kind}")

        fa, fb = str(workdir / "diff-20k.a"), str(workdir / "diff-20k.b")
        idle = peak_rss_kib(RSS_IDLE)
        native = peak_rss_kib(RSS_NATIVE, fa, fb)
        python = peak_rss_kib(RSS_PYTHON, fa, fb)
        print("peak RSS of one diff-20k in a fresh interpreter (module imported in all three):")
        print(
            f"  interpreter alone {idle / 1024:6.1f} MiB; native diff_files {native / 1024:6.1f} MiB "  # noqa: E501
            f"(+{(native - idle) / 1024:.1f}); Python difflib {python / 1024:6.1f} MiB (+{(python - idle) / 1024:.1f})"  # noqa: E501
        )
        print(
            f"  memory ratio (Python's increase / native increase): {(python - idle) / max(1, native - idle):.1f}x"  # noqa: E501
        )


if __name__ == "__main__":
    main()
