"""The Windows worker (build/windows/talmek-scrivel.exe) over its pipes, under Wine.

Where each expectation comes from:
- Line ends: CPython on Windows opens files and sys.stdout in text mode with newline=None, so
  "\\n" is written as "\\r\\n" to files and after each reply, and sys.stdin reads "\\n", "\\r\\n"
  and a lone "\\r" as line ends (io.TextIOWrapper, universal newlines).
- Paths: Path.resolve() is ntpath.realpath, whose results are absolute with backslashes; what
  they look like is computed with PureWindowsPath. Wine maps the Unix root to drive Z:
  (windows_path()), and the default user profile to C:\\users\\<user>.
- Case: on Windows Path.glob/rglob ignore case (case_sensitive defaults to False for ntpath),
  fnmatch.fnmatch compares os.path.normcase'd names, and PureWindowsPath sorts by the lower-cased
  text: the expected orders are sorted(key=PureWindowsPath).
- Error texts: open() reports the C runtime's errno ("[Errno 13] Permission denied" for a
  directory opened as a file, as it is on Windows); os.mkdir, os.stat and os.scandir report the
  Windows error code ("[WinError 183]" for a name that exists), whose text is the system's own
  (Wine's wording differs from Windows' and is not compared).
- Names the Win32 layer would rewrite (trailing dots and spaces, DOS device names, streams after
  a colon) are refused with a failure record instead, unless given in the "\\\\?\\" form.
"""

import json
from pathlib import PureWindowsPath

import pytest
from tests.windows.conftest import windows_path


def ok(result):
    return {"success": True, "result": result}


def test_write_stores_crlf_and_replies_with_the_windows_path(wine_worker, tmp_path):
    target = windows_path(tmp_path / "notes" / "todo.txt")
    assert wine_worker.request(
        {"action": "write", "path": "notes/todo.txt", "content": "milk\ncafé\n"}
    ) == ok({"path": target, "size": len("milk\r\ncafé\r\n".encode()), "lines": 2})
    assert (tmp_path / "notes" / "todo.txt").read_bytes() == "milk\r\ncafé\r\n".encode()
    assert wine_worker.request(
        {"action": "append", "path": "notes\\todo.txt", "content": "tea\n"}
    ) == ok({"path": target, "size": 18})
    # Reading translates "\r\n" back (universal newlines on reading, on every platform).
    assert wine_worker.request({"action": "read", "path": target, "start_line": 3}) == ok(
        {"content": "tea\n", "total_lines": 3, "path": target, "size": 18}
    )


@pytest.mark.parametrize(
    "spelling", ["sub/x.txt", "sub\\x.txt", "./sub//x.txt", "sub\\..\\sub/x.txt", "ABS", "ABS_FWD"]
)
def test_both_separators_and_drive_letter_paths(wine_worker, tmp_path, spelling):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "x.txt").write_bytes(b"a\r\nb")
    if spelling == "ABS":
        spelling = windows_path(tmp_path / "sub" / "x.txt")
    elif spelling == "ABS_FWD":
        spelling = windows_path(tmp_path / "sub" / "x.txt").replace("\\", "/")
    assert wine_worker.request({"action": "read", "path": spelling}) == ok(
        {
            "content": "a\nb",
            "total_lines": 2,
            "path": windows_path(tmp_path / "sub" / "x.txt"),
            "size": 4,
        }
    )


def test_requests_end_at_any_line_end(wine_worker, tmp_path):
    # "\r", "\r\n" and "\n" each end a request line: three requests, three replies.
    data = b'{"action": "mkdir", "path": "a"}\r{"action": "mkdir", "path": "b"}\r\n{"action": "quit"}\n'  # noqa: E501
    wine_worker.proc.stdin.write(data)
    wine_worker.proc.stdin.flush()
    lines = [wine_worker.proc.stdout.readline() for _ in range(3)]
    assert [json.loads(line)["success"] for line in lines] == [True, True, True]
    assert all(line.endswith(b"\r\n") and line.count(b"\n") == 1 for line in lines)
    assert json.loads(lines[2]) == ok("goodbye")


