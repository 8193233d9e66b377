"""The worker's operations called as module functions, in process, against plain Python doing
the same work, as ratios.

Run:  .venv/bin/python bench/bench_module_calls.py [--runs N]

What is measured is the call and the conversion of its result to Python objects, the part a
host pays when it imports the module instead of starting the worker.

Workloads (each timed N times, baseline and native interleaved, median taken):
  read-4k      4,000 reads of 50 files of 4 KB (the baseline worker's own read).
  list-tree    200 recursive listings of a tree of 50 files in 5 directories (os.walk + stat).
  grep-tree    20 searches of the same tree, 550 matching lines each (re over each line).
Ratios are baseline time / native time: above 1 means the module is faster.
"""

import argparse
import os
import re
import statistics
import tempfile
import time
from pathlib import Path

import baseline_worker
from talmek.workers import scrivel


def make_tree(root: Path):
    for d in range(5):
        sub = root / f"d{d}"
        sub.mkdir()
        for i in range(10):
            lines = "".join(f"def f{j}(self): return self.value + {j}\n" for j in range(100))
            (sub / f"f{i}.py").write_text(lines)


def py_list(path):
    out = []
    for top, dirs, files in os.walk(path):
        dirs.sort()
        for name in sorted(dirs + files):
            p = os.path.join(top, name)
            st = os.stat(p)
            out.append(
                {
                    "name": name,
                    "path": p,
                    "type": "dir" if name in dirs else "file",
                    "size": st.st_size,
                }
            )
    return {"success": True, "result": out}


def py_grep(path, regex):
    pattern = re.compile(regex)
    out = []
    for top, dirs, files in os.walk(path):
        dirs.sort()
        for name in sorted(files):
            p = os.path.join(top, name)
            with open(p, encoding="utf-8") as f:
                for n, line in enumerate(f, 1):
                    if pattern.search(line):
                        out.append({"file": p, "line": n, "content": line.rstrip("\n")})
    return {"success": True, "result": out}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="bench-module-"))
    make_tree(root)
    files = sorted(str(p) for p in root.rglob("*.py"))
    reads = [{"action": "read", "path": files[i % len(files)]} for i in range(4000)]
    lists = [{"action": "list", "path": str(root), "recursive": True}] * 200
    greps = [
        {"action": "grep", "path": str(root), "regex": r"value \+ 9", "max_results": 1000}
    ] * 20
    workloads = {
        "read-4k": (reads, baseline_worker.handle_command),
        "list-tree": (lists, lambda r: py_list(r["path"])),
        "grep-tree": (greps, lambda r: py_grep(r["path"], r["regex"])),
    }
    print(f"{'workload':<12} {'ratio':>7}   (baseline time / native time, median of {args.runs})")
    for name, (requests, baseline) in workloads.items():
        times = {"baseline": [], "native": []}
        for _ in range(args.runs):
            for who, fn in (("baseline", baseline), ("native", scrivel.handle_command)):
                start = time.perf_counter()
                for r in requests:
                    fn(r)
                times[who].append(time.perf_counter() - start)
        ratio = statistics.median(times["baseline"]) / statistics.median(times["native"])
        print(f"{name:<12} {ratio:7.2f}")


if __name__ == "__main__":
    main()
