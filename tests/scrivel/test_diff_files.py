"""diff_files on real files: headers, hunks, line ends, lenient decoding and the failure records."""

import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.filesystems import write
from support.reference import diff_files as reference_diff
from talmek.workers import scrivel


def numbered(changed=()):
    return "".join(f"L{i}*\n" if i in changed else f"L{i}\n" for i in range(1, 21))


def hunk_ranges(diff):
    return [line for line in diff.splitlines() if line.startswith("@@")]


def test_two_hunks(in_tmp):
    write("a", numbered())
    write("b", numbered({2, 16}))
    diff = scrivel.diff_files("a", "b")["result"]["diff"]
    assert hunk_ranges(diff) == ["@@ -1,5 +1,5 @@", "@@ -13,7 +13,7 @@"]


def test_one_hunk(in_tmp):
    write("a", numbered())
    write("b", numbered({2, 9}))
    diff = scrivel.diff_files("a", "b")["result"]["diff"]
    assert hunk_ranges(diff) == ["@@ -1,12 +1,12 @@"]
    a, b = in_tmp / "a", in_tmp / "b"
    assert diff.startswith(f"--- {a}\n+++ {b}\n@@ -1,12 +1,12 @@\n L1\n-L2\n+L2*\n L3\n")


# (id, old bytes, new bytes, diff after the two header lines)
CASES = [
    ("identical", b"x\ny\n", b"x\ny\n", None),
    ("crlf-against-lf", b"x\r\ny\r\n", b"x\ny\n", None),
    ("lone-cr-against-lf", b"x\ry\r", b"x\ny\n", None),
    ("both-empty", b"", b"", None),
    ("empty-against-one-line", b"", b"x\n", "@@ -0,0 +1 @@\n+x\n"),
    ("one-line-against-empty", b"x\n", b"", "@@ -1 +0,0 @@\n-x\n"),
    ("missing-final-line-end", b"a\nb", b"a\nb\n", "@@ -1,2 +1,2 @@\n a\n-b+b\n"),
    (
        "invalid-utf8-replaced",
        b"ok\n\xff\xfe\n",
        b"ok\n\n",
        "@@ -1,2 +1,2 @@\n ok\n-\ufffd\ufffd\n+\n",
    ),
    ("form-feed-splits", b"a\x0cb\n", b"a\x0cc\n", "@@ -1,2 +1,2 @@\n a\x0c-b\n+c\n"),
    ("bom-is-text", b"\xef\xbb\xbfa\n", b"a\n", "@@ -1 +1 @@\n-\ufeffa\n+a\n"),
]


@pytest.mark.parametrize("old, new, body", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_cases(in_tmp, old, new, body):
    write("old.txt", old)
    write("new.txt", new)
    got = scrivel.diff_files("old.txt", "new.txt")
    assert got == reference_diff("old.txt", "new.txt")
    expected = "" if body is None else f"--- {in_tmp / 'old.txt'}\n+++ {in_tmp / 'new.txt'}\n{body}"
    assert got == {"success": True, "result": {"diff": expected}}


# Files whose bytes need decoding or newline translation, with the telling byte in the places the
# line scan treats differently: the first word of a line, after a line end in the same word, deep
# in a long line, in the last few bytes of the file, and as the file's last byte.
NEEDS_TRANSLATION = [
    ("cr-deep-in-long-line", b"a" * 40 + b"\rb\nc\n", b"a" * 40 + b"\nb\nc\n"),
    ("cr-after-lf-same-word", b"ab\n\rcd\nef\n", b"ab\n\ncd\nef\n"),
    ("cr-last-byte", b"x" * 20 + b"\ny\r", b"x" * 20 + b"\ny\n"),
    ("cr-in-short-tail", b"x" * 16 + b"\nab\rc", b"x" * 16 + b"\nab\nc"),
    ("invalid-deep-in-long-line", b"q" * 30 + b"\xff" + b"q" * 9 + b"\n", b"q" * 40 + b"\n"),
    ("invalid-in-short-tail", b"z" * 16 + b"\n\x80z", b"z" * 16 + b"\nz"),
    ("valid-utf8-unchanged", "caf\u00e9 " * 5 + "\nx\n", "caf\u00e9 " * 5 + "\ny\n"),
    ("line-separator-splits", "one\u2028two three four\n", "one\u2028two three five\n"),
    ("invalid-breaks-a-separator", b"one\xe2\x80two three four\n", b"one\ntwo three four\n"),
]


@pytest.mark.parametrize(
    "old, new", [c[1:] for c in NEEDS_TRANSLATION], ids=[c[0] for c in NEEDS_TRANSLATION]
)
def test_files_needing_translation(in_tmp, old, new):
    write("old.txt", old)
    write("new.txt", new)
    assert scrivel.diff_files("old.txt", "new.txt") == reference_diff("old.txt", "new.txt")
    assert scrivel.diff_files("new.txt", "old.txt") == reference_diff("new.txt", "old.txt")


def test_file_with_itself(in_tmp):
    write("f", "a\nb\n")
    assert scrivel.diff_files("f", "./f") == {"success": True, "result": {"diff": ""}}


def test_headers_are_resolved_paths(in_tmp, monkeypatch):
    monkeypatch.setenv("HOME", str(in_tmp))
    (in_tmp / "sub").mkdir()
    write("sub/a.txt", "1\n")
    write("b.txt", "2\n")
    os.symlink("sub/a.txt", in_tmp / "link")
    diff = scrivel.diff_files("~/link", "sub/../b.txt")["result"]["diff"]
    assert diff.splitlines()[:2] == [f"--- {in_tmp / 'sub' / 'a.txt'}", f"+++ {in_tmp / 'b.txt'}"]


# (id, file_a, file_b, error) with "f" an existing file and "d" a directory
FAILURES = [
    ("both-missing", "nope-a", "nope-b", "File not found: nope-a"),
    ("b-missing", "f", "./nope-b", "File not found: ./nope-b"),
    ("a-missing-relative", "x/../nope", "f", "File not found: x/../nope"),
    ("unknown-user-b-wins", "nope-a", "~nobody_here_xyz/b", "Could not determine home directory."),
    ("directory", "d", "f", "[Errno 21] Is a directory: '{tmp}/d'"),
]


@pytest.mark.parametrize(
    "file_a, file_b, error", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES]
)
def test_failures(in_tmp, file_a, file_b, error):
    write("f", "x\n")
    (in_tmp / "d").mkdir()
    got = scrivel.diff_files(file_a, file_b)
    assert got == {"success": False, "error": error.format(tmp=in_tmp)}
    assert got == reference_diff(file_a, file_b)


