"""The agent's str_replace_editor tool on real files.

View, insert and str_replace are checked against small references written from the rules with
str.splitlines, slicing and str.replace; error texts against what CPython itself says.
"""

import json
import os
import stat
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.reference import editor_insert as ref_insert
from support.reference import editor_view as ref_view
from talmek.core.steerix import _run_editor_tool as edit

BREAKS = "\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"
texts = st.text(alphabet=st.sampled_from("ab é€😀" + BREAKS + "\r\n"), max_size=40)
bounds = st.integers(-8, 12)


def text_mode(raw):
    """What reading a file in text mode gives."""
    return raw.replace("\r\n", "\n").replace("\r", "\n")


def write_raw(path, content):
    with open(path, "wb") as f:
        f.write(content.encode())


def read_raw(path):
    with open(path, "rb") as f:
        return f.read().decode()


def ok(text):
    return {"type": "text", "text": text}


def err(text):
    return {"type": "error", "error": text}


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("editor") / "f.txt"


# ------------------------------------------------------------------------------------------------
# view


@settings(max_examples=300, deadline=None)
@given(
    raw=texts,
    view_range=st.one_of(st.none(), st.lists(bounds, max_size=3), st.tuples(bounds, bounds)),
)
def test_view_matches_reference(scratch, raw, view_range):
    write_raw(scratch, raw)
    got = edit({"command": "view", "path": str(scratch), "view_range": view_range})
    assert got == ok(ref_view(str(scratch), text_mode(raw), view_range))


@pytest.mark.parametrize(
    "view_range, shown",
    [
        pytest.param([2, 3], "Lines 2-3 of {p}:\n   1 | l2\n   2 | l3", id="two-to-three"),
        pytest.param(
            [1, -1],
            "Lines 1--1 of {p}:\n   1 | l1\n   2 | l2\n   3 | l3\n   4 | l4",
            id="minus-one-end",
        ),
        pytest.param([4, 4], "Lines 4-4 of {p}:\n   1 | l4", id="one-line"),
        pytest.param([3, 2], "Lines 3-2 of {p}:\n", id="reversed"),
        pytest.param(
            [-2, 5], "Lines -2-5 of {p}:\n   1 | l3\n   2 | l4\n   3 | l5", id="negative-start"
        ),
        pytest.param([0, 100], "Lines 0-100 of {p}:\n   1 | l5", id="zero-start"),
        pytest.param([True, 2], "Lines True-2 of {p}:\n   1 | l1\n   2 | l2", id="bool-bound"),
        pytest.param(
            [2],
            "Contents of {p}:\n" + "\n".join(f"   {i} | l{i}" for i in range(1, 6)),
            id="one-element",
        ),
        pytest.param(
            [], "Contents of {p}:\n" + "\n".join(f"   {i} | l{i}" for i in range(1, 6)), id="empty"
        ),
        pytest.param(
            [1, 2, 3],
            "Contents of {p}:\n" + "\n".join(f"   {i} | l{i}" for i in range(1, 6)),
            id="three-elements",
        ),
    ],
)
def test_view_ranges(tmp_path, view_range, shown):
    p = tmp_path / "five.txt"
    p.write_text("l1\nl2\nl3\nl4\nl5\n")
    assert edit({"command": "view", "path": str(p), "view_range": view_range}) == ok(
        shown.format(p=p)
    )


@pytest.mark.parametrize(
    "view_range, message",
    [
        pytest.param(["1", 2], "'str' object cannot be interpreted as an integer", id="str"),
        pytest.param([1, 2.0], "'float' object cannot be interpreted as an integer", id="float"),
        pytest.param([None, 2], "'NoneType' object cannot be interpreted as an integer", id="none"),
        pytest.param(5, "object of type 'int' has no len()", id="not-sized"),
    ],
)
def test_view_range_errors(tmp_path, view_range, message):
    p = tmp_path / "f.txt"
    p.write_text("x\n")
    assert edit({"command": "view", "path": str(p), "view_range": view_range}) == err(
        "Editor error: " + message
    )


def test_view_empty_file(tmp_path):
    p = tmp_path / "empty.txt"
    p.write_text("")
    assert edit({"command": "view", "path": str(p)}) == ok(f"Contents of {p}:\n")


