"""read_file, write_file and append_file on a real file system."""

import math
import os
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from talmek.workers import scrivel


def ok(record):
    assert record["success"] is True, record
    assert list(record) == ["success", "result"]
    return record["result"]


def failed(record):
    assert record["success"] is False, record
    assert list(record) == ["success", "error"]
    return record["error"]


# --- reading ----------------------------------------------------------------------------------

THREE = "a\nb\nc"

RANGES = [
    # (start_line, end_line, content)
    (None, None, THREE),
    (2, 2, "b\n"),
    (3, None, "c"),
    (None, -1, "a\nb\n"),
    (None, -3, ""),
    (None, -10, ""),
    (5, None, ""),
    (0, None, THREE),
    (-4, None, THREE),
    (None, 0, THREE),
    (None, 100, THREE),
    (None, 2, "a\nb\n"),
    (3, 2, ""),
    (2, -1, "b\n"),
    (2.9, 3.99, "b\nc"),
    (True, False, THREE),
    (-(2**70), 2**70, THREE),
]


@pytest.mark.parametrize("start,end,content", RANGES)
def test_read_ranges(in_tmp, start, end, content):
    (in_tmp / "f.txt").write_text(THREE)
    result = ok(scrivel.read_file("f.txt", start, end))
    assert list(result) == ["content", "total_lines", "path", "size"]
    assert result == {
        "content": content,
        "total_lines": 3,
        "path": str(in_tmp / "f.txt"),
        "size": 5,
    }


def python_read(data, start, end):
    """What open(encoding="utf-8", errors="replace") and list slicing give."""
    text = data.decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "\n")
    lines = text.splitlines(keepends=True)
    if start is not None or end is not None:
        first = max((start - 1) if start else 0, 0)
        text = "".join(lines[first : end if end else len(lines)])
    return text, len(lines)


BYTES = st.lists(
    st.sampled_from(
        [
            b"a",
            b"\n",
            b"\r",
            b"\r\n",
            b"\x0c",
            b"\x1e",
            b"\xc2\x85",
            b"\xe2\x80\xa8",
            b"\xff",
            b"\xe2\x80",
            b"\xc3\xa9",
            b"\xed\xa0\x80",
            b"\x00",
        ]
    ),
    max_size=20,
).map(b"".join)
BOUND = st.none() | st.integers(-6, 8)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=BYTES, start=BOUND, end=BOUND)
def test_read_equals_python_text_mode(tmp_path, data, start, end):
    path = tmp_path / "f.bin"
    path.write_bytes(data)
    result = ok(scrivel.read_file(str(path), start, end))
    assert (result["content"], result["total_lines"]) == python_read(data, start, end)
    assert result["size"] == len(data)


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=BYTES, pad=st.integers(0, 6), start=BOUND, end=BOUND)
def test_a_range_read_in_pieces_equals_python_text_mode(tmp_path, data, pad, start, end):
    # A range is read 64 KiB at a time: line ends, "\r\n" pairs and multi-byte sequences cut
    # by a piece's end read as the whole text reads them.
    data = b"a\n" * 1000 + b"b" * (65536 - 2000 - pad) + data
    path = tmp_path / "f.bin"
    path.write_bytes(data)
    result = ok(scrivel.read_file(str(path), start if start or end else 1, end))
    assert (result["content"], result["total_lines"]) == python_read(
        data, start if start or end else 1, end
    )


@pytest.mark.parametrize(
    "data,content,total",
    [
        (b"a\r\nb\r\n", "a\nb\n", 2),
        (b"a\rb", "a\nb", 2),
        (b"a\x0cb", "a\x0cb", 2),
        (b"", "", 0),
        (b"x\xffy", "x\ufffdy", 1),
        (b"caf\xc3\xa9", "caf\xe9", 1),
    ],
    ids=["crlf", "cr", "form-feed", "empty", "bad-byte", "utf8"],
)
def test_read_text_mode(in_tmp, data, content, total):
    (in_tmp / "f").write_bytes(data)
    result = ok(scrivel.read_file("f"))
    assert (result["content"], result["total_lines"], result["size"]) == (content, total, len(data))


