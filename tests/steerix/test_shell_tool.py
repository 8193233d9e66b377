"""The agent's bash tool, run for real through /bin/sh.

Most cases are differential: the same command goes through the tool and through a reference built
from subprocess.run in text mode, and the two outcomes must be equal.
"""

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from support.reference import bash_tool as reference
from talmek.core.steerix import _run_bash_tool as run_bash


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
    [
        pytest.param("/nonexistent-talmek-home", id="missing"),
        pytest.param("/etc/passwd", id="file"),
    ],
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
    [
        {},
        {"command": ""},
        {"command": None},
        {"command": False},
        {"command": 0},
        {"command": []},
        {"command": {}},
    ],
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
        "type": "text",
        "text": "hi\n",
    }


def test_large_output_on_both_streams(home):
    mb = 1 << 20
    command = (
        f"head -c {mb} /dev/zero | tr '\\0' a; head -c {mb} /dev/zero | tr '\\0' b >&2; "
        f"head -c {mb} /dev/zero | tr '\\0' c"
    )
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
    script = (
        "from talmek.core.steerix import _run_bash_tool as b;"
        "print(b({'command': 'cd / && cat'})['text'], end='')"
    )
    r = subprocess.run(
        [sys.executable, "-c", script],
        input="from the host\n",
        capture_output=True,
        text=True,
        timeout=60,
    )
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


@pytest.mark.parametrize(
    "rest",
    [
        pytest.param("wait", id="silent"),
        # Output that never pauses keeps the wait out of poll(), where a signal would interrupt it.
        pytest.param("while :; do echo tick; done", id="chatty"),
    ],
)
def test_signal_handler_error_kills_the_command(rest, home, tmp_path):
    pidfile = tmp_path / "pid"

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            run_bash({"command": f"sleep 20 & echo $! > {pidfile}; {rest}"})
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert time.monotonic() - start < 10
    assert _wait_gone(int(pidfile.read_text()))


@pytest.mark.slow
def test_timeout_kills_the_whole_group(home, tmp_path):
    # The background sleep keeps both pipes open after the shell is killed; the bound still holds.
    # The two others left the shell's process group (setsid) or lost their parent (a double
    # fork); the kill finds them all the same.
    pids = [tmp_path / f"pid{i}" for i in range(3)]
    start = time.monotonic()
    out = run_bash(
        {
            "command": f"echo partial; sleep 100 & echo $! > {pids[0]}\n"
            f"setsid sh -c 'echo $$ > {pids[1]}; exec sleep 100' &\n"
            f"(sh -c 'echo $$ > {pids[2]}; exec sleep 100' &)\n"
            "sleep 40"
        }
    )
    elapsed = time.monotonic() - start
    assert out == {"type": "error", "error": "Command timed out after 30 seconds"}
    assert 29 < elapsed < 35
    for pidfile in pids:
        assert _state(int(pidfile.read_text())) is None


# ------------------------------------------------------------------------------------------------
# Faults: bounded output, nothing left behind, memory caps, a fork bomb

LIMIT = 32 << 20
TOO_MUCH = {
    "type": "error",
    "error": (
        "Command failed: the output passed 33554432 bytes (32 MiB), more than a request to the model "  # noqa: E501
        "can carry; the command and every process it started were killed"
    ),
}
OUT_OF_MEMORY = {"type": "error", "error": "Command failed: out of memory"}


@pytest.mark.parametrize(
    "command",
    [
        pytest.param("yes", id="stdout"),
        pytest.param("yes >&2", id="stderr"),
        pytest.param(
            f"head -c {LIMIT // 2} /dev/zero; head -c {LIMIT // 2 + 1} /dev/zero >&2",
            id="one-byte-over-on-two-streams",
        ),
        pytest.param(f"head -c {LIMIT + 1} /dev/zero; sleep 100", id="one-byte-over-then-waits"),
        pytest.param("yes | sh -c 'trap \"\" TERM; cat'", id="pipeline-ignoring-sigterm"),
    ],
)
def test_output_past_the_bound_stops_the_command(command, home):
    start = time.monotonic()
    assert run_bash({"command": command}) == TOO_MUCH
    assert time.monotonic() - start < 20


