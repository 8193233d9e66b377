"""Search, find and list through a running scrivel worker, as ratios against baselines.

Generates two trees under /tmp (about 3,000 files and 60 MB of source-like text for grep; about
50,000 entries for list and find), starts one worker, and times each request from writing its
line to reading its reply (the worker's start-up is measured on its own and left out). Times are
CPU time (the worker's from /proc/<pid>/schedstat, ripgrep's from the children's rusage, the
baselines' from process_time): the machine is shared, and wall time there measures the
neighbours as much as the code. The worker runs on one thread here (TALMEK_SCRIVEL_THREADS=1),
so that its processor time is all the work it does, against the one-threaded baselines;
bench_peers.py measures the search on every processor. Each figure is the median of several
runs; only ratios measured in this same run are printed:

  grep      Python baseline (rglob, read_text, splitlines, re.search per line) / worker
            worker / ripgrep (rg -j1, same tree, pattern and context)
  list/find Python baseline (sorted rglob with is_dir/is_file/stat, or rglob) / worker

Run: .venv/bin/python bench/bench_search.py [--runs N]
"""

import argparse
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import time
from pathlib import Path

from common import native_command
from support import reference

GREP_ROOT = Path("/tmp/scrivel-bench-grep")
WALK_ROOT = Path("/tmp/scrivel-bench-walk")

WORDS = (
    "value index result buffer handler config request response stream token parser "
    "context window record entry status error offset length module import return self "
    "data item key name path line count limit match search walk tree node list"
).split()


def source_line(rng):
    kind = rng.random()
    ind = "    " * rng.randint(0, 3)
    w = rng.choice
    if kind < 0.12:
        return f"{ind}def {w(WORDS)}_{w(WORDS)}({w(WORDS)}, {w(WORDS)}={rng.randint(0, 99)}):"
    if kind < 0.3:
        return f"{ind}# {' '.join(rng.choice(WORDS) for _ in range(rng.randint(3, 10)))}"
    if kind < 0.35:
        return ""
    return f"{ind}{w(WORDS)}_{w(WORDS)} = {w(WORDS)}.{w(WORDS)}({w(WORDS)}[{rng.randint(0, 999)}])"


def make_grep_tree():
    GREP_ROOT.mkdir(parents=True)
    rng = random.Random(6)
    for d in range(60):
        sub = GREP_ROOT / f"pkg{d:02d}" / f"mod{d % 7}"
        sub.mkdir(parents=True)
        for f in range(50):
            lines = []
            size = 0
            target = rng.randint(10_000, 30_000)
            while size < target:
                line = source_line(rng)
                if rng.random() < 0.0004:
                    line += "  # needle_marker"
                lines.append(line)
                size += len(line) + 1
            (sub / f"file{f:02d}.py").write_text("\n".join(lines) + "\n")


def make_walk_tree():
    WALK_ROOT.mkdir(parents=True)
    for d in range(2_500):
        sub = WALK_ROOT / f"d{d // 50:02d}" / f"e{d % 50:02d}"
        sub.mkdir(parents=True)
        for f in range(19):
            (sub / (f"f{f}.py" if f % 3 else f"g{f}.txt")).write_text("x" * f)


# ---------------------------------------------------------------------------------------------
# Baselines: the tests' references (tests/support/reference.py)


def py_grep(root, regex, context):
    return reference.grep_files(root, regex, max_results=10**9, context_lines=context)["result"][
        "matches"
    ]


def py_list(root):
    return reference.list_dir(root, True, None)


def py_find(root, pattern):
    return reference.find_files(root, pattern)


# ---------------------------------------------------------------------------------------------
# The worker


