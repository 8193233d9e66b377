"""The worker process: JSON lines over real pipes, its exit statuses and its diagnostics."""

import io
import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from talmek.workers import scrivel

QUIT = b'{"action": "quit"}\n'


def replies(out):
    lines = out.splitlines(keepends=True)
    assert all(line.endswith(b"\n") and line.isascii() for line in lines)
    return [json.loads(line) for line in lines]


def read_reply(worker, timeout=10):
    """The next reply, read from the pipe itself with a deadline. A buffered readline may take
    two replies in one read and leave select() waiting on a pipe that has nothing more."""
    fd = worker.proc.stdout.fileno()
    pending = worker.__dict__.setdefault("pending", bytearray())
    deadline = time.monotonic() + timeout
    while b"\n" not in pending:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        assert ready, "no reply in time"
        chunk = os.read(fd, 1 << 16)
        assert chunk, f"worker ended: {worker.finish()}"
        pending += chunk
    line, _, rest = pending.partition(b"\n")
    pending[:] = rest
    return json.loads(line)


def test_blank_lines_get_no_reply(run):
    data = b"   \n\r\n\r\t \x0c\n\xc2\xa0\n" + b'  {"action": "QUIT"}  \r\n' + QUIT
    status, out, err = run(data)
    assert (status, err) == (0, "")
    assert replies(out) == [
        {"success": False, "error": "Unknown action: QUIT"},
        {"success": True, "result": "goodbye"},
    ]


