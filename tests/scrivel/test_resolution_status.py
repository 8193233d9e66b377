"""Paths of every shape, as the operations resolve them and tell what is there: against pathlib,
through the module functions and through the native executable (whose working directory is
kept from one request to the next), including a working directory renamed or removed under it."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from talmek.workers import scrivel

BIN = Path(sys.executable).parent
NATIVE = [str(BIN / "talmek-scrivel")]
PYTHON_LOOP = [str(BIN / "talmek-scrivel-py")]


def layout(root: Path) -> None:
    (root / "f.txt").write_text("one\ntwo\n")
    (root / "d").mkdir()
    (root / "d" / "g.txt").write_text("three\n")
    (root / "to_file").symlink_to("f.txt")
    (root / "to_dir").symlink_to("d")
    (root / "to_link").symlink_to("to_file")
    (root / "broken").symlink_to("missing")
    (root / "loop").symlink_to("loop")
    (root / "abs_to_file").symlink_to(root / "d" / "g.txt")


# Relative shapes: plain, through links, with "..", through a file, missing at either end.
SHAPES = [
    "f.txt",
    "d",
    "to_file",
    "to_dir",
    "to_link",
    "broken",
    "loop",
    "abs_to_file",
    "missing",
    "missing/x",
    "f.txt/x",
    "f.txt/..",
    "d/../f.txt",
    "to_dir/../f.txt",
    "to_dir/g.txt",
    "to_dir/..",
    "missing/..",
    "./d/./g.txt",
    "",
    ".",
    "d/",
    "loop/x",
    "broken/..",
]


def ref_read(arg: str) -> dict:
    p = Path(arg).expanduser().resolve()
    if not p.exists():
        return {"success": False, "error": "File not found: " + arg}
    if not p.is_file():
        return {"success": False, "error": "Not a file: " + arg}
    text = p.read_text(encoding="utf-8", errors="replace")
    return {
        "success": True,
        "result": {
            "content": text,
            "total_lines": len(text.splitlines()),
            "path": str(p),
            "size": p.stat().st_size,
        },
    }


def ref_list(arg: str) -> dict:
    p = Path(arg).expanduser().resolve()
    if not p.exists():
        return {"success": False, "error": "Directory not found: " + arg}
    if not p.is_dir():
        return {"success": False, "error": "Not a directory: " + arg}
    entries = [
        {
            "path": c.name,
            "type": "dir" if c.is_dir() else "file",
            "size": c.stat().st_size if c.is_file() else 0,
        }
        for c in sorted(p.iterdir())
    ]
    return {"success": True, "result": {"entries": entries, "count": len(entries)}}


def ref_find(arg: str) -> dict:
    p = Path(arg).expanduser().resolve()
    if not p.exists():
        return {"success": False, "error": "Directory not found: " + arg}
    matches = [
        {
            "path": str(c),
            "type": "dir" if c.is_dir() else "file",
            "size": c.stat().st_size if c.is_file() else 0,
        }
        for c in p.rglob("*.txt")
    ]
    return {"success": True, "result": {"matches": matches, "count": len(matches)}}


def requests(arg: str):
    return [
        ({"action": "read", "path": arg}, ref_read),
        ({"action": "list", "path": arg}, ref_list),
        ({"action": "find", "path": arg, "pattern": "*.txt"}, ref_find),
    ]


@pytest.fixture
def tree(tmp_path, monkeypatch):
    root = tmp_path / "w"
    root.mkdir()
    layout(root)
    monkeypatch.chdir(root)
    return root


def serve(cmd, lines, cwd):
    data = "".join(json.dumps(r) + "\n" for r in lines).encode()
    done = subprocess.run(cmd, input=data, capture_output=True, cwd=cwd, timeout=60)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


@pytest.mark.parametrize("arg", SHAPES)
def test_module_functions_resolve_and_test_as_pathlib(tree, arg):
    calls = {
        "read": lambda: scrivel.read_file(arg),
        "list": lambda: scrivel.list_dir(arg),
        "find": lambda: scrivel.find_files(arg, "*.txt"),
    }
    for req, ref in requests(arg):
        assert calls[req["action"]]() == ref(arg), req


def test_native_worker_resolves_and_tests_as_pathlib(tree):
    # Every shape, relative and absolute, in one session: the kept working directory serves them
    # all, and each answer is what pathlib says.
    args = SHAPES + [str(tree / s) for s in SHAPES if s]
    pairs = [pair for arg in args for pair in requests(arg)]
    replies = serve(NATIVE, [req for req, _ in pairs], tree)
    for (req, ref), reply in zip(pairs, replies, strict=True):
        assert reply == ref(req["path"]), req


def rename_session(cwd: Path, moved: Path, removed: bool):
    """Replies of a worker in `cwd` to reads before and after its directory moves to `moved`
    (and, with `removed`, is then deleted)."""
    out = []
    for cmd in (NATIVE, PYTHON_LOOP):
        cwd.mkdir()
        (cwd / "f.txt").write_text("x\n")
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=cwd)

        def ask(req):
            proc.stdin.write((json.dumps(req) + "\n").encode())  # noqa: B023
            proc.stdin.flush()  # noqa: B023
            return json.loads(proc.stdout.readline())  # noqa: B023

        replies = [ask({"action": "read", "path": "f.txt"})]
        cwd.rename(moved)
        # First what looks nothing up below the working directory, then what does.
        replies.append(ask({"action": "list", "path": "."}))
        replies.append(ask({"action": "read", "path": ""}))
        for arg in ("f.txt", "new.txt"):
            replies.append(ask({"action": "read", "path": arg}))
        if removed:
            for p in moved.iterdir():
                p.unlink()
            moved.rmdir()
            replies.append(ask({"action": "read", "path": "f.txt"}))
            replies.append(ask({"action": "write", "path": "g.txt", "content": "y"}))
        else:
            replies.append(ask({"action": "write", "path": "g.txt", "content": "y"}))
            replies.append(ask({"action": "read", "path": "g.txt"}))
            replies.append(ask({"action": "list", "path": "."}))
            for p in moved.iterdir():
                p.unlink()
            moved.rmdir()
        proc.stdin.close()
        assert proc.wait(30) == 0
        out.append(replies)
    return out


@pytest.mark.parametrize("removed", [False, True], ids=["renamed", "renamed and removed"])
def test_working_directory_moved_under_the_native_worker(tmp_path, removed):
    native, python = rename_session(tmp_path / "before", tmp_path / "after", removed)
    assert native == python
    if not removed:
        assert native[3]["result"]["path"] == str(tmp_path / "after" / "f.txt")
    else:
        assert native[-2] == {"success": False, "error": "[Errno 2] No such file or directory"}
