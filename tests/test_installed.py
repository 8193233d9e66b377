"""The package as a host gets it: installed into the environment (from the wheel, in
scripts/test-wheel), with its typing files, and the worker started the way a host starts it."""

import json
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import talmek
from talmek.core import steerix
from talmek.workers import scrivel

SITE = {Path(sysconfig.get_path(kind)).resolve() for kind in ("purelib", "platlib")}


@pytest.mark.parametrize("module", [talmek, scrivel, steerix], ids=lambda m: m.__name__)
def test_the_package_comes_from_the_environment(module):
    where = Path(module.__file__).resolve()
    assert any(where.is_relative_to(site) for site in SITE), f"{where} is not under {SITE}"


def test_typing_files_ship_beside_the_modules():
    root = Path(talmek.__file__).parent
    for name in ("py.typed", "workers/scrivel.pyi", "core/steerix.pyi"):
        assert (root / name).is_file(), name


def test_the_worker_serves_a_session_beside_the_interpreter(tmp_path):
    worker = Path(sys.executable).with_name("talmek-scrivel")
    assert worker.exists(), "talmek-scrivel is not installed beside the interpreter"
    requests = [
        {"action": "write", "path": "notes/a.txt", "content": "café naïve\n" + "a" * 40 + "b\n"},
        {"action": "grep", "path": ".", "regex": r"\bna\w+"},
        {"action": "grep", "path": ".", "regex": r"(a+)+$"},
        {"action": "edit", "path": "notes/a.txt", "edits": [{"find": "café", "replace": "tea"}]},
        {"action": "quit"},
    ]
    proc = subprocess.run(
        [str(worker)],
        input="".join(json.dumps(r) + "\n" for r in requests),
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    wrote, found, runaway, edited, bye = map(json.loads, proc.stdout.splitlines())
    path = str(tmp_path / "notes" / "a.txt")
    assert wrote == {"success": True, "result": {"path": path, "size": 55, "lines": 2}}
    # \w is Unicode-aware, as in Python's re: the linked-in PCRE2 runs with UCP.
    assert [m["line"] for m in found["result"]["matches"]] == ["café naïve"]
    # A catastrophic pattern ends in a failure record, not a hung worker.
    assert runaway["success"] is False and "backtracking" in runaway["error"]
    assert edited["result"]["changes"] == 1
    assert bye == {"success": True, "result": "goodbye"}
