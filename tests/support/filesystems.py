"""File-system situations for the worker's tests: directories that refuse changes, files that
cannot be read, whatever the privileges of the process running the tests; and writing a file's
bytes from text or bytes."""

import contextlib
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest


def bypasses_permissions(where):
    """Whether this process writes into a read-only directory (root's CAP_DAC_OVERRIDE)."""
    probe = where / ".probe"
    probe.mkdir(mode=0o555)
    try:
        (probe / "x").touch()
    except PermissionError:
        return False
    else:
        (probe / "x").unlink()
        return True
    finally:
        probe.rmdir()


@contextlib.contextmanager
def read_only(path):
    """A directory whose entries cannot change for the duration: its write permission removed,
    or, for a process that bypasses permissions (root), the immutable attribute set."""
    if not bypasses_permissions(path.parent):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        os.chmod(path, 0o555)
        try:
            yield
        finally:
            os.chmod(path, mode)
        return
    if shutil.which("chattr") is None:
        pytest.skip("running with permission checks bypassed and chattr is not installed")
    done = subprocess.run(["chattr", "+i", str(path)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"chattr +i refused here: {done.stderr.decode().strip()}")
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", str(path)], check=True)


# What a refused change says: EPERM for an immutable directory, EACCES for a read-only one.
REFUSED = ("[Errno 1] Operation not permitted: ", "[Errno 13] Permission denied: ")


def reads_any_file(tmp_path):
    """Whether this process reads a file without read permission (root, CAP_DAC_OVERRIDE)."""
    probe = tmp_path / ".probe"
    probe.write_text("p")
    os.chmod(probe, 0)
    try:
        probe.read_text()
    except PermissionError:
        return False
    finally:
        probe.unlink()
    return True


def error_of(fn, *args):
    with pytest.raises(OSError) as info:
        fn(*args)
    return str(info.value)


def write(path, data):
    """Writes a file's bytes: a str as its UTF-8 encoding, bytes as they are."""
    Path(path).write_bytes(data.encode() if isinstance(data, str) else data)


def snapshot(*dirs):
    """Every entry below the directories: its kind, its content or target, its mtime."""
    seen = {}
    for d in dirs:
        for p in sorted(d.rglob("*")) + [d]:
            st = p.lstat()
            body = os.readlink(p) if p.is_symlink() else p.read_bytes() if p.is_file() else None
            seen[str(p)] = (st.st_mode, body, st.st_mtime_ns)
    return seen


_LINK_SWAPPER = r"""
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
a, b = (p.encode() for p in sys.argv[1:3])
# Killed with the test's process even when that one dies without its cleanup (PR_SET_PDEATHSIG).
libc.prctl(1, 9)
if os.getppid() != int(sys.argv[3]):
    sys.exit(1)
print("ready", flush=True)
while True:  # exchange the directory and the link, atomically, as fast as possible
    libc.renameat2(-100, a, -100, b, 2)
"""


@contextlib.contextmanager
def names_swapped(a, b):
    """A process that exchanges the names `a` and `b` (RENAME_EXCHANGE) again and again while
    the block runs; it is running when the block starts and ended by its pid when it leaves."""
    racer = subprocess.Popen(
        [sys.executable, "-c", _LINK_SWAPPER, str(a), str(b), str(os.getpid())],
        stdout=subprocess.PIPE,
    )
    try:
        assert racer.stdout.readline() == b"ready\n"
        yield
    finally:
        racer.kill()
        racer.wait()
        racer.stdout.close()