class Worker:
    def __init__(self):
        t0 = time.perf_counter()
        self.proc = subprocess.Popen(
            native_command(),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            bufsize=1 << 20,
            env=dict(os.environ, TALMEK_SCRIVEL_THREADS="1"),
        )
        self.request({"action": "list", "path": "/"})
        self.startup = time.perf_counter() - t0

    def raw(self, req):
        """The reply line, unparsed: decoding it in this process is no part of the request."""
        self.proc.stdin.write((json.dumps(req) + "\n").encode())
        self.proc.stdin.flush()
        return self.proc.stdout.readline()

    def request(self, req):
        return json.loads(self.raw(req))

    def cpu(self):
        with open(f"/proc/{self.proc.pid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9

    def timed_raw(self, req):
        c0 = self.cpu()
        line = self.raw(req)
        return self.cpu() - c0, line

    def close(self):
        try:
            self.request({"action": "quit"})
        finally:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)


def median_time(fn, runs):
    """Median CPU time of fn() in this process."""
    times = []
    result = None
    for _ in range(runs):
        t0 = time.process_time()
        result = fn()
        times.append(time.process_time() - t0)
    return statistics.median(times), result


def median_worker(w, req, runs):
    times, line = [], None
    for _ in range(runs):
        t, line = w.timed_raw(req)
        times.append(t)
    return statistics.median(times), json.loads(line)


def median_child(cmd, runs):
    times = []
    for _ in range(runs):
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False)
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        times.append(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    runs = args.runs

    for root, make in ((GREP_ROOT, make_grep_tree), (WALK_ROOT, make_walk_tree)):
        shutil.rmtree(root, ignore_errors=True)
        make()
    size = sum(f.stat().st_size for f in GREP_ROOT.rglob("*") if f.is_file())
    nfiles = sum(1 for f in GREP_ROOT.rglob("*") if f.is_file())
    nentries = sum(1 for _ in WALK_ROOT.rglob("*"))
    print(f"grep tree: {nfiles} files, {size / 1e6:.1f} MB; walk tree: {nentries} entries")

    w = Worker()
    rg = shutil.which("rg")
    cases = [("literal", "needle_marker", 2), ("regex", r"def \w+_handler\(\w+, ", 2)]
    try:
        for name, regex, ctx in cases:
            req = {
                "action": "grep",
                "path": str(GREP_ROOT),
                "regex": regex,
                "max_results": 10**9,
                "context_lines": ctx,
            }
            ours, reply = median_worker(w, req, runs)
            base, ref = median_time(lambda: py_grep(GREP_ROOT, regex, ctx), max(3, runs // 2))  # noqa: B023
            assert reply["success"] and reply["result"]["count"] == len(ref), (
                reply.get("error"),
                len(ref),
            )
            line = (
                f"grep {name:8s} ({len(ref)} matches, context {ctx}): "
                f"{base / ours:6.1f}x faster than the Python baseline"
            )
            if rg:
                cmd = [rg, "-j1", "-n", "-C", str(ctx), "--no-heading", regex, str(GREP_ROOT)]
                rg_time = median_child(cmd, runs)
                line += f"; {ours / rg_time:5.2f}x the time of rg -j1"
            print(line)

        req = {"action": "list", "path": str(WALK_ROOT), "recursive": True}
        ours, reply = median_worker(w, req, runs)
        base, ref = median_time(lambda: py_list(WALK_ROOT), max(3, runs // 2))
        assert reply["result"]["entries"] == ref
        print(
            f"list recursive ({len(ref)} entries): {base / ours:6.1f}x faster than the Python baseline"  # noqa: E501
        )

        for pattern in ("*", "*.py"):
            req = {
                "action": "find",
                "path": str(WALK_ROOT),
                "pattern": pattern,
                "max_results": 10**9,
            }
            ours, reply = median_worker(w, req, runs)
            base, ref = median_time(lambda: py_find(WALK_ROOT, pattern), max(3, runs // 2))  # noqa: B023
            assert reply["result"]["count"] == len(ref)
            print(
                f"find {pattern!r:6s} ({len(ref)} matches): {base / ours:6.1f}x faster than the Python baseline"  # noqa: E501
            )
        print(f"(worker start-up, not counted above: {w.startup * 1e3:.0f} ms)")
    finally:
        w.close()
        for root in (GREP_ROOT, WALK_ROOT):
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    os.nice(5)
    main()