def test_list_is_ordered_and_filtered_ignoring_case(wine_worker, tmp_path):
    for name in ["c", "B.txt", "a.txt", "A-B.TXT", "d.PY"]:
        (tmp_path / name).write_text("x")
    (tmp_path / "c").unlink()
    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "Inner.Txt").write_text("yy")
    reply = wine_worker.request({"action": "list", "path": ".", "recursive": True})
    paths = [e["path"] for e in reply["result"]["entries"]]
    expected = sorted(
        ["a.txt", "A-B.TXT", "B.txt", "c", "c\\Inner.Txt", "d.PY"], key=PureWindowsPath
    )
    assert paths == expected
    reply = wine_worker.request(
        {"action": "list", "path": ".", "recursive": True, "pattern": "*.TXT"}
    )
    assert [e["path"] for e in reply["result"]["entries"]] == [
        p for p in expected if p.lower().endswith(".txt")
    ]


def test_find_and_grep_patterns_ignore_case(wine_worker, tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "Main.PY").write_text("import os\nprint(1)\n")
    (tmp_path / "src" / "notes.txt").write_text("import nothing\n")
    found = wine_worker.request({"action": "find", "path": ".", "pattern": "SRC/*.py"})
    # A literal component is joined as typed (glob's literal selector); the system finds "src".
    assert [m["path"] for m in found["result"]["matches"]] == [
        windows_path(tmp_path / "SRC" / "Main.PY")
    ]
    grep = wine_worker.request(
        {"action": "grep", "path": ".", "regex": "^import", "file_pattern": "*.py"}
    )
    assert [(m["file"], m["line"]) for m in grep["result"]["matches"]] == [
        (windows_path(tmp_path / "src" / "Main.PY"), "import os")
    ]


def test_errors_in_cpythons_windows_wording(wine_worker, tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "f").write_text("x")
    d, f = windows_path(tmp_path / "d"), windows_path(tmp_path / "f")
    # open() of a directory on Windows: PermissionError from the C runtime's EACCES.
    assert wine_worker.request({"action": "write", "path": "d", "content": "x"}) == {
        "success": False,
        "error": f"[Errno 13] Permission denied: {d!r}",
    }
    # os.mkdir on an existing file: FileExistsError with the Windows code ERROR_ALREADY_EXISTS.
    error = wine_worker.request({"action": "mkdir", "path": "f/sub"})["error"]
    assert error.startswith("[WinError 3] ") or error.startswith("[WinError 183] "), error
    error = wine_worker.request({"action": "mkdir", "path": "f"})["error"]
    assert error.startswith("[WinError 183] ") and error.endswith(f": {f!r}"), error
    # os.scandir of a missing directory below a file is not reached: not found comes first.
    assert wine_worker.request({"action": "list", "path": "nope"}) == {
        "success": False,
        "error": "Directory not found: nope",
    }


REFUSED = [
    ("file.txt:stream", "a name with a colon names an alternate data stream there"),
    ("NUL", "a reserved device name there"),
    ("sub/con.txt", "a reserved device name there"),
    ("COM1", "a reserved device name there"),
    ("trail.", "a name that ends with a dot or a space names another file there"),
    ("space ", "a name that ends with a dot or a space names another file there"),
]


@pytest.mark.parametrize("path,why", REFUSED)
def test_names_windows_would_rewrite_are_refused_and_nothing_written(
    wine_worker, tmp_path, path, why
):
    for action in ("write", "read", "mkdir"):
        reply = wine_worker.request({"action": action, "path": path, "content": "x"})
        assert reply == {"success": False, "error": f"Path refused on Windows, {why}: {path!r}"}
    assert list(tmp_path.iterdir()) == []


def test_device_form_paths_take_names_as_written(wine_worker, tmp_path):
    # "\\?\" paths skip the Win32 renaming: "trail." is a file of that very name (ntpath.realpath
    # keeps the prefix it was given).
    target = "\\\\?\\" + windows_path(tmp_path / "trail.")
    assert wine_worker.request({"action": "write", "path": target, "content": "x"}) == ok(
        {"path": target, "size": 1, "lines": 1}
    )
    assert (tmp_path / "trail.").read_bytes() == b"x"


def test_nul_in_a_path(wine_worker):
    # open() refuses it with ValueError("embedded null character"); Path.exists() says False.
    assert wine_worker.request({"action": "write", "path": "a\x00b", "content": "x"}) == {
        "success": False,
        "error": "embedded null character",
    }
    assert wine_worker.request({"action": "read", "path": "a\x00b"}) == {
        "success": False,
        "error": "File not found: a\x00b",
    }


