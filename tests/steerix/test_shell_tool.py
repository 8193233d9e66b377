"""The agent's bash tool, run for real through /bin/sh.

Most cases are differential: the same command goes through the tool and through a reference built
from subprocess.run in text mode, and the two outcomes must be equal.
"""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from talmek.core.steerix import _run_bash_tool as run_bash


def reference(command):
    """What the tool answers, spelled out with subprocess (no timeout case)."""
    cwd = None if command.startswith("cd ") else os.path.expanduser("~")
    try:
        r = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=30, cwd=cwd)
    except Exception as e:  # noqa: BLE001 - every failure is a "Command failed: " outcome
        return {"type": "error", "error": f"Command failed: {e}"}
    text = r.stdout
    if r.stderr:
        text += f"\nSTDERR:\n{r.stderr}"
    if r.returncode != 0:
        text += f"\n(exit code: {r.returncode})"
    return {"type": "text", "text": text or "(no output)"}


@pytest.fixture
def home(tmp_path, monkeypatch):
    d = tmp_path / "home"
    d.mkdir()
    monkeypatch.setenv("HOME", str(d))
    return d


@pytest.mark.parametrize(
    "command",
    [
        pytest.param("true", id="silent-success"),
        pytest.param("false", id="silent-failure"),
        pytest.param("echo out; echo err >&2; exit 3", id="both-streams-and-code"),
        pytest.param("echo only-err >&2", id="stderr-only"),
        pytest.param("printf 'no newline'", id="no-final-newline"),
        pytest.param("printf 'a\\r\\nb\\rc\\r'; printf 'x\\r\\n' >&2", id="line-ends"),
        pytest.param("printf '\\377'", id="invalid-stdout"),
        pytest.param("echo fine; printf 'ok\\300' >&2", id="invalid-stderr"),
        pytest.param("printf '\\377'; printf '\\376' >&2", id="both-invalid"),
        pytest.param("printf 'caf\\303\\251 \\342\\202\\254'", id="utf8"),
        pytest.param("kill -9 $$", id="killed-by-signal"),
        pytest.param("exit 255", id="exit-255"),
        pytest.param("pwd", id="runs-in-home"),
        pytest.param("cd / && pwd", id="cd-keeps-cwd"),
        pytest.param(" cd / && pwd", id="leading-blank-is-not-cd"),
        pytest.param("cd", id="bare-cd"),
        pytest.param("CD=1; echo $CD", id="upper-case"),
        pytest.param("echo $0", id="shell-is-sh"),
        pytest.param("yes | head -n 2", id="sigpipe-default"),
        pytest.param("a\x00b", id="nul-byte"),
        pytest.param("echo \udcff", id="surrogate-escape-byte"),
        pytest.param("echo \ud800", id="lone-surrogate"),
    ],
)
def test_matches_subprocess(command, home):
    assert run_bash({"command": command}) == reference(command)


def test_cd_rule_uses_agent_cwd(home, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    assert run_bash({"command": "cd sub 2>/dev/null; pwd"}) == {"type": "text", "text": f"{work}\n"}
    assert run_bash({"command": "pwd"}) == {"type": "text", "text": f"{home}\n"}
    # The change of directory lives only inside that one shell.
    run_bash({"command": "cd / && cd /tmp"})
    assert os.getcwd() == str(work)


@pytest.mark.parametrize(
    "home_value",
    [pytest.param("/nonexistent-talmek-home", id="missing"), pytest.param("/etc/passwd", id="file")],
)
def test_unusable_home(home_value, monkeypatch):
    monkeypatch.setenv("HOME", home_value)
    out = run_bash({"command": "pwd"})
    assert out == reference("pwd")
    assert out["error"].startswith("Command failed: [Errno ")
    # A "cd " command does not need the home directory.
    assert run_bash({"command": "cd / && echo ok"}) == {"type": "text", "text": "ok\n"}


@pytest.mark.parametrize(
    "tool_input",
    [{}, {"command": ""}, {"command": None}, {"command": False}, {"command": 0}, {"command": []},
     {"command": {}}],
    ids=repr,
)
def test_false_command(tool_input):
    assert run_bash(tool_input) == {"type": "error", "error": "No command provided"}


@pytest.mark.parametrize("value", [5, 1.5, True, ["ls"], {"a": 1}, b"ls"], ids=repr)
def test_non_text_command(value):
    out = run_bash({"command": value})
    assert out["type"] == "error"
    assert out["error"].startswith("Command failed: ")


def test_other_keys_ignored(home):
    assert run_bash({"command": "echo hi", "restart": True, "x": None}) == {
        "type": "text", "text": "hi\n"}


def test_large_output_on_both_streams(home):
    mb = 1 << 20
    command = (f"head -c {mb} /dev/zero | tr '\\0' a; head -c {mb} /dev/zero | tr '\\0' b >&2; "
               f"head -c {mb} /dev/zero | tr '\\0' c")
    out = run_bash({"command": command})
    assert out == {"type": "text", "text": "a" * mb + "c" * mb + "\nSTDERR:\n" + "b" * mb}


def test_interleaved_large_writes_do_not_deadlock(home):
    # Each stream alternately overfills its pipe while the other one is being waited on.
    command = "for i in 1 2 3 4; do head -c 300000 /dev/zero >&2; head -c 300000 /dev/zero; done"
    out = run_bash({"command": command})
    assert out == {"type": "text", "text": "\0" * 1200000 + "\nSTDERR:\n" + "\0" * 1200000}


def test_host_descriptors_do_not_leak(home, tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        os.set_inheritable(fd, True)
        out = run_bash({"command": f"test -e /proc/self/fd/{fd} && echo leaked || echo closed"})
    finally:
        os.close(fd)
    assert out == {"type": "text", "text": "closed\n"}


def test_stdin_is_inherited(tmp_path):
    script = ("from talmek.core.steerix import _run_bash_tool as b;"
              "print(b({'command': 'cd / && cat'})['text'], end='')")
    r = subprocess.run([sys.executable, "-c", script], input="from the host\n",
                       capture_output=True, text=True, timeout=60)
    assert r.stdout == "from the host\n"


def test_other_threads_run_while_waiting(home):
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.01)

    t = threading.Thread(target=tick)
    t.start()
    try:
        run_bash({"command": "sleep 0.5"})
    finally:
        stop.set()
        t.join()
    assert ticks > 10


def _state(pid):
    """The process state letter, or None when the process is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def _wait_gone(pid, seconds=5.0):
    end = time.monotonic() + seconds
    while _state(pid) not in (None, "Z") and time.monotonic() < end:
        time.sleep(0.05)
    return _state(pid) in (None, "Z")


def test_signal_handler_error_kills_the_command(home, tmp_path):
    pidfile = tmp_path / "pid"

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            run_bash({"command": f"sleep 20 & echo $! > {pidfile}; wait"})
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert time.monotonic() - start < 10
    assert _wait_gone(int(pidfile.read_text()))


@pytest.mark.slow
def test_timeout_kills_the_whole_group(home, tmp_path):
    # The background sleep keeps both pipes open after the shell is killed; the bound still holds.
    pidfile = tmp_path / "pid"
    start = time.monotonic()
    out = run_bash({"command": f"echo partial; sleep 100 & echo $! > {pidfile}; sleep 40"})
    elapsed = time.monotonic() - start
    assert out == {"type": "error", "error": "Command timed out after 30 seconds"}
    assert 29 < elapsed < 35
    assert _wait_gone(int(pidfile.read_text()))