def test_read_failures(in_tmp, monkeypatch):
    (in_tmp / "d").mkdir()
    os.mkfifo(in_tmp / "fifo")
    monkeypatch.setenv("HOME", str(in_tmp))
    assert failed(scrivel.read_file("nope.txt")) == "File not found: nope.txt"
    assert failed(scrivel.read_file("d")) == "Not a file: d"
    assert failed(scrivel.read_file("")) == "Not a file: "
    assert failed(scrivel.read_file("~")) == "Not a file: ~"
    assert failed(scrivel.read_file("fifo")) == "Not a file: fifo"
    assert failed(scrivel.read_file("a\0b")) == "lstat: embedded null character in path"


def test_read_follows_links_and_reports_the_resolved_path(in_tmp):
    (in_tmp / "real.txt").write_text("x")
    (in_tmp / "sub").mkdir()
    (in_tmp / "link.txt").symlink_to("real.txt")
    result = ok(scrivel.read_file("sub/../link.txt"))
    assert result["path"] == str(in_tmp / "real.txt")
    assert failed(scrivel.read_file("dangling")) == "File not found: dangling"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads everything")
def test_read_permission_denied(in_tmp):
    (in_tmp / "secret").write_text("x")
    (in_tmp / "secret").chmod(0)
    assert failed(scrivel.read_file("secret")) == (
        f"[Errno 13] Permission denied: '{in_tmp / 'secret'}'"
    )


# --- writing and appending --------------------------------------------------------------------

WRITES = [
    # (content, size on disk, lines)
    ("x", 1, 1),
    ("", 0, 0),
    ("a\nb", 3, 2),
    ("a\nb\n", 4, 2),
    ("a\r\nb", 4, 2),
    ("a\x0cb\u2028c", 7, 3),
    ("é😀", 6, 1),
]


@pytest.mark.parametrize("content,size,lines", WRITES)
def test_write(in_tmp, content, size, lines):
    result = ok(scrivel.write_file("new/deeper/f.txt", content))
    assert list(result) == ["path", "size", "lines"]
    path = in_tmp / "new/deeper/f.txt"
    assert result == {"path": str(path), "size": size, "lines": lines}
    assert path.read_bytes() == content.encode()


@pytest.mark.parametrize("create_dirs", [False, None, 0, "", [], {}])
def test_write_without_create_dirs(in_tmp, create_dirs):
    error = failed(scrivel.write_file("missing/f.txt", "x", create_dirs))
    assert error == f"[Errno 2] No such file or directory: '{in_tmp / 'missing/f.txt'}'"
    assert not (in_tmp / "missing").exists()


def test_write_failures(in_tmp):
    (in_tmp / "d").mkdir()
    (in_tmp / "plain").write_text("x")
    assert failed(scrivel.write_file("d", "x")) == f"[Errno 21] Is a directory: '{in_tmp / 'd'}'"
    # Path.mkdir(exist_ok=True) re-raises EEXIST when the parent exists but is not a directory.
    assert (
        failed(scrivel.write_file("plain/f", "x"))
        == f"[Errno 17] File exists: '{in_tmp / 'plain'}'"
    )
    assert failed(scrivel.write_file("plain/f", "x", False)) == (
        f"[Errno 20] Not a directory: '{in_tmp / 'plain/f'}'"
    )
    assert failed(scrivel.append_file("d", "x")) == f"[Errno 21] Is a directory: '{in_tmp / 'd'}'"


def test_append(in_tmp):
    created = ok(scrivel.append_file("sub/log.txt", "one"))
    assert created == {"path": str(in_tmp / "sub/log.txt"), "size": 3, "lines": 1}
    appended = ok(scrivel.append_file("sub/log.txt", "two\n"))
    assert appended == {"path": str(in_tmp / "sub/log.txt"), "size": 7}
    assert (in_tmp / "sub/log.txt").read_bytes() == b"onetwo\n"


