"""What allowed roots cost: the native worker with `--root` against the same worker without.

Run:  .venv/bin/python bench/bench_confinement.py [--runs N] [workload ...]

Each workload streams the same requests through `talmek-scrivel --root <temporary directory>`
(the path check per request, every system call beneath the root's descriptor, Landlock around
the process) and through plain `talmek-scrivel`, alternating, in the same run. The ratio is
unconfined time / confined time: 1.0 means the roots cost nothing, 0.8 that a confined request
takes 1.25 times as long.

  read-small   10,000 reads of 4 KiB files four directories deep
  write-small  10,000 writes of 100 bytes into files four directories deep
  list-tree    20 recursive listings of a tree of 1,000 files (a status query per entry)
  grep-tree    20 searches through the same tree (an open per file)
"""

import tempfile
from pathlib import Path

import common
from common import Workload, native_command, request
from common import main as bench_main

DEPTH = "p/q/r/s"


def make_files(d, n, size):
    sub = d / DEPTH
    sub.mkdir(parents=True)
    for i in range(n):
        (sub / f"f{i}.txt").write_bytes((b"word " * (size // 5))[:size])


def make_tree(d):
    for i in range(1000):
        sub = d / "t" / f"d{i // 100}" / f"e{i // 10}"
        sub.mkdir(parents=True, exist_ok=True)
        (sub / f"f{i}.txt").write_text(f"line {i}\nvalue {i * 7}\n")


def read_small(d):
    make_files(d, 200, 4096)
    return [request({"action": "read", "path": f"{DEPTH}/f{i % 200}.txt"}) for i in range(10000)]


def write_small(d):
    (d / DEPTH).mkdir(parents=True)
    return [
        request({"action": "write", "path": f"{DEPTH}/w{i % 200}.txt", "content": "x" * 100})
        for i in range(10000)
    ]


def list_tree(d):
    make_tree(d)
    return [request({"action": "list", "path": "t", "recursive": True}) for _ in range(20)]


def grep_tree(d):
    make_tree(d)
    return [request({"action": "grep", "path": "t", "regex": "value 7"}) for _ in range(20)]


def ok(line):
    assert b'"success": true' in line, line


WORKLOADS = [
    Workload("read-small", read_small, ok),
    Workload("write-small", write_small, ok),
    Workload("list-tree", list_tree, ok),
    Workload("grep-tree", grep_tree, ok),
]


if __name__ == "__main__":
    # Every workload's directory is made under the temporary directory, which is the root.
    root = str(Path(tempfile.gettempdir()).resolve())
    contenders = [
        ("confined", native_command() + ["--root", root]),
        ("unconfined", native_command()),
    ]
    original = common.compare
    common.compare = lambda workloads, runs=5, contenders=contenders: original(
        workloads, runs, contenders
    )
    bench_main(WORKLOADS)
