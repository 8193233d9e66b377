"""Shared fixtures: the file worker as a real child process speaking JSON lines over pipes."""

import json
import subprocess

import pytest

from support.workers import worker_command

# Generous: the machine is shared, and a hung worker should fail a test, not the whole run.
REPLY_TIMEOUT = 30


class Worker:
    """One worker process; requests are written and replies read one line at a time."""

    def __init__(self, cwd, env=None, prefix=()):
        """`prefix`: a command that runs the worker (setpriv and its options, for example)."""
        self.proc = subprocess.Popen(
            [*prefix, *worker_command()],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=cwd,
            env=env,
        )

    def send(self, line):
        """Writes one raw line (str or bytes); a line feed is added unless it ends in one."""
        data = line.encode() if isinstance(line, str) else line
        if not data.endswith((b"\n", b"\r")):
            data += b"\n"
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def reply_line(self):
        line = self.proc.stdout.readline()
        assert line, f"worker ended: {self.finish()}"
        assert line.endswith(b"\n") and line.isascii()
        return line

    def reply(self):
        return json.loads(self.reply_line())

    def request(self, obj):
        self.send(json.dumps(obj))
        return self.reply()

    def finish(self):
        """Closes standard input and returns (exit status, remaining output, standard error)."""
        if not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        out = self.proc.stdout.read()
        err = self.proc.stderr.read()
        return self.proc.wait(REPLY_TIMEOUT), out, err.decode(errors="replace")


@pytest.fixture
def worker(tmp_path):
    w = Worker(tmp_path)
    yield w
    if w.proc.poll() is None:
        w.proc.kill()
    w.proc.wait()
    for stream in (w.proc.stdin, w.proc.stdout, w.proc.stderr):
        stream.close()


def run_worker(data, cwd, timeout=REPLY_TIMEOUT):
    """Feeds all of `data` (bytes) to a fresh worker; returns (status, stdout bytes, stderr text)."""  # noqa: E501
    proc = subprocess.run(
        worker_command(), input=data, capture_output=True, cwd=cwd, timeout=timeout
    )
    return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")


@pytest.fixture
def run(tmp_path):
    return lambda data, **kw: run_worker(data, tmp_path, **kw)


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """Runs the test with the temporary directory as working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