def test_long_paths_beyond_max_path(wine_worker, tmp_path):
    rel = "/".join(["d" * 60] * 6) + "/f.txt"  # well past the 260 characters of MAX_PATH
    target = windows_path(tmp_path / rel)
    assert len(target) > 300
    assert wine_worker.request({"action": "write", "path": rel, "content": "deep\n"}) == ok(
        {"path": target, "size": 6, "lines": 1}
    )
    assert wine_worker.request({"action": "read", "path": rel})["result"]["content"] == "deep\n"
    assert wine_worker.request({"action": "delete", "path": "d" * 60}) == ok(
        {"deleted": windows_path(tmp_path / ("d" * 60))}
    )


def test_names_round_trip_through_utf16(wine_worker, tmp_path):
    name = "café 😀 жук.txt"
    assert wine_worker.request({"action": "write", "path": name, "content": "x"})["success"]
    listed = wine_worker.request({"action": "list", "path": "."})["result"]["entries"]
    assert [e["path"] for e in listed] == [name]
    assert (
        wine_worker.request({"action": "read", "path": listed[0]["path"]})["result"]["content"]
        == "x"
    )


def test_home_directory_is_the_user_profile(wine_worker, wine_env):
    # ntpath.expanduser: USERPROFILE, which Wine sets to C:\users\<user> in its prefix.
    home = wine_worker.request({"action": "mkdir", "path": "~"})["result"]["path"]
    assert PureWindowsPath(home).parent == PureWindowsPath("C:\\users")
    reply = wine_worker.request({"action": "write", "path": "~/hello.txt", "content": "hi\n"})
    assert reply == ok({"path": str(PureWindowsPath(home) / "hello.txt"), "size": 4, "lines": 1})
    user = PureWindowsPath(home).name
    on_disk = wine_env["prefix"] / "drive_c" / "users" / user / "hello.txt"
    assert on_disk.read_bytes() == b"hi\r\n"
    # ~user names a profile beside the current one (ntpath's guess); "~" as the whole path is a
    # directory, not a file.
    assert wine_worker.request({"action": "mkdir", "path": "~someone"}) == ok(
        {"path": str(PureWindowsPath(home).parent / "someone")}
    )
    assert wine_worker.request({"action": "read", "path": "~"}) == {
        "success": False,
        "error": "Not a file: ~",
    }


def test_copy_move_edit_diff_delete(wine_worker, tmp_path):
    (tmp_path / "a.txt").write_bytes(b"one\r\ntwo\r\n")
    a, b = windows_path(tmp_path / "a.txt"), windows_path(tmp_path / "B" / "b.txt")
    assert wine_worker.request({"action": "copy", "src": "a.txt", "dst": "B/b.txt"}) == ok(
        {"from": a, "to": b}
    )
    edit = wine_worker.request(
        {"action": "edit", "path": "B\\b.txt", "edits": [{"find": "two", "replace": "2"}]}
    )
    assert edit == ok(
        {
            "path": b,
            "changes": 1,
            "diff": "--- a/b.txt\n+++ b/b.txt\n@@ -1,2 +1,2 @@\n one\n-two\n+2\n",
        }
    )
    assert (tmp_path / "B" / "b.txt").read_bytes() == b"one\r\n2\r\n"
    diff = wine_worker.request({"action": "diff", "file_a": "a.txt", "file_b": "b/B.TXT"})
    assert diff["result"]["diff"].startswith(f"--- {a}\n+++ ")
    # A file already at the target: os.rename refuses it on Windows, shutil.move copies instead.
    assert wine_worker.request({"action": "move", "src": "a.txt", "dst": "B/b.txt"}) == ok(
        {"from": a, "to": b}
    )
    assert (tmp_path / "B" / "b.txt").read_bytes() == b"one\r\ntwo\r\n" and not (
        tmp_path / "a.txt"
    ).exists()
    assert wine_worker.request({"action": "delete", "path": "b"}) == ok(
        {"deleted": windows_path(tmp_path / "B")}
    )
    assert list(tmp_path.iterdir()) == []


def test_contract_errors_end_the_worker(run_wine):
    status, out, err = run_wine(b'{"action": "read", "path": 5}\n{"action": "quit"}\n')
    assert (status, out) == (1, b"")
    assert err == "TypeError: read_file() argument 'path' must be str, not int\n"
    status, out, err = run_wine(b"\n   \n")
    assert (status, out, err) == (0, b"", "")