def test_view_line_10000_numbering(tmp_path):
    p = tmp_path / "long.txt"
    p.write_text("".join(f"line {i}\n" for i in range(1, 10002)))
    text = edit({"command": "view", "path": str(p)})["text"]
    lines = text.split("\n")
    assert lines[9999] == "9999 | line 9999"
    assert lines[10000] == "10000 | line 10000"
    assert edit({"command": "view", "path": str(p), "view_range": [9990, 10001]})["text"].endswith(
        "\n  11 | line 10000\n  12 | line 10001"
    )


def test_view_reports_invalid_utf8_as_python_does(tmp_path):
    p = tmp_path / "bad.txt"
    p.write_bytes(b"ok\r\nfine\n\xff rest")
    with pytest.raises(UnicodeDecodeError) as e:
        with open(p) as f:
            f.read()
    assert edit({"command": "view", "path": str(p)}) == err(f"Editor error: {e.value}")


def test_view_fifo_does_not_block(tmp_path):
    p = tmp_path / "fifo"
    os.mkfifo(p)
    result = []
    t = threading.Thread(target=lambda: result.append(edit({"command": "view", "path": str(p)})))
    t.start()
    t.join(10)
    assert not t.is_alive()
    assert result == [ok(f"Contents of {p}:\n")]


# ------------------------------------------------------------------------------------------------
# Common steps and failures


@pytest.mark.parametrize(
    "tool_input, expected",
    [
        pytest.param({"command": "view"}, err("No path provided"), id="no-path"),
        pytest.param(
            {"command": "undo_edit", "path": ""}, err("No path provided"), id="undo-empty"
        ),
        pytest.param({"command": "nope", "path": None}, err("No path provided"), id="unknown-none"),
        pytest.param(
            {"command": "undo_edit", "path": "/nonexistent/x"},
            ok("Undo not supported yet"),
            id="undo",
        ),
        pytest.param(
            {"command": "View", "path": "x"}, err("Unknown editor command: View"), id="case"
        ),
        pytest.param({"path": "x"}, err("Unknown editor command: "), id="absent-command"),
        pytest.param(
            {"command": 7, "path": "x"}, err("Unknown editor command: 7"), id="int-command"
        ),
        pytest.param(
            {"command": "view", "path": "/nonexistent/x"},
            err("File not found: /nonexistent/x"),
            id="view-missing",
        ),
        pytest.param(
            {"command": "str_replace", "path": "/nonexistent/x"},
            err("File not found: /nonexistent/x"),
            id="replace-missing",
        ),
        pytest.param(
            {"command": "insert", "path": "/nonexistent/x"},
            err("File not found: /nonexistent/x"),
            id="insert-missing",
        ),
        pytest.param(
            {"command": "view", "path": "a\x00b"}, err("File not found: a\x00b"), id="nul"
        ),
        pytest.param(
            {"command": "view", "path": "/"},
            err("Editor error: [Errno 21] Is a directory: '/'"),
            id="directory",
        ),
        pytest.param(
            {"command": "create", "path": "/", "file_text": ""},
            err("Editor error: [Errno 21] Is a directory: '/'"),
            id="create-directory",
        ),
    ],
)
def test_common_steps(tool_input, expected):
    assert edit(tool_input) == expected


@pytest.mark.parametrize("value", [5, ["x"], True], ids=repr)
def test_non_text_path_is_an_outcome(value):
    # os.path.expanduser's TypeError, as an outcome the model can correct, not the task's end.
    with pytest.raises(TypeError) as e:
        os.path.expanduser(value)
    assert edit({"command": "view", "path": value}) == err(f"Editor error: {e.value}")