def test_output_at_the_bound_is_kept(home):
    out = run_bash({"command": f"head -c {LIMIT} /dev/zero"})
    assert out["type"] == "text" and len(out["text"]) == LIMIT


# Ways for a process to leave the shell's reach; each writes its pid to {p} and stays alive.
ESCAPES = [
    pytest.param("setsid sh -c 'echo $$ > {p}; exec sleep 100' &", id="setsid"),
    pytest.param("(sh -c 'echo $$ > {p}; exec sleep 100' &)", id="double-fork"),
    pytest.param("nohup sh -c 'echo $$ > {p}; exec sleep 100' >/dev/null 2>&1 &", id="detached"),
    pytest.param(
        "setsid sh -c 'trap \"\" HUP INT TERM; echo $$ > {p}; kill -STOP $$' &",
        id="stopped-in-own-session",
    ),
    pytest.param("sh -c 'sh -c \"echo \\$\\$ > {p}; exec sleep 100\" & wait' &", id="grandchild"),
]
WAIT_FOR_PID = "while [ ! -s {p} ]; do sleep 0.01; done"


def _end(pid):
    """Kills a process this test started and waits until it is gone."""
    if _state(pid) not in (None, "Z"):
        os.kill(pid, signal.SIGKILL)
    assert _wait_gone(pid)


@pytest.mark.parametrize("trigger", ["output", "interrupt"])
@pytest.mark.parametrize("escape", ESCAPES)
def test_nothing_is_left_behind(escape, trigger, home, tmp_path):
    p = tmp_path / "pid"
    last = "yes" if trigger == "output" else "sleep 100"
    command = "\n".join([escape.format(p=p), WAIT_FOR_PID.format(p=p), last])

    def interrupt(signum, frame):
        if not p.exists() or not p.read_text().strip():
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            return
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        if trigger == "output":
            assert run_bash({"command": command}) == TOO_MUCH
        else:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            with pytest.raises(KeyboardInterrupt):
                run_bash({"command": command})
        pid = int(p.read_text())
        # Gone, not even a zombie, by the time the outcome comes back.
        assert _state(pid) is None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        if p.exists() and p.read_text().strip():
            _end(int(p.read_text()))


def test_an_ordinary_end_leaves_detached_processes(home, tmp_path):
    # A command may start a program for the user (an editor, a viewer) and return: as a shell
    # would, the tool leaves alone what no longer holds its output.
    p = tmp_path / "pid"
    command = "nohup sh -c 'echo $$ > {p}; exec sleep 100' >/dev/null 2>&1 &\n" + WAIT_FOR_PID
    out = run_bash({"command": command.format(p=p)})
    pid = int(p.read_text())
    try:
        assert out == {"type": "text", "text": "(no output)"}
        assert _state(pid) not in (None, "Z")
    finally:
        _end(pid)


def test_the_command_dies_with_the_host(home, tmp_path):
    p = tmp_path / "pid"
    command = f"setsid sh -c 'echo $$ > {p}; exec sleep 100' & wait"
    host = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys; from talmek.core.steerix import _run_bash_tool as b; "
            "b({'command': sys.argv[1]})",
            command,
        ]
    )
    pid = None
    try:
        end = time.monotonic() + 20
        while not (p.exists() and p.read_text().strip()) and time.monotonic() < end:
            time.sleep(0.02)
        pid = int(p.read_text())
        host.kill()
        host.wait()
        assert _wait_gone(pid)
    finally:
        if host.poll() is None:
            host.kill()
            host.wait()
        if pid is not None:
            _end(pid)


# Run in a child process under a memory cap: the cap applies to the whole address space, and the
# test process must not live under it.
UNDER_CAP = """
import json, os, resource, sys
from talmek.core.steerix import _run_bash_tool, _run_editor_tool
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
cap = size + int(sys.argv[1]) * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
outcomes = [_run_bash_tool({"command": "yes"}),
            _run_editor_tool({"command": "view", "path": "/dev/zero"})]
with open(f"/proc/self/task/{os.getpid()}/children") as f:
    children = f.read().split()
print(json.dumps({"outcomes": outcomes, "children": children}))
"""