@pytest.mark.parametrize("op", ["write", "append"])
@pytest.mark.parametrize("exists", [True, False])
def test_unencodable_content_leaves_the_file_untouched(in_tmp, op, exists):
    target = in_tmp / "dir" / "f.txt"
    if exists:
        target.parent.mkdir()
        target.write_text("keep")
    func = scrivel.write_file if op == "write" else scrivel.append_file
    error = failed(func("dir/f.txt", "a\ud800b"))
    assert (
        error
        == "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"
    )
    if exists:
        assert target.read_text() == "keep"
    else:
        assert not target.parent.exists()


def test_fifo_never_blocks(in_tmp):
    os.mkfifo(in_tmp / "fifo")
    done = []

    def attempt():
        done.append(scrivel.write_file("fifo", "x"))
        done.append(scrivel.append_file("fifo", "x"))

    t = threading.Thread(target=attempt, daemon=True)
    t.start()
    t.join(10)
    assert len(done) == 2, "a write to a FIFO without a reader blocked the worker"
    for record in done:
        assert failed(record) == f"[Errno 6] No such device or address: '{in_tmp / 'fifo'}'"


def test_surrogate_escaped_names_round_trip(in_tmp):
    name = os.fsdecode(b"caf\xe9.txt")  # not UTF-8: reaches Python as a surrogate escape
    result = ok(scrivel.write_file(name, "x"))
    assert os.listdir(in_tmp) == [name]
    assert (in_tmp / name).read_text() == "x"
    assert ok(scrivel.read_file(name))["path"] == result["path"] == str(in_tmp / name)
    assert failed(scrivel.read_file("\ud800")) == (
        "'utf-8' codec can't encode character '\\ud800' in position "
        f"{len(str(in_tmp)) + 1}: surrogates not allowed"
    )


# --- argument checks --------------------------------------------------------------------------

BAD_ARGUMENTS = [
    (lambda: scrivel.read_file(1), TypeError, "read_file() argument 'path' must be str, not int"),
    (lambda: scrivel.read_file(None), TypeError, "must be str, not NoneType"),
    (lambda: scrivel.read_file("f", "2"), TypeError, "must be int, not str"),
    (lambda: scrivel.read_file("f", [1]), TypeError, "must be int, not list"),
    (lambda: scrivel.read_file("f", math.nan), ValueError, "cannot convert float NaN to integer"),
    (
        lambda: scrivel.read_file("f", None, math.inf),
        OverflowError,
        "cannot convert float infinity",
    ),
    (lambda: scrivel.write_file("f", None), TypeError, "argument 'content' must be str"),
    (lambda: scrivel.write_file(type("S", (str,), {})("f"), "x"), TypeError, "must be str, not S"),
    (lambda: scrivel.append_file("f", b"x"), TypeError, "must be str, not bytes"),
]


@pytest.mark.parametrize("call,exc,message", BAD_ARGUMENTS)
def test_argument_checks_raise(in_tmp, call, exc, message):
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()
    assert list(in_tmp.iterdir()) == []


def test_arguments_by_name(in_tmp):
    (in_tmp / "f").write_text(THREE)
    assert ok(scrivel.read_file(path="f", end_line=1))["content"] == "a\n"
    assert ok(scrivel.write_file(content="z", path="g", create_dirs=False))["size"] == 1
    assert ok(scrivel.append_file(content="z", path="g"))["size"] == 2


LINE_PIECES = st.sampled_from(
    [
        "word ",
        "x" * 15,
        "\n",
        "\r",
        "\r\n",
        "\v",
        "\f",
        "\x1c",
        "\x1d",
        "\x1e",
        "\x85",
        "\u2028",
        "\u2029",
        "\t",
        "é",
        "“",
        "\x00",
        "\xa0",
    ]
)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.lists(LINE_PIECES, max_size=50).map("".join))
def test_line_counts_of_long_texts(tmp_path, text):
    path = tmp_path / "lines.txt"
    assert ok(scrivel.write_file(str(path), text))["lines"] == len(text.splitlines())
    result = ok(scrivel.read_file(str(path)))
    stored = path.read_bytes().decode().replace("\r\n", "\n").replace("\r", "\n")
    assert (result["content"], result["total_lines"]) == (stored, len(stored.splitlines()))