def test_tilde_path(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    assert edit({"command": "create", "path": "~/notes/a.txt", "file_text": "hi\n"}) == ok(
        "Created ~/notes/a.txt"
    )
    assert (tmp_path / "notes" / "a.txt").read_text() == "hi\n"
    assert edit({"command": "view", "path": "~/notes/a.txt"}) == ok(
        "Contents of ~/notes/a.txt:\n   1 | hi"
    )
    assert edit({"command": "view", "path": "~/missing"}) == err("File not found: ~/missing")


def test_relative_path_stays_relative(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert edit({"command": "create", "path": "rel.txt", "file_text": "x"}) == ok("Created rel.txt")
    assert (tmp_path / "rel.txt").read_text() == "x"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads everything")
def test_unreadable_file(tmp_path):
    p = tmp_path / "secret.txt"
    p.write_text("x")
    p.chmod(0)
    assert edit({"command": "view", "path": str(p)}) == err(
        f"Editor error: [Errno 13] Permission denied: '{p}'"
    )


# ------------------------------------------------------------------------------------------------
# create


def test_create_makes_missing_parents_and_replaces(tmp_path):
    p = tmp_path / "a" / "b" / "c" / "f.txt"
    assert edit({"command": "create", "path": str(p), "file_text": "one\n"}) == ok(f"Created {p}")
    assert p.read_text() == "one\n"
    assert edit({"command": "create", "path": str(p), "file_text": "two"}) == ok(f"Created {p}")
    assert p.read_text() == "two"
    assert edit({"command": "create", "path": str(p)}) == ok(f"Created {p}")
    assert p.read_text() == ""


def test_create_under_a_file_fails(tmp_path):
    f = tmp_path / "plain"
    f.write_text("")
    p = f / "sub" / "x.txt"
    assert edit({"command": "create", "path": str(p), "file_text": ""}) == err(
        f"Editor error: [Errno 20] Not a directory: '{f / 'sub'}'"
    )


@pytest.mark.parametrize(
    "file_text, message",
    [
        pytest.param(5, "write() argument must be str, not int", id="int"),
        pytest.param(None, "write() argument must be str, not None", id="none"),
        pytest.param(
            "ok\ud800",
            "'utf-8' codec can't encode character '\\ud800' in position 2: surrogates not allowed",
            id="surrogate",
        ),
    ],
)
def test_create_failure_leaves_file_and_tree(tmp_path, file_text, message):
    p = tmp_path / "keep.txt"
    p.write_text("precious\n")
    assert edit({"command": "create", "path": str(p), "file_text": file_text}) == err(
        "Editor error: " + message
    )
    assert p.read_text() == "precious\n"
    q = tmp_path / "new" / "dir" / "x.txt"
    edit({"command": "create", "path": str(q), "file_text": file_text})
    assert not (tmp_path / "new").exists()


# ------------------------------------------------------------------------------------------------
# str_replace


@settings(max_examples=200, deadline=None)
@given(
    raw=texts, old=st.text(alphabet="ab\n\r", max_size=3), new=st.text(alphabet="xy\n", max_size=3)
)
def test_str_replace_matches_reference(scratch, raw, old, new):
    write_raw(scratch, raw)
    content = text_mode(raw)
    got = edit({"command": "str_replace", "path": str(scratch), "old_str": old, "new_str": new})
    if old in content:
        assert got == ok(f"Replaced text in {scratch}")
        assert read_raw(scratch) == content.replace(old, new, 1)
    else:
        assert got == err(f"String not found in {scratch}: {old}")
        assert read_raw(scratch) == raw


@pytest.mark.parametrize(
    "content, old, new, after",
    [
        pytest.param("foo bar foo\n", "foo", "baz", "baz bar foo\n", id="first-of-two"),
        pytest.param("abc", "", "X", "Xabc", id="empty-old"),
        pytest.param("a\r\nb", "a\nb", "ok", "ok", id="crlf-normalised-content"),
        pytest.param("same", "same", "same", "same", id="unchanged"),
        pytest.param("abc", "b", None, None, id="absent-new-is-empty"),
    ],
)
def test_str_replace_cases(tmp_path, content, old, new, after):
    p = tmp_path / "f.txt"
    write_raw(p, content)
    tool_input = {"command": "str_replace", "path": str(p), "old_str": old}
    if new is not None:
        tool_input["new_str"] = new
    else:
        after = "ac"
    assert edit(tool_input) == ok(f"Replaced text in {p}")
    assert read_raw(p) == after


def test_str_replace_crlf_old_never_matches(tmp_path):
    p = tmp_path / "f.txt"
    write_raw(p, "a\r\nb")
    assert edit({"command": "str_replace", "path": str(p), "old_str": "a\r\nb"}) == err(
        f"String not found in {p}: a\r\nb"
    )


def test_str_replace_quotes_first_100_code_points(tmp_path):
    p = tmp_path / "f.txt"
    p.write_text("nothing here")
    old = "é" * 60 + "z" * 90
    assert edit({"command": "str_replace", "path": str(p), "old_str": old, "new_str": "x"}) == err(
        f"String not found in {p}: {old[:100]}"
    )


@pytest.mark.parametrize(
    "old, new, message",
    [
        pytest.param(
            5, "x", "'in <string>' requires string as left operand, not int", id="old-int"
        ),
        pytest.param(
            None, "x", "'in <string>' requires string as left operand, not NoneType", id="old-none"
        ),
        pytest.param("a", 5, "replace() argument 2 must be str, not int", id="new-int"),
        pytest.param(
            "a",
            "\udc80",
            "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed",
            id="new-surrogate",
        ),
    ],
)
def test_str_replace_errors_leave_file(tmp_path, old, new, message):
    p = tmp_path / "f.txt"
    p.write_text("abc\n")
    assert edit({"command": "str_replace", "path": str(p), "old_str": old, "new_str": new}) == err(
        "Editor error: " + message
    )
    assert p.read_text() == "abc\n"


# ------------------------------------------------------------------------------------------------
# insert


@settings(max_examples=300, deadline=None)
@given(raw=texts, position=st.integers(-10, 15), new=st.text(alphabet="xy\n", max_size=3))
def test_insert_matches_reference(scratch, raw, position, new):
    write_raw(scratch, raw)
    got = edit({"command": "insert", "path": str(scratch), "insert_line": position, "new_str": new})
    assert got == ok(f"Inserted text at line {position} in {scratch}")
    assert read_raw(scratch) == ref_insert(text_mode(raw), position, new)


@pytest.mark.parametrize(
    "content, tool_input, after",
    [
        pytest.param("a\nb\n", {"insert_line": 0, "new_str": "N"}, "N\na\nb\n", id="first"),
        pytest.param("a\nb\n", {"new_str": "N"}, "N\na\nb\n", id="default-position"),
        pytest.param("a\nb\n", {"insert_line": 1, "new_str": "N"}, "a\nN\nb\n", id="after-first"),
        pytest.param("a\nb\n", {"insert_line": 99, "new_str": "N"}, "a\nb\nN\n", id="past-end"),
        pytest.param("a\nb\n", {"insert_line": -1, "new_str": "N"}, "a\nN\nb\n", id="minus-one"),
        pytest.param(
            "a\nb\n", {"insert_line": -99, "new_str": "N"}, "N\na\nb\n", id="far-negative"
        ),
        pytest.param("a\nb", {"insert_line": 2, "new_str": "N"}, "a\nbN\n", id="no-final-newline"),
        pytest.param("a\n", {"insert_line": 1}, "a\n\n", id="empty-new"),
        pytest.param(
            "a\n", {"insert_line": 1, "new_str": "N\n"}, "a\nN\n\n", id="new-ends-newline"
        ),
        pytest.param("", {"insert_line": 3, "new_str": "N"}, "N\n", id="empty-file"),
        pytest.param("a\r\nb\r", {"insert_line": 1, "new_str": "N"}, "a\nN\nb\n", id="crlf-file"),
    ],
)
def test_insert_cases(tmp_path, content, tool_input, after):
    p = tmp_path / "f.txt"
    write_raw(p, content)
    got = edit({"command": "insert", "path": str(p), **tool_input})
    assert got == ok(f"Inserted text at line {tool_input.get('insert_line', 0)} in {p}")
    assert read_raw(p) == after


@pytest.mark.parametrize(
    "tool_input, message",
    [
        pytest.param(
            {"insert_line": "1", "new_str": "x"},
            "'str' object cannot be interpreted as an integer",
            id="str-position",
        ),
        pytest.param(
            {"insert_line": 1.0, "new_str": "x"},
            "'float' object cannot be interpreted as an integer",
            id="float-position",
        ),
        pytest.param(
            {"insert_line": 10**30, "new_str": "x"},
            "Python int too large to convert to C ssize_t",
            id="huge-position",
        ),
        pytest.param(
            {"insert_line": 1, "new_str": 5},
            "unsupported operand type(s) for +: 'int' and 'str'",
            id="int-new",
        ),
    ],
)
def test_insert_errors_leave_file(tmp_path, tool_input, message):
    p = tmp_path / "f.txt"
    p.write_text("a\n")
    assert edit({"command": "insert", "path": str(p), **tool_input}) == err(
        "Editor error: " + message
    )
    assert p.read_text() == "a\n"
    assert stat.S_ISREG(p.stat().st_mode)


# ------------------------------------------------------------------------------------------------
# Faults: devices, views read piece by piece, bounds, integer edges, memory caps

PIECE = 65536  # how much of a file a view reads at a time
LIMIT = 32 << 20


def _block_device():
    for entry in os.scandir("/dev"):
        try:
            if stat.S_ISBLK(entry.stat().st_mode):
                return entry.path
        except OSError:
            pass
    return None


DEVICES = [
    pytest.param("/dev/zero", "character device", id="zero"),
    pytest.param("/dev/null", "character device", id="null"),
    pytest.param(
        _block_device(),
        "block device",
        id="block",
        marks=pytest.mark.skipif(_block_device() is None, reason="no block device"),
    ),
]


@pytest.mark.parametrize("path, kind", DEVICES)
@pytest.mark.parametrize(
    "tool_input",
    [
        {"command": "view"},
        {"command": "view", "view_range": [1, 2]},
        {"command": "str_replace", "old_str": "a", "new_str": "b"},
        {"command": "insert", "insert_line": 0, "new_str": "x"},
        {"command": "create", "file_text": "x"},
    ],
    ids=lambda t: "-".join(map(str, t.values())),
)
def test_devices_are_refused(path, kind, tool_input):
    assert edit({"path": path, **tool_input}) == err(f"Editor error: `{path}` is a {kind}")


def test_device_behind_a_link_is_refused(tmp_path):
    link = tmp_path / "zero"
    link.symlink_to("/dev/zero")
    assert edit({"command": "view", "path": str(link)}) == err(
        f"Editor error: `{link}` is a character device"
    )


@settings(max_examples=200, deadline=None)
@given(
    boundary=st.sampled_from([PIECE, 2 * PIECE]),
    before=st.integers(0, 6),
    raw=texts,
    view_range=st.one_of(
        st.none(), st.tuples(bounds, bounds), st.tuples(st.integers(-3, 3), st.just(-1))
    ),
)
def test_view_across_piece_boundaries(scratch, boundary, before, raw, view_range):
    # Line ends, CRLF pairs and multi-byte characters land on and around the places where the
    # view cuts the file into pieces.
    filler = "".join(f"{i:07}\n" for i in range((boundary - before) // 8))
    filler += "f" * (boundary - before - len(filler))
    content = filler + raw * 3
    write_raw(scratch, content)
    got = edit({"command": "view", "path": str(scratch), "view_range": view_range})
    assert got == ok(ref_view(str(scratch), text_mode(content), view_range))


@pytest.mark.parametrize("at", [PIECE - 2, PIECE - 1, PIECE, 2 * PIECE - 1])
@pytest.mark.parametrize(
    "tail", ["\r\nb", "\rb", "\r\r\n", "\u2028b", "é\r\n", "😀\n", "\r"], ids=repr
)
def test_view_line_end_on_a_piece_boundary(tmp_path, at, tail):
    p = tmp_path / "f.txt"
    content = "a" * at + tail + "end"
    write_raw(p, content)
    for view_range in (None, [-2, -1], [1, 5]):
        assert edit({"command": "view", "path": str(p), "view_range": view_range}) == ok(
            ref_view(str(p), text_mode(content), view_range)
        )


@pytest.mark.parametrize("at", [0, PIECE - 3, PIECE - 1, PIECE, PIECE + 1, 3 * PIECE + 7])
@pytest.mark.parametrize(
    "bad",
    [b"\xff", b"\xe2\x82x", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xc3"],
    ids=["invalid-start", "cut-then-ascii", "cut-at-end", "surrogate", "lone-lead"],
)
def test_view_decoding_error_anywhere_as_python_words_it(tmp_path, at, bad):
    p = tmp_path / "bad.txt"
    p.write_bytes(b"a\r\n" * (at // 3) + b"z" * (at % 3) + bad)
    with pytest.raises(UnicodeDecodeError) as e:
        p.read_text()
    expected = err(f"Editor error: {e.value}")
    assert edit({"command": "view", "path": str(p)}) == expected
    assert edit({"command": "view", "path": str(p), "view_range": [1, 1]}) == expected
    # A bad range is reported after the file, as reading the file first would order them.
    assert edit({"command": "view", "path": str(p), "view_range": ["1", 2]}) == expected


def test_view_range_error_after_a_good_file(tmp_path):
    p = tmp_path / "f.txt"
    p.write_text("x\n" * PIECE)
    assert edit({"command": "view", "path": str(p), "view_range": [1, "2"]}) == err(
        "Editor error: 'str' object cannot be interpreted as an integer"
    )


@pytest.fixture(scope="module")
def huge(tmp_path_factory):
    """A file of 5 million empty lines: 5 MB whose whole view would take 50 MB."""
    p = tmp_path_factory.mktemp("huge") / "lines.txt"
    p.write_bytes(b"\n" * 5_000_000)
    return p


def test_view_past_the_bound_fails_cleanly(huge):
    assert edit({"command": "view", "path": str(huge)}) == err(
        f"Editor error: the view of {huge} would pass 33554432 bytes, more than a request to the "
        "model can carry; view fewer lines with view_range"
    )


@pytest.mark.parametrize("view_range, first", [([4_999_998, 5_000_000], 1), ([-3, -1], 1)])
def test_view_range_of_a_big_file(huge, view_range, first):
    got = edit({"command": "view", "path": str(huge), "view_range": view_range})
    lines = got["text"].split("\n")[1:]
    assert lines == [f"{i:4d} | " for i in range(first, first + len(lines))] and lines


EDGES = st.one_of(
    st.integers(-(2**63) - 3, -(2**63) + 3),
    st.integers(2**63 - 4, 2**63 + 3),
    st.integers(-(10**30), 10**30),
    st.sampled_from([-(10**30), 10**30]),
    bounds,
)


@settings(max_examples=300, deadline=None)
@given(raw=texts, view_range=st.tuples(EDGES, EDGES))
def test_view_range_integer_edges(scratch, raw, view_range):
    write_raw(scratch, raw)
    got = edit({"command": "view", "path": str(scratch), "view_range": list(view_range)})
    assert got == ok(ref_view(str(scratch), text_mode(raw), view_range))


@settings(max_examples=300, deadline=None)
@given(raw=texts, position=EDGES)
def test_insert_line_integer_edges(scratch, raw, position):
    write_raw(scratch, raw)
    got = edit({"command": "insert", "path": str(scratch), "insert_line": position, "new_str": "N"})
    try:
        expected = ref_insert(text_mode(raw), position, "N")
    except OverflowError as e:  # list.insert takes a C ssize_t, as the tool does
        assert got == err(f"Editor error: {e}")
        assert read_raw(scratch) == raw
    else:
        assert got == ok(f"Inserted text at line {position} in {scratch}")
        assert read_raw(scratch) == expected


# In a child process under a memory cap on its address space.
UNDER_CAP = """
import json, resource, sys
from talmek.core.steerix import _run_editor_tool as edit
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
cap = size + int(sys.argv[1]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
path = sys.argv[2]
print(json.dumps([edit({"command": "view", "path": path, "view_range": [2_000_000, 2_000_002]}),
                  edit({"command": "view", "path": path}),
                  edit({"command": "str_replace", "path": path, "old_str": "x", "new_str": "y"})]))
"""


@pytest.mark.skipif(
    bool(os.environ.get("TALMEK_SANITIZED")),
    reason="the sanitizers reserve more address space than a cap leaves",
)
def test_memory_cap_gives_outcomes(tmp_path):
    # 40 MB of short lines, viewed and edited with 16 MB of room to spare.
    p = tmp_path / "log.txt"
    with open(p, "wb") as f:
        f.writelines(b"line %07d\n" % i for i in range(3_600_000))
    size = p.stat().st_size
    r = subprocess.run(
        [sys.executable, "-c", UNDER_CAP, "16", str(p)], capture_output=True, text=True, timeout=120
    )
    assert r.returncode == 0, r.stderr
    by_range, whole, replace = json.loads(r.stdout)
    assert by_range == ok(
        f"Lines 2000000-2000002 of {p}:\n"
        "   1 | line 1999999\n   2 | line 2000000\n   3 | line 2000001"
    )
    assert whole["type"] == "error" and whole["error"] in (
        "Editor error: out of memory",
        f"Editor error: the view of {p} would pass 33554432 bytes, more than a request to the "
        "model can carry; view fewer lines with view_range",
    )
    assert replace == err("Editor error: out of memory")
    assert p.stat().st_size == size
