"""Writes under real faults: a file system filled to the brim, a worker killed part-way through a
large write, and the metadata a replaced file must keep (links, owner, mode, xattrs, ACLs).

Each write leaves the old content or the new one. What a replaced file keeps is compared with
what CPython's own in-place write (Path.write_text) keeps on a twin file.
"""

import contextlib
import errno
import json
import os
import signal
import stat
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from support.workers import worker_command
from talmek.workers import scrivel

ENOSPC_TEXT = "[Errno 28] No space left on device"


# --- a small tmpfs, filled ----------------------------------------------------------------------


@contextlib.contextmanager
def small_tmpfs(where, size="2m"):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    where.mkdir()
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", f"size={size},mode=0777", "tmpfs", str(where)],
        capture_output=True,
    )
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {done.stderr.decode().strip()}")
    try:
        yield where
    finally:
        subprocess.run(["umount", str(where)], check=False)
        if os.path.ismount(where):
            subprocess.run(["umount", "-l", str(where)], check=False)


def fill(directory):
    """Fills the file system of `directory` to its last byte, with a file named filler."""
    with open(directory / "filler", "wb", buffering=0) as f:
        block = b"\0" * 65536
        while block:
            try:
                f.write(block)
            except OSError as e:
                assert e.errno == errno.ENOSPC
                block = block[: len(block) // 2]


@pytest.fixture
def full_fs(tmp_path):
    with small_tmpfs(tmp_path / "fs") as fs:
        yield fs


OLD = "old line\n" * 50_000  # 450 kB that must survive
NEW = "new line!\n" * 60_000  # 600 kB: more than the file system has left


def by_worker_editor(path, content):
    from talmek.core.steerix import _run_editor_tool as edit

    return edit({"command": "create", "path": str(path), "file_text": content})


def _outcome_failed(result):
    if "type" in result:  # an editor outcome
        assert result["type"] == "error", result
        return result["error"]
    assert result["success"] is False, result
    return result["error"]


def _editor(command, **keys):
    from talmek.core.steerix import _run_editor_tool as edit

    return lambda p: edit({"command": command, "path": str(p), **keys})


WRITES = [
    ("write", lambda p: scrivel.write_file(str(p), NEW)),
    (
        "edit",
        lambda p: scrivel.edit_file(str(p), [{"find": "old", "replace": "older" * 3, "all": True}]),
    ),
    ("copy onto it", lambda p: scrivel.copy_file(str(p.parent.parent / "new.txt"), str(p))),
    (
        "move onto it from another device",
        lambda p: scrivel.move_file(str(p.parent.parent / "new.txt"), str(p)),
    ),
    ("editor create", _editor("create", file_text=NEW)),
    ("editor str_replace", _editor("str_replace", old_str="old line\n", new_str=NEW)),
    ("editor insert", _editor("insert", insert_line=3, new_str=NEW)),
]


@pytest.mark.parametrize("hard_linked", [False, True], ids=["renamed", "in place"])
@pytest.mark.parametrize("name, write", WRITES, ids=[w[0] for w in WRITES])
def test_a_full_disk_leaves_the_old_content(tmp_path, full_fs, name, write, hard_linked):
    (tmp_path / "new.txt").write_text(NEW)  # outside the small file system
    target = full_fs / "notes.txt"
    target.write_text(OLD)
    if hard_linked:
        os.link(target, full_fs / "other")
    fill(full_fs)
    before = sorted(os.listdir(full_fs))
    message = _outcome_failed(write(target))
    assert "No space left on device" in message
    assert target.read_text() == OLD
    assert sorted(os.listdir(full_fs)) == before  # no temporary file left behind
    if hard_linked:
        assert (full_fs / "other").read_text() == OLD


def test_a_full_disk_leaves_an_append_out(full_fs):
    target = full_fs / "log.txt"
    target.write_text(OLD)
    fill(full_fs)
    got = scrivel.append_file(str(target), NEW)
    assert got == {"success": False, "error": f"{ENOSPC_TEXT}: {str(target)!r}"}
    assert target.read_text() == OLD


@pytest.mark.parametrize(
    "content", [OLD[: len(OLD) // 2], OLD.upper()], ids=["shorter", "same length"]
)
def test_a_full_disk_still_takes_content_that_fits_in_the_files_room(full_fs, content):
    # As an in-place write does: the file's own blocks take it.
    target = full_fs / "notes.txt"
    target.write_text(OLD)
    fill(full_fs)
    got = scrivel.write_file(str(target), content)
    assert got["success"] is True and got["result"]["size"] == len(content)
    assert target.read_text() == content


def test_appending_to_a_nearly_full_disk_keeps_what_fits(full_fs):
    target = full_fs / "log.txt"
    target.write_text("a\n")
    fill(full_fs)
    os.truncate(full_fs / "filler", os.path.getsize(full_fs / "filler") - 65536)
    assert scrivel.append_file(str(target), "b\n")["result"]["size"] == 4
    assert target.read_text() == "a\nb\n"


# --- kill -9 during a large write -----------------------------------------------------------------


def test_a_worker_killed_during_a_large_write_leaves_the_old_file_or_the_new_one(tmp_path):
    old = b"o" * (8 << 20)
    new = "n" * (64 << 20)
    target = tmp_path / "big.bin"
    line = (json.dumps({"action": "write", "path": str(target), "content": new}) + "\n").encode()
    outcomes = []
    for delay in (None, 0.0, 0.02, 0.1):
        target.write_bytes(old)
        proc = subprocess.Popen(
            worker_command(),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=tmp_path,
        )
        try:
            proc.stdin.write(line)
            proc.stdin.flush()
            if delay is None:
                # Until the new content has started to land somewhere beside the target.
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    temps = [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]
                    if temps and temps[0].stat().st_size > 0:
                        break
            else:
                time.sleep(delay)
            proc.send_signal(signal.SIGKILL)
        finally:
            proc.kill()
            proc.wait()
            for s in (proc.stdin, proc.stdout, proc.stderr):
                with contextlib.suppress(BrokenPipeError):
                    s.close()
        size = target.stat().st_size
        assert size in (len(old), len(new))
        with open(target, "rb") as f:
            head, tail = f.read(1), (f.seek(-1, 2), f.read(1))[1]
        assert head == tail and head in (b"o", b"n")
        outcomes.append(head)
        for p in tmp_path.iterdir():  # what a killed write leaves: its temporary file
            if p.name.endswith(".tmp"):
                p.unlink()
    assert outcomes[0] == b"o"  # killed mid-write: the old file, whole


# --- what a replaced file keeps -------------------------------------------------------------------


def _acl_blob(uid):
    """A POSIX ACL in the kernel's xattr form: user::rw-, user:<uid>:rw-, group::r--, mask::rw-,
    other::r--."""
    undefined = 0xFFFFFFFF
    entries = [
        (0x01, 6, undefined),
        (0x02, 6, uid),
        (0x04, 4, undefined),
        (0x10, 6, undefined),
        (0x20, 4, undefined),
    ]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def _set_mode(p):
    os.chmod(p, 0o640)


def _set_setuid(p):
    os.chmod(p, 0o4755)


def _set_owner(p):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    os.chown(p, 1234, 4321)


def _set_xattr(p):
    try:
        os.setxattr(p, "user.origin", b"downloaded")
    except OSError as e:
        pytest.skip(f"no user xattrs here: {e}")


def _set_acl(p):
    try:
        os.setxattr(p, "system.posix_acl_access", _acl_blob(1234))
    except OSError as e:
        pytest.skip(f"no ACLs here: {e}")


def _set_hard_link(p):
    os.link(p, p.with_name(p.name + ".link"))


SETUPS = [_set_mode, _set_setuid, _set_owner, _set_xattr, _set_acl, _set_hard_link]


def _metadata(p):
    st = os.stat(p)
    link = p.with_name(p.name + ".link")
    return {
        "mode": stat.filemode(st.st_mode),
        "owner": (st.st_uid, st.st_gid),
        "links": st.st_nlink,
        "xattrs": {k: os.getxattr(p, k) for k in sorted(os.listxattr(p))},
        "content": p.read_text(),
        "link content": link.read_text() if link.exists() else None,
    }


KEEPERS = [
    ("write", lambda p: scrivel.write_file(str(p), "new\n")),
    ("edit", lambda p: scrivel.edit_file(str(p), [{"find": "old", "replace": "new"}])),
    ("copy", lambda p: scrivel.copy_file(str(p.parent / "src.txt"), str(p))),
    ("editor", _editor("create", file_text="new\n")),
]


@pytest.mark.parametrize("setup", SETUPS, ids=[s.__name__[5:] for s in SETUPS])
@pytest.mark.parametrize("name, write", KEEPERS, ids=[k[0] for k in KEEPERS])
def test_a_replaced_file_keeps_what_an_in_place_write_keeps(tmp_path, setup, name, write):
    ours, theirs = tmp_path / "ours" / "f.txt", tmp_path / "theirs" / "f.txt"
    for p in (ours, theirs):
        p.parent.mkdir()
        p.write_text("old\n")
        (p.parent / "src.txt").write_text("new\n")
        setup(p)
    result = write(ours)
    assert result.get("success", result.get("type") == "text"), result
    if name == "copy":  # shutil.copy2 onto an existing file: content, then the source's status
        import shutil

        shutil.copy2(theirs.parent / "src.txt", theirs)
    else:
        theirs.write_text("new\n")
    assert _metadata(ours) == _metadata(theirs)
    assert sorted(os.listdir(ours.parent)) == sorted(os.listdir(theirs.parent))


def test_a_link_named_by_the_caller_stays_a_link(tmp_path):
    (tmp_path / "real.txt").write_text("old\n")
    (tmp_path / "sub").mkdir()
    os.symlink("../real.txt", tmp_path / "sub" / "link.txt")
    from talmek.core.steerix import _run_editor_tool as edit

    assert (
        edit(
            {"command": "create", "path": str(tmp_path / "sub" / "link.txt"), "file_text": "new\n"}
        )["type"]
        == "text"
    )
    assert os.readlink(tmp_path / "sub" / "link.txt") == "../real.txt"
    assert (tmp_path / "real.txt").read_text() == "new\n"
    assert sorted(os.listdir(tmp_path / "sub")) == ["link.txt"]


def test_a_file_whose_owner_cannot_be_kept_is_written_in_place(tmp_path):
    # An unprivileged worker may write a file it does not own (mode 0666) but may not give a new
    # file to its owner: the file keeps its inode, owner and content's place.
    if os.geteuid() != 0:
        pytest.skip("needs root to give the file and the worker to different users")
    with tempfile.TemporaryDirectory() as shared:  # beside pytest's directories, which are 0700
        _written_in_place_by_nobody(Path(shared))


def _written_in_place_by_nobody(d):
    os.chmod(d, 0o777)
    target = d / "f.txt"
    target.write_text("old\n")
    os.chmod(target, 0o666)
    before = os.stat(target)
    # The native worker: the interpreter may sit where that user cannot read.
    request = json.dumps({"action": "write", "path": str(target), "content": "new\n"}) + "\n"
    done = subprocess.run(
        worker_command(),
        input=request,
        capture_output=True,
        text=True,
        user=65534,
        group=65534,
        extra_groups=[],
        timeout=60,
        cwd=d,
    )
    assert json.loads(done.stdout)["success"] is True, (done.stdout, done.stderr)
    after = os.stat(target)
    assert (after.st_ino, after.st_uid, after.st_gid) == (
        before.st_ino,
        before.st_uid,
        before.st_gid,
    )
    assert target.read_text() == "new\n"
    assert os.listdir(d) == ["f.txt"]


def test_fifo_and_device_targets_are_written_as_open_writes_them(tmp_path):
    assert scrivel.write_file("/dev/null", "gone")["result"]["size"] == 0
    os.mkfifo(tmp_path / "pipe")
    got = scrivel.write_file(str(tmp_path / "pipe"), "x")
    assert got == {
        "success": False,
        "error": f"[Errno 6] No such device or address: {str(tmp_path / 'pipe')!r}",
    }
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe").st_mode)
