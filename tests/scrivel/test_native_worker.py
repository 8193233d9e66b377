"""The native worker executable `talmek-scrivel` against the interpreter's loop (`talmek-scrivel-py`
and `python -c ... scrivel.main()`): the same bytes out, the same status, the same diagnostic."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

BIN = Path(sys.executable).parent
NATIVE = [str(BIN / "talmek-scrivel")]
PYTHON_LOOPS = [
    [str(BIN / "talmek-scrivel-py")],
    [sys.executable, "-c", "from talmek.workers import scrivel; scrivel.main()"],
]

SESSIONS = [
    b'{"action": "write", "path": "n/t.txt", "content": "milk\\ncaf\\u00e9\\n"}\n'
    b'{"action": "read", "path": "n/t.txt", "start_line": 2}\r\n'
    b"   \n{bad\n\xff{}\n"
    b'{"action": "list", "path": ".", "recursive": true}\n'
    b'{"action": "grep", "path": ".", "regex": "caf", "context_lines": 1}\r'
    b'{"action": "delete", "path": "n"}\n{"action": "quit"}\n{"action": "write", "path": "late"}\n',
    b'{"action": "read", "path": 5}\n',
    b'{"action": "list", "path": "."}',
    b"[1, 2]\n",
    b'{"action": "read", "start_line": NaN}\n',
]


def run(cmd, data, cwd):
    done = subprocess.run(cmd, input=data, capture_output=True, cwd=cwd, timeout=60)
    return done.returncode, done.stdout, done.stderr


def test_the_installed_command_is_the_native_executable():
    with open(NATIVE[0], "rb") as f:
        assert f.read(4) == b"\x7fELF"


@pytest.mark.parametrize("session", SESSIONS, ids=range(len(SESSIONS)))
@pytest.mark.parametrize("loop", PYTHON_LOOPS, ids=["talmek-scrivel-py", "python -c"])
def test_same_replies_status_and_diagnostic_as_the_interpreters_loop(tmp_path, session, loop):
    import shutil

    work = tmp_path / "w"
    results = []
    for cmd in (NATIVE, loop):  # one after the other in the same directory: the same paths
        work.mkdir()
        results.append((run(cmd, session, work), sorted(p.name for p in work.iterdir())))
        shutil.rmtree(work)
    assert results[0] == results[1]


def test_interrupt_ignored_and_closed_output_is_a_failure_not_a_signal(tmp_path):
    proc = subprocess.Popen(
        NATIVE, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path
    )
    proc.stdin.write(b'{"action": "mkdir", "path": "x"}\n')
    proc.stdin.flush()
    assert proc.stdout.readline().startswith(b'{"success": true')
    os.kill(proc.pid, signal.SIGINT)
    proc.stdin.write(b'{"action": "mkdir", "path": "y"}\n')
    proc.stdin.flush()
    assert proc.stdout.readline().startswith(b'{"success": true')
    # Its reader gone, the next reply fails to be written: status 1 with BrokenPipeError, as
    # CPython (which ignores SIGPIPE) reports it, not death by the signal.
    proc.stdout.close()
    proc.stdin.write(b'{"action": "mkdir", "path": "z"}\n')
    proc.stdin.close()
    assert proc.wait(30) == 1
    assert proc.stderr.read().decode().startswith("BrokenPipeError: [Errno 32] Broken pipe")
    proc.stderr.close()
