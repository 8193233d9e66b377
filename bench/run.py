"""Worker benchmarks: the native worker against the json + pathlib baseline, same requests.

    .venv/bin/python bench/run.py [--runs N] [workload ...]

Other benchmark scripts build their own workloads with bench/common.py and call common.main.
"""

import json
import random
from pathlib import Path

from common import Workload, main, request

READS = 20_000
FILES = 200
FILE_SIZE = 4096


def prepare_reads(root: Path):
    """200 files of 4 KB of source-like text, read 20,000 times (a quarter of them a range).

    Mostly ASCII with an occasional non-ASCII word, as source files are; a non-ASCII-heavy
    variant of this workload is "read-4k-intl".
    """
    return prepare(
        root,
        [
            "def",
            "return",
            "self.value",
            "for",
            "in",
            "if",
            "None",
            "=",
            "()",
            "x",
            "# comment",
            "    ",
        ]
        * 8
        + ["naïve", "“quoted”"],
    )


def prepare_reads_intl(root: Path):
    """As read-4k, with text where one word in six is outside ASCII."""
    return prepare(
        root,
        ["def", "return", "self", "value", "for", "in", "if", "None", "écrit", "naïve", "=", "()"],
    )


def prepare(root: Path, words):
    rng = random.Random(7)
    for i in range(FILES):
        text = ""
        while len(text.encode()) < FILE_SIZE:
            text += " ".join(rng.choice(words) for _ in range(rng.randint(3, 10))) + "\n"
        (root / f"file{i:03}.py").write_bytes(
            text.encode()[:FILE_SIZE].decode(errors="ignore").encode()
        )
    lines = []
    for i in range(READS):
        name = f"file{rng.randrange(FILES):03}.py"
        if i % 4 == 3:
            lines.append(request({"action": "read", "path": name, "start_line": 5, "end_line": 40}))
        else:
            lines.append(request({"action": "read", "path": name}))
    return lines


def check_read(reply: bytes):
    record = json.loads(reply)
    assert record["success"] and record["result"]["size"] > 0, record


WORKLOADS = [
    Workload("read-4k", prepare_reads, check_read),
    Workload("read-4k-intl", prepare_reads_intl, check_read),
]

if __name__ == "__main__":
    main(WORKLOADS)
