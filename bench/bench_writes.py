"""The cost of writes that survive faults: this worker's write, edit and append against a worker
that writes in place, as ratios measured in one run.

    .venv/bin/python bench/bench_writes.py [--against EXE] [--dir DIR] [--runs N] [workload ...]

This worker replaces a file through a temporary file beside it, flushed to the device and renamed
over the target; a worker that writes in place truncates and writes the file, without a flush.
--against names the other worker's executable (for example the native worker built from a
checkout of main, whose writes are in place); without it the json + pathlib baseline
(Path.write_text, in place) stands in. --dir puts the files on the file system to measure (the
flush costs what the device makes it cost; on a tmpfs it is free).

  write-4k     2,000 writes of 4 KB over 100 existing files
  write-1m     100 writes of 1 MB over 10 existing files
  edit-4k      1,000 one-line edits of 4 KB files
  append-100   5,000 appends of 100 bytes to 10 files (reserved, then written; no flush)
"""

import argparse
import json
import tempfile
from pathlib import Path

from common import Workload, baseline_command, compare, native_command, request


def prepare_writes(count, files, size):
    def prepare(root: Path):
        body = ("x" * 63 + "\n") * (size // 64)
        for i in range(files):
            (root / f"f{i}.txt").write_text(body)
        return [
            request(
                {"action": "write", "path": f"f{i % files}.txt", "content": body[:-1] + str(i % 10)}
            )
            for i in range(count)
        ]

    return prepare


def prepare_edits(root: Path):
    body = "".join(f"line {n}\n" for n in range(500))
    for i in range(50):
        (root / f"e{i}.txt").write_text(body)
    lines = []
    for i in range(1000):
        # Each edit is undone by the next one on the same file: every request finds its text.
        find, replace = (
            ("line 7\n", "line seven\n") if (i // 50) % 2 == 0 else ("line seven\n", "line 7\n")
        )
        lines.append(
            request(
                {
                    "action": "edit",
                    "path": f"e{i % 50}.txt",
                    "edits": [{"find": find, "replace": replace}],
                }
            )
        )
    return lines


def prepare_appends(root: Path):
    for i in range(10):
        (root / f"a{i}.log").write_text("start\n")
    return [
        request({"action": "append", "path": f"a{i % 10}.log", "content": "y" * 99 + "\n"})
        for i in range(5000)
    ]


def check_ok(reply: bytes):
    assert json.loads(reply)["success"], reply


WORKLOADS = [
    Workload("write-4k", prepare_writes(2000, 100, 4096), check_ok),
    Workload("write-1m", prepare_writes(100, 10, 1 << 20), check_ok),
    Workload("edit-4k", prepare_edits, check_ok),
    Workload("append-100", prepare_appends, check_ok),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--against", metavar="EXE", help="the worker that writes in place")
    ap.add_argument("--dir", metavar="DIR", help="where the files go (default: the system's temp)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("names", nargs="*")
    args = ap.parse_args()
    if args.dir:
        tempfile.tempdir = args.dir
    other = [args.against] if args.against else baseline_command()
    chosen = [w for w in WORKLOADS if not args.names or w.name in args.names]
    results = compare(
        chosen, runs=args.runs, contenders=[("safe", native_command()), ("in-place", other)]
    )
    print("cost of the safe write (its time over the in-place worker's, wall and processor):")
    for name, r in results.items():
        print(f"  {name}: wall {1 / r['wall']:.2f}x, cpu {1 / r['cpu']:.2f}x")


if __name__ == "__main__":
    main()
