"""The worker under a memory cap (RLIMIT_AS, set in the worker's own process only) and in front
of devices: an allocation that fails is a failure record and the worker answers the next
request; a line range of a huge file costs what it selects; devices are refused, not read."""

import json
import os
import resource
import subprocess

import pytest

from support.workers import worker_command
from talmek.workers import scrivel

OOM = {"success": False, "error": "Out of memory"}
NOPE = b'{"action": "nope"}\n'
NOPE_REPLY = {"success": False, "error": "Unknown action: nope"}
QUIT = b'{"action": "quit"}\n'


capped = pytest.mark.skipif(
    bool(os.environ.get("TALMEK_SANITIZED")),
    reason="AddressSanitizer reserves more address space than any cap leaves",
)


def capped_run(data, cwd, cap_mb):
    cap = cap_mb << 20

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    done = subprocess.run(
        worker_command(), input=data, capture_output=True, cwd=cwd, timeout=120, preexec_fn=limit
    )
    return done.returncode, [json.loads(line) for line in done.stdout.splitlines()]


def sparse(path, head, size):
    path.write_bytes(head)
    os.truncate(path, size)


def request(**obj):
    return (json.dumps(obj) + "\n").encode()


@capped
def test_a_file_larger_than_memory_is_a_failure_record(tmp_path):
    sparse(tmp_path / "big", b"x\n", 1 << 30)
    status, got = capped_run(request(action="read", path="big") + NOPE + QUIT, tmp_path, 256)
    assert (status, got) == (0, [OOM, NOPE_REPLY, {"success": True, "result": "goodbye"}])


@capped
@pytest.mark.parametrize(
    "start, end, content",
    [
        (1, 2, "first\nsecond\n"),
        (2, 3, "second\nthird\n"),
        (None, 1, "first\n"),
        (3, -1, "third\n"),
        (-5, -2, "first\nsecond\n"),
    ],
)
def test_a_line_range_of_a_huge_log_costs_what_it_selects(tmp_path, start, end, content):
    # Three lines and then a hole of NUL bytes three times the cap: one more, huge, line.
    sparse(tmp_path / "log", b"first\nsecond\nthird\n", 384 << 20)
    status, got = capped_run(
        request(action="read", path="log", start_line=start, end_line=end) + QUIT, tmp_path, 128
    )
    assert status == 0
    assert got[0] == {
        "success": True,
        "result": {
            "content": content,
            "total_lines": 4,
            "path": str(tmp_path / "log"),
            "size": 384 << 20,
        },
    }


@capped
def test_a_request_line_larger_than_memory_gets_one_reply(tmp_path):
    big = b'{"action": "write", "path": "x", "content": "' + b"a" * (256 << 20) + b'"}\n'
    status, got = capped_run(big + NOPE + QUIT, tmp_path, 160)
    assert (status, got) == (0, [OOM, NOPE_REPLY, {"success": True, "result": "goodbye"}])
    assert not (tmp_path / "x").exists()


@capped
def test_a_reply_larger_than_the_cap_goes_out_whole(tmp_path):
    # Control characters are written as \u0001: the reply (288 MB) is six times the file and
    # more than the cap, and is written as it is encoded.
    (tmp_path / "ctl").write_bytes(b"\x01" * (48 << 20))
    status, got = capped_run(request(action="read", path="ctl") + NOPE + QUIT, tmp_path, 256)
    assert status == 0 and len(got) == 3
    assert got[0]["success"] is True and got[0]["result"]["content"] == "\x01" * (48 << 20)
    assert got[1:] == [NOPE_REPLY, {"success": True, "result": "goodbye"}]


# --- devices --------------------------------------------------------------------------------------


@pytest.fixture
def device_link(tmp_path):
    os.symlink("/dev/zero", tmp_path / "zero")
    (tmp_path / "plain.txt").write_text("zero\n")
    return tmp_path / "zero"


@pytest.mark.parametrize(
    "name, call",
    [
        ("edit", lambda p, d: scrivel.edit_file(p, [])),
        ("diff", lambda p, d: scrivel.diff_files(str(d / "plain.txt"), p)),
        ("copy", lambda p, d: scrivel.copy_file(p, str(d / "copy"))),
        ("copy into a tree", lambda p, d: scrivel.copy_file(str(d), str(d) + "-copy")),
    ],
)
@pytest.mark.parametrize("spelling", ["/dev/zero", "link"])
def test_devices_are_refused_by_what_reads_whole_contents(
    tmp_path, device_link, name, call, spelling
):
    path = "/dev/zero" if spelling == "/dev/zero" else str(device_link)
    got = call(path, tmp_path)
    assert got["success"] is False
    assert "`/dev/zero` is a character device" in got["error"] or (
        name == "copy into a tree" and "is a character device" in got["error"]
    )
    assert not (tmp_path / "copy").exists()


def test_read_refuses_a_device_as_a_non_file_and_grep_skips_it(tmp_path, device_link):
    assert scrivel.read_file(str(device_link)) == {
        "success": False,
        "error": f"Not a file: {device_link}",
    }
    got = scrivel.grep_files(str(tmp_path), "zero", "*", 100, 0)
    assert [m["file"] for m in got["result"]["matches"]] == [str(tmp_path / "plain.txt")]