INVALID = [
    (b"{bad", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    (b'{"action": "quit"} {"action": "quit"}', "Extra data: line 1 column 20 (char 19)"),
    (b'{"a": 1,}', "Illegal trailing comma before end of object: line 1 column 8 (char 7)"),
    (b'  ["\xc3\xa9\x01"]  ', "Invalid control character at: line 1 column 4 (char 3)"),
    (b"\xff{}", "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    (
        b'{"p": "\xe2\x82"}',
        "'utf-8' codec can't decode bytes in position 7-8: invalid continuation byte",
    ),
    (
        b'{"p": "\xed\xa0\x80"}',
        "'utf-8' codec can't decode byte 0xed in position 7: invalid continuation byte",
    ),
]


@pytest.mark.parametrize("line,message", INVALID, ids=[repr(l) for l, _ in INVALID])  # noqa: E741
def test_invalid_lines_are_answered_and_serving_goes_on(run, line, message):
    status, out, err = run(line + b"\n" + QUIT)
    assert (status, err) == (0, "")
    assert replies(out) == [
        {"success": False, "error": "Invalid JSON: " + message},
        {"success": True, "result": "goodbye"},
    ]


def test_invalid_json_message_equals_json_loads(run):
    line = '{"action": "read", "path": "x",, }'
    try:
        json.loads(line)
    except json.JSONDecodeError as e:
        expected = f"Invalid JSON: {e}"
    status, out, _ = run(line.encode() + b"\n")
    assert status == 0 and replies(out) == [{"success": False, "error": expected}]


def test_quit_with_extra_keys_stops_before_the_next_line(run, tmp_path):
    status, out, err = run(
        b'{"action": "quit", "path": "x", "content": 5}\n{"action": "write", "path": "after"}\n'
    )
    assert (status, err) == (0, "")
    assert replies(out) == [{"success": True, "result": "goodbye"}]
    assert not (tmp_path / "after").exists()


@pytest.mark.parametrize("data", [b"", b"\n\n", b'{"action": "nope"}', b"   "])
def test_end_of_input_ends_with_status_zero(run, data):
    status, out, err = run(data)
    assert (status, err) == (0, "")
    assert len(replies(out)) == (1 if b"nope" in data else 0)


CONTRACT = [
    (b"[1, 2]", "TypeError: handle_command() argument 'cmd' must be dict, not list"),
    (b'"read"', "TypeError: handle_command() argument 'cmd' must be dict, not str"),
    (b"null", "must be dict, not NoneType"),
    (b"7", "must be dict, not int"),
    (
        b'{"action": ["read"]}',
        "TypeError: cannot use 'list' as a dict key (unhashable type: 'list')",
    ),
    (
        b'{"action": "read", "path": 1}',
        "TypeError: read_file() argument 'path' must be str, not int",
    ),
    (
        b'{"action": "write", "path": "f", "content": null}',
        "argument 'content' must be str, not NoneType",
    ),
    (b'{"action": "read", "path": "f", "start_line": "1"}', "must be int, not str"),
    (b'{"action": "read", "path": "f", "end_line": NaN}', "ValueError: cannot convert float NaN"),
    (b"[" + b"1" * 4301 + b"]", "ValueError: Exceeds the limit (4300 digits) for integer string"),
]


@pytest.mark.parametrize("line,diagnostic", CONTRACT, ids=[l[:40].decode() for l, _ in CONTRACT])  # noqa: E741
def test_contract_breaches_end_the_worker_without_a_reply(run, tmp_path, line, diagnostic):
    status, out, err = run(line + b"\n" + b'{"action": "write", "path": "after"}\n')
    assert status == 1
    assert out == b""
    assert diagnostic in err
    assert not (tmp_path / "after").exists()


def test_non_ascii_content_is_escaped(worker, tmp_path):
    (tmp_path / "f.txt").write_text("café 😀\n", encoding="utf-8")
    worker.send('{"action": "read", "path": "f.txt"}')
    line = worker.reply_line()
    assert b"caf\\u00e9 \\ud83d\\ude00\\n" in line
    assert json.loads(line)["result"]["content"] == "café 😀\n"


def test_dispatch_through_the_wire(worker, tmp_path):
    assert worker.request({}) == {"success": False, "error": "Unknown action: "}
    for action, text in [
        (None, "None"),
        (7, "7"),
        (1.5, "1.5"),
        (True, "True"),
        ("patch", "patch"),
    ]:
        assert worker.request({"action": action})["error"] == "Unknown action: " + text
    assert worker.request({"action": "read"}) == {"success": False, "error": "Not a file: "}
    assert worker.request({"action": "write", "path": "empty"})["result"]["size"] == 0
    assert worker.request({"action": "read", "path": "empty", "start_line": None})["success"]
    assert worker.finish()[0] == 0


def test_each_reply_comes_before_the_next_line_is_read(worker):
    for i in range(5):
        worker.send(json.dumps({"action": "read", "path": f"missing{i}"}))
        assert read_reply(worker)["error"] == f"File not found: missing{i}"


def cpython_replies(data):
    """The replies of a worker written in Python over CPython's own sys.stdin: the lines it
    iterates (on POSIX split at "\n" only), stripped, decoded by json.loads, dispatched."""
    code = "import sys, json; print(json.dumps([l.strip() for l in sys.stdin if l.strip()]))"
    done = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    out = []
    for line in json.loads(done.stdout):
        try:
            request = json.loads(line)
        except json.JSONDecodeError as e:
            out.append({"success": False, "error": f"Invalid JSON: {e}"})
        else:
            out.append(scrivel.handle_command(request))
    return out


# A carriage return is JSON white space: alone it stays inside its line, so one request line
# still gets one reply and the replies stay paired with the requests.
CARRIAGE_RETURNS = [
    b'{"action":\r"nope"}\n{"action": "nope2"}\n',
    b'{"action": "nope"}\r{"action": "nope2"}\n{"action": "nope3"}\n',
    b'{"action": "nope"}\r\n{"action": "nope2"}\r',
    b'\r\r\n\r{"action": "nope"}\r\r\n\r',
    b'{"action": "nope",\r\r "x": 1}',
]


@pytest.mark.skipif(os.name == "nt", reason="Windows reads standard input with universal newlines")
@pytest.mark.parametrize("data", CARRIAGE_RETURNS, ids=range(len(CARRIAGE_RETURNS)))
def test_lines_end_where_cpythons_stdin_ends_them(run, data):
    status, out, err = run(data)
    assert (status, err) == (0, "")
    assert replies(out) == cpython_replies(data)


def test_a_lone_carriage_return_waits_for_the_line_feed(worker):
    worker.send(b'{"action":\r"nope"}\r')
    ready, _, _ = select.select([worker.proc.stdout], [], [], 0.3)
    assert not ready  # the line has not ended yet
    worker.send(b'\n{"action": "nope2"}\r\n')
    assert read_reply(worker)["error"] == "Unknown action: nope"
    assert read_reply(worker)["error"] == "Unknown action: nope2"
    worker.send(QUIT)
    assert read_reply(worker)["result"] == "goodbye"
    assert worker.finish()[:2] == (0, b"")


def test_pipelined_requests_and_long_lines(run, tmp_path):
    big = "x" * 300_000
    lines = [json.dumps({"action": "write", "path": "big", "content": big}).encode()]
    lines += [json.dumps({"action": "read", "path": "big", "start_line": 1}).encode()] * 3
    lines += [b'{"action": "nope"}'] * 2000
    status, out, _ = run(b"\r\n".join(lines) + b"\r")
    got = replies(out)
    assert status == 0 and len(got) == 2004
    assert got[1]["result"]["content"] == big
    assert got[-1]["error"] == "Unknown action: nope"


def test_interrupt_signal_is_ignored(worker):
    assert worker.request({"action": "nope"})["success"] is False  # main has started
    worker.proc.send_signal(signal.SIGINT)
    assert worker.request({"action": "quit"}) == {"success": True, "result": "goodbye"}
    assert worker.finish()[0] == 0


def test_closed_output_ends_the_worker(worker):
    worker.proc.stdout.close()
    worker.send(b'{"action": "nope"}')
    assert worker.proc.wait(10) == 1
    assert "BrokenPipeError" in worker.proc.stderr.read().decode()


@pytest.mark.parametrize("kind", ["grep", "read", "list"])
def test_long_replies_are_written_in_slices_as_json_dumps_writes_them(worker, tmp_path, kind):
    # Replies of several megabytes leave the worker slice by slice (a grep's records straight
    # from the pieces they were encoded into); the line is still exactly json.dumps's.
    root = tmp_path / "tree"
    for d in range(8):
        (root / f"d{d}").mkdir(parents=True)
        for f in range(30):
            text = "".join(f'needle {d} {f} {i} caf\u00e9 "q"\n' for i in range(150))
            (root / f"d{d}" / f"f{f}.txt").write_text(text)
    (root / "big.txt").write_text("x\u2028y\n" * 400_000)
    if kind == "list":  # a reply of many small values
        (root / "many").mkdir()
        for i in range(14_000):
            (root / "many" / f"an entry with a long name {i:05}\u00e9").touch()
    request = {
        "grep": {
            "action": "grep",
            "path": str(root),
            "regex": "needle",
            "max_results": 10**6,
            "context_lines": 2,
        },
        "read": {"action": "read", "path": str(root / "big.txt")},
        "list": {"action": "list", "path": str(root), "recursive": True},
    }[kind]
    worker.send(json.dumps(request))
    line = read_reply_line(worker)
    assert len(line) > 1 << 20  # past the size at which replies go out in slices
    assert line == (json.dumps(scrivel.handle_command(request)) + "\n").encode()


def read_reply_line(worker, timeout=30):
    ready, _, _ = select.select([worker.proc.stdout], [], [], timeout)
    assert ready, "no reply in time"
    return worker.reply_line()


def test_output_closed_during_a_long_reply_ends_the_worker(worker, tmp_path):
    (tmp_path / "big.txt").write_text("line\n" * 2_000_000)
    worker.proc.stdout.close()
    worker.send(json.dumps({"action": "read", "path": "big.txt"}))
    assert worker.proc.wait(30) == 1
    assert "BrokenPipeError" in worker.proc.stderr.read().decode()


DEPTH = 200_000


@pytest.mark.parametrize(
    "line,status,reply",
    [
        # Nesting is bounded only by memory: a deep value is decoded, and then refused because a
        # request must be an object (CPython's decoder would give up with a RecursionError).
        (b"[" * DEPTH + b"]" * DEPTH, 1, None),
        (b'{"action": "quit", "x": ' + b"[" * DEPTH + b"]" * DEPTH + b"}", 0, "goodbye"),
        (b"[" * DEPTH, 0, "Invalid JSON: Expecting value: line 1 column 200001 (char 200000)"),
        (
            b'{"a":' * DEPTH,
            0,
            "Invalid JSON: Expecting value: line 1 column 1000001 (char 1000000)",
        ),
    ],
    ids=["array", "inside-quit", "unterminated", "objects"],
)
def test_deep_nesting_never_crashes(run, line, status, reply):
    code, out, err = run(line + b"\n")
    assert code == status  # a negative status would be a death by signal
    if reply is None:
        assert out == b"" and "must be dict, not list" in err
    else:
        got = replies(out)[0]
        assert got.get("result", got.get("error")) == reply


@pytest.fixture
def python_streams(monkeypatch):
    """Replaces sys.stdin and sys.stdout as an embedding host would; restores SIGINT after."""
    previous = signal.getsignal(signal.SIGINT)

    def feed(text):
        # Set inside the test: pytest's own capture swaps sys.stdout between setup and call.
        out = io.StringIO()
        monkeypatch.setattr(sys, "stdout", out)
        monkeypatch.setattr(sys, "stdin", io.StringIO(text))
        return out

    yield feed
    signal.signal(signal.SIGINT, previous)


def test_main_in_process_with_replaced_streams(python_streams, in_tmp):
    (in_tmp / "f.txt").write_text("é")
    out = python_streams(
        '\n  {"action": "read", "path": "f.txt"}  \n{bad\n{"action": "quit"}\n{"action": "nope"}\n'
    )
    assert scrivel.main() is None
    assert signal.getsignal(signal.SIGINT) is signal.SIG_IGN
    assert out.getvalue().splitlines() == [
        '{"success": true, "result": {"content": "\\u00e9", "total_lines": 1, '
        f'"path": "{in_tmp / "f.txt"}", "size": 2}}}}',
        '{"success": false, "error": "Invalid JSON: Expecting property name enclosed in double '
        'quotes: line 1 column 2 (char 1)"}',
        '{"success": true, "result": "goodbye"}',
    ]


def test_main_in_process_raises_on_a_contract_breach(python_streams):
    out = python_streams('{"action": "nope"}\n[1, 2]\n{"action": "nope"}\n')
    with pytest.raises(TypeError, match="must be dict, not list"):
        scrivel.main()
    assert len(out.getvalue().splitlines()) == 1


def test_main_in_process_ends_at_end_of_input(python_streams):
    out = python_streams('{"action": "nope"}')
    scrivel.main()
    assert json.loads(out.getvalue()) == {"success": False, "error": "Unknown action: nope"}


def test_console_script_exists():
    assert os.path.exists(os.path.join(os.path.dirname(sys.executable), "talmek-scrivel"))


def test_lines_split_across_reads(worker, tmp_path):
    # Each piece reaches the worker in its own read: line ends, "\r\n" pairs and a multi-byte
    # character are cut at every awkward place.
    (tmp_path / "é.txt").write_text("x")
    pieces = [
        b'{"action": "read", "pa',
        b'th": "\xc3',
        b'\xa9.txt"}\r',
        b"\n",
        b"\r",
        b"\r\n",
        b'{"action": "nope"}\r',
        b"\n",
        b'{"action": "quit"}\n',
    ]
    for piece in pieces:
        worker.proc.stdin.write(piece)
        worker.proc.stdin.flush()
        select.select([], [], [], 0.05)
    status, out, err = worker.finish()
    assert (status, err) == (0, "")
    got = replies(out)
    assert got[0]["result"]["content"] == "x"
    assert got[1:] == [
        {"success": False, "error": "Unknown action: nope"},
        {"success": True, "result": "goodbye"},
    ]


# --- handle_command as a module function: the same dispatch as the wire ---------------------

COMMANDS = [
    ({}, {"success": False, "error": "Unknown action: "}),
    ({"action": "quit", "path": 1, "content": None}, {"success": True, "result": "goodbye"}),
    ({"action": "Read"}, {"success": False, "error": "Unknown action: Read"}),
    ({"action": 2.5e16}, {"success": False, "error": "Unknown action: 2.5e+16"}),
    ({"action": (1, 2)}, {"success": False, "error": "Unknown action: (1, 2)"}),
    ({"action": "read"}, {"success": False, "error": "Not a file: "}),
    (
        {"action": "read", "path": "nope", "start_line": None},
        {"success": False, "error": "File not found: nope"},
    ),
]


@pytest.mark.parametrize("cmd,record", COMMANDS, ids=[repr(c) for c, _ in COMMANDS])
def test_handle_command(in_tmp, cmd, record):
    assert scrivel.handle_command(cmd) == record


REFUSED = [
    ([], "handle_command() argument 'cmd' must be dict, not list"),
    (type("D", (dict,), {})(action="quit"), "must be dict, not D"),
    ({"action": {}}, "cannot use 'dict' as a dict key (unhashable type: 'dict')"),
    (
        {"action": "write", "path": "f", "content": None},
        "argument 'content' must be str, not NoneType",
    ),
    ({"action": "edit", "path": "f", "edits": {}}, "argument 'edits' must be list, not dict"),
]


@pytest.mark.parametrize("cmd,message", REFUSED, ids=[repr(c) for c, _ in REFUSED])
def test_handle_command_refusals(in_tmp, cmd, message):
    with pytest.raises(TypeError) as info:
        scrivel.handle_command(cmd)
    assert message in str(info.value)
    assert list(in_tmp.iterdir()) == []


def test_write_without_content_writes_an_empty_file(in_tmp):
    record = scrivel.handle_command({"action": "write", "path": "a/b.txt"})
    assert record["result"] == {"path": str(in_tmp / "a/b.txt"), "size": 0, "lines": 0}