@pytest.mark.skipif(
    bool(os.environ.get("TALMEK_SANITIZED")),
    reason="the sanitizers reserve more address space than a cap leaves",
)
@pytest.mark.parametrize("headroom_mb", [8, 40, 256])
def test_memory_cap_gives_outcomes(headroom_mb, home):
    r = subprocess.run(
        [sys.executable, "-c", UNDER_CAP, str(headroom_mb)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    shell, view = got["outcomes"]
    assert shell == TOO_MUCH if headroom_mb == 256 else shell in (TOO_MUCH, OUT_OF_MEMORY)
    if headroom_mb == 8:
        assert shell == OUT_OF_MEMORY
    assert view == {"type": "error", "error": "Editor error: `/dev/zero` is a character device"}
    assert got["children"] == []


def _processes_of(uid):
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                if os.stat(f"/proc/{name}").st_uid == uid:
                    found.append(int(name))
            except FileNotFoundError:
                pass
    return found


def _end_all_of(uid):
    """Kills, by pid, every process of a throwaway user this test made, until none is left."""
    for _ in range(200):
        pids = _processes_of(uid)
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)
    raise AssertionError(f"processes of uid {uid} survive: {_processes_of(uid)}")


NPROC = 60
BOMBS = {
    # The classic one, until the output bound stops everything.
    "output": "bomb() { bomb | bomb & }; bomb; exec yes",
    # One whose members fork for as long as they live, until an interruption stops everything.
    # The command's own shell waits in sleep: a shell whose fork fails may give up and exit, and
    # the command must still be running when the interruption comes.
    "interrupt": "bomb() { while :; do bomb & done; }; bomb & exec sleep 60",
}


@pytest.mark.skipif(
    os.geteuid() != 0, reason="the bomb runs as a throwaway user; making one needs root"
)
@pytest.mark.skipif(
    not (shutil.which("setpriv") and shutil.which("prlimit")),
    reason="needs setpriv and prlimit (util-linux)",
)
@pytest.mark.parametrize("trigger", list(BOMBS))
def test_fork_bomb_leaves_no_process(trigger, home):
    # A uid that no account has: the limit on its processes counts this test's processes alone.
    # Root ignores RLIMIT_NPROC, so the bomb runs as that user, under the limit.
    uid = random.SystemRandom().randrange(1_500_000_000, 2_000_000_000)
    as_user = f"prlimit --nproc={NPROC}:{NPROC} setpriv --reuid={uid} --regid={uid} --clear-groups"
    seen = []

    def interrupt(signum, frame):
        seen.append(len(_processes_of(uid)))
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        # The bomb runs only where the limit holds: a probe tries to start more processes than
        # the limit allows, detached so that they outlive it, and they are counted.
        probe = (
            f"i=0; while [ $i -lt {NPROC + 20} ]; do sleep 30 >/dev/null 2>&1 & i=$((i+1)); done"
        )
        run_bash({"command": f"{as_user} sh -c '{probe}' 2>/dev/null"})
        started = len(_processes_of(uid))
        _end_all_of(uid)
        if not 0 < started <= NPROC:
            pytest.skip(f"RLIMIT_NPROC does not hold here ({started} processes under {NPROC})")

        command = f"{as_user} sh -c '{BOMBS[trigger]}'"
        start = time.monotonic()
        if trigger == "output":
            assert run_bash({"command": command}) == TOO_MUCH
        else:
            signal.setitimer(signal.ITIMER_REAL, 0.5)
            with pytest.raises(KeyboardInterrupt):
                run_bash({"command": command})
            assert seen[0] >= 5  # the bomb was at work when the kill began
        assert time.monotonic() - start < 15
        assert _processes_of(uid) == []
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        _end_all_of(uid)