def test_fifo_does_not_block(in_tmp):
    # Python's open() would wait for a writer forever; without a writer the worker reads the pipe
    # as empty at once. Run in a child so that a regression fails the test instead of hanging it.
    os.mkfifo(in_tmp / "pipe")
    write("f", "x\n")
    code = "from talmek.workers import scrivel\nprint(scrivel.diff_files('f', 'pipe'))\n"
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=in_tmp, capture_output=True, text=True, timeout=20
    )
    expected = {
        "success": True,
        "result": {"diff": f"--- {in_tmp / 'f'}\n+++ {in_tmp / 'pipe'}\n@@ -1 +0,0 @@\n-x\n"},
    }
    assert out.stdout == str(expected) + "\n"


def test_through_handle_command(in_tmp):
    write("a", "1\n")
    write("b", "2\n")
    got = scrivel.handle_command({"action": "diff", "file_a": "a", "file_b": "b"})
    assert got["result"]["diff"].endswith("@@ -1 +1 @@\n-1\n+2\n")


@pytest.mark.parametrize("args", [(None, "b"), ("a", 3), (b"a", "b")], ids=["none", "int", "bytes"])
def test_argument_types(args):
    with pytest.raises(TypeError):
        scrivel.diff_files(*args)


# Every line boundary of str.splitlines, near misses of the multi-byte ones, bad bytes, and long
# printable runs (read eight bytes at a time).
CHUNKS = st.sampled_from(
    [
        b"a\n",
        b"b\n",
        b"c\n",
        b"a\r\n",
        b"\r",
        b"\xff",
        b"\xe2\x82",
        b"\xc3\xa9\n",
        b"d",
        b"\t",
        b"\x0b",
        b"\x0c",
    ]
    + [
        b"\x1c",
        b"\x1d",
        b"\x1e",
        b"\x1f",
        b"\xc2\x85",
        b"\xc2\xa0",
        b"\xe2\x80\xa8",
        b"\xe2\x80\xa9",
        b"\xe2\x80\xa7",
    ]
    + [b"0123456789abcdef", b"a long line of printable text "]
)


@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.lists(CHUNKS, max_size=40).map(b"".join), st.lists(CHUNKS, max_size=40).map(b"".join))
def test_matches_the_reference(in_tmp, old, new):
    write("old", old)
    write("new", new)
    assert scrivel.diff_files("old", "new") == reference_diff("old", "new")


# Lines of one length, so that an edited line has the length of the line it replaces: the runs of
# lines that agree in length and position are then compared as stretches of text.
SAME_LENGTH_LINES = st.lists(
    st.sampled_from([b"aaaa\n", b"aaab\n", b"baaa\n", b"\n", b"}}}}\n"]), min_size=1, max_size=400
)


@settings(
    max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(SAME_LENGTH_LINES, st.data())
def test_edited_copies_match_the_reference(in_tmp, lines, data):
    edited = list(lines)
    for _ in range(data.draw(st.integers(0, 6))):
        pos = data.draw(st.integers(0, len(edited)))
        kind = data.draw(st.sampled_from(["modify", "insert", "delete"]))
        line = data.draw(st.sampled_from([b"aaab\n", b"abaa\n", b"zzzz\n", b"\n"]))
        if kind == "insert" or not edited:
            edited.insert(pos, line)
        elif kind == "modify":
            edited[min(pos, len(edited) - 1)] = line
        else:
            del edited[min(pos, len(edited) - 1)]
    write("old", b"".join(lines))
    write("new", b"".join(edited))
    assert scrivel.diff_files("old", "new") == reference_diff("old", "new")
    assert scrivel.diff_files("new", "old") == reference_diff("new", "old")