def test_grep_on_several_threads_answers_the_serial_reply_in_slices(wine_env, tmp_path):
    # Helper threads and the processor count are the Windows layer's own; a reply over the size
    # at which replies go out in slices still ends with one "\r\n" and holds no other.
    from tests.windows.conftest import WineWorker

    for d in range(6):
        (tmp_path / f"d{d}").mkdir()
        for f in range(40):
            (tmp_path / f"d{d}" / f"f{f}.txt").write_text(
                "".join(
                    f"Needle {d} {f} {i}\n" if (i + f) % 5 == 0 else f"hay {i}\n"
                    for i in range(200)
                )
            )
    request = (
        json.dumps(
            {
                "action": "grep",
                "path": ".",
                "regex": "Needle",
                "max_results": 10**6,
                "context_lines": 2,
            }
        ).encode()
        + b"\n"
    )
    lines = []
    for threads in ("1", "4"):
        env = dict(wine_env["env"], TALMEK_SCRIVEL_THREADS=threads)
        w = WineWorker(dict(wine_env, env=env), tmp_path)
        lines.append(w.request_raw(request))
        w.close()
    assert lines[0] == lines[1]
    assert len(lines[0]) > 1 << 20 and lines[0].endswith(b"\r\n") and lines[0].count(b"\n") == 1
    assert json.loads(lines[0])["result"]["count"] == 6 * 40 * 40


# ---------------------------------------------------------------------------------------------
# Allowed roots: the check by final paths, letter case ignored as Windows compares paths


def test_roots_under_wine(wine_env, tmp_path):
    import subprocess

    from tests.windows.conftest import EXE, TIMEOUT

    root, evil = tmp_path / "data", tmp_path / "data_evil"
    root.mkdir()
    evil.mkdir()
    (evil / "s.txt").write_text("secret\n")
    win_root = windows_path(root)
    requests = [
        {"action": "write", "path": "a.txt", "content": "x\n"},
        {"action": "read", "path": win_root.upper() + "\\A.TXT"},  # case folded: inside
        {"action": "read", "path": windows_path(evil / "s.txt")},
        {"action": "read", "path": "..\\data_evil\\s.txt"},
        {"action": "list", "path": "sub/../.."},
        {"action": "write", "path": windows_path(evil / "n.txt"), "content": "pwned"},
    ]
    data = "".join(json.dumps(r) + "\n" for r in requests).encode()
    done = subprocess.run(
        [wine_env["wine"], str(EXE), "--root", win_root],
        input=data,
        capture_output=True,
        cwd=root,
        env=wine_env["env"],
        timeout=TIMEOUT,
    )
    replies = [json.loads(line) for line in done.stdout.splitlines()]
    assert [r["success"] for r in replies] == [True, True, False, False, False, False], replies
    assert all(r["error"].startswith("Path outside the allowed directories: ") for r in replies[2:])
    assert not (evil / "n.txt").exists()
    # No Landlock on Windows: said once on standard error, and the checks go on alone.
    assert b"Landlock" in done.stderr


# --- writes that leave the old content or the new one ---------------------------------------------


def test_replacing_a_file_leaves_nothing_beside_it(wine_worker, tmp_path):
    (tmp_path / "f.txt").write_bytes(b"old\r\n" * 1000)
    for request in (
        {"action": "write", "path": "f.txt", "content": "new\n"},
        {"action": "edit", "path": "f.txt", "edits": [{"find": "new", "replace": "newer"}]},
        {"action": "append", "path": "f.txt", "content": "more\n"},
    ):
        assert wine_worker.request(request)["success"] is True
    assert (tmp_path / "f.txt").read_bytes() == b"newer\r\nmore\r\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.txt"]


def test_a_hard_linked_file_is_written_in_place(wine_worker, tmp_path):
    import os

    (tmp_path / "f.txt").write_bytes(b"old\r\n")
    os.link(tmp_path / "f.txt", tmp_path / "g.txt")
    assert (
        wine_worker.request({"action": "write", "path": "f.txt", "content": "new\n"})["success"]
        is True
    )
    assert (tmp_path / "g.txt").read_bytes() == b"new\r\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.txt", "g.txt"]


def test_a_copy_onto_a_file_replaces_it(wine_worker, tmp_path):
    (tmp_path / "a.txt").write_bytes(b"a\r\n")
    (tmp_path / "b.txt").write_bytes(b"bbbbbbbb\r\n")
    assert (
        wine_worker.request({"action": "copy", "src": "a.txt", "dst": "b.txt"})["success"] is True
    )
    assert (tmp_path / "b.txt").read_bytes() == b"a\r\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.txt"]
