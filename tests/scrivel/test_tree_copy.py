"""copy_file on real file systems, compared with shutil.copy2 and shutil.copytree."""

import os
import shutil
import socket
import stat

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.filesystems import REFUSED, error_of, read_only, reads_any_file
from support.records import fail, ok
from talmek.workers import scrivel


def snapshot(root):
    """Every entry below root: kind, content or link text, permission bits, mtime_ns."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            rel = os.path.relpath(p, root)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode):
                out[rel] = ("link", os.readlink(p))
            elif stat.S_ISDIR(st.st_mode):
                out[rel] = ("dir", stat.S_IMODE(st.st_mode), st.st_mtime_ns)
            else:
                with open(p, "rb") as f:
                    out[rel] = ("file", f.read(), stat.S_IMODE(st.st_mode), st.st_mtime_ns)
    return out


def make_tree(root):
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "a.txt").write_text("a")
    (root / "sub" / "b.txt").write_text("b")
    (root / "sub" / "deeper" / "c.txt").write_text("c")
    os.chmod(root / "sub" / "b.txt", 0o751)
    os.utime(root / "sub" / "b.txt", ns=(1_000_000_001, 2_000_000_002))
    os.chmod(root / "sub" / "deeper", 0o700)
    os.utime(root / "sub" / "deeper", ns=(3_000_000_003, 4_000_000_004))
    return root


# ---------------------------------------------------------------------------------------------
# Single files (shutil.copy2)


def test_copy_file_keeps_content_mode_times_and_xattrs(in_tmp):
    src = in_tmp / "src.bin"
    src.write_bytes(bytes(range(256)) * 300)
    os.chmod(src, 0o4751)
    try:
        os.setxattr(src, "user.note", b"kept")
    except OSError:
        pass  # the file system has no user attributes; the rest still holds
    os.utime(src, ns=(1_234_567_890_123_456_789, 1_345_678_901_987_654_321))
    assert scrivel.copy_file("src.bin", "out/dst.bin") == ok(
        {"from": str(src), "to": str(in_tmp / "out" / "dst.bin")}
    )
    dst = in_tmp / "out" / "dst.bin"
    assert dst.read_bytes() == src.read_bytes()
    st_src, st_dst = os.stat(src), os.stat(dst)
    assert stat.S_IMODE(st_dst.st_mode) == stat.S_IMODE(st_src.st_mode) == 0o4751
    assert st_dst.st_mtime_ns == 1_345_678_901_987_654_321
    if "user.note" in os.listxattr(src):
        assert os.getxattr(dst, "user.note") == b"kept"


def test_copy_file_metadata_matches_copy2(tmp_path):
    src = tmp_path / "src"
    src.write_text("x" * 10_000)
    os.chmod(src, 0o604)
    os.utime(src, ns=(5, 1_700_000_000_000_000_001))
    shutil.copy2(src, tmp_path / "theirs")
    assert scrivel.copy_file(str(src), str(tmp_path / "ours"))["success"] is True
    ours, theirs = os.stat(tmp_path / "ours"), os.stat(tmp_path / "theirs")
    assert ours.st_mode == theirs.st_mode
    assert ours.st_mtime_ns == theirs.st_mtime_ns
    assert (tmp_path / "ours").read_bytes() == (tmp_path / "theirs").read_bytes()


@pytest.mark.parametrize("size", [0, 1, 65536, 3 * 1024 * 1024 + 7])
def test_copy_file_sizes(tmp_path, size):
    data = os.urandom(size)
    (tmp_path / "src").write_bytes(data)
    assert scrivel.copy_file(str(tmp_path / "src"), str(tmp_path / "dst"))["success"] is True
    assert (tmp_path / "dst").read_bytes() == data


def test_copy_file_into_existing_directory_and_over_existing_file(in_tmp):
    (in_tmp / "f").write_text("new")
    (in_tmp / "d").mkdir()
    assert scrivel.copy_file("f", "d") == ok({"from": str(in_tmp / "f"), "to": str(in_tmp / "d")})
    assert (in_tmp / "d" / "f").read_text() == "new"
    (in_tmp / "g").write_text("old and longer")
    assert scrivel.copy_file("f", "g")["success"] is True
    assert (in_tmp / "g").read_text() == "new"


@pytest.mark.parametrize("dst", ["f", "./f", "sub/../f", "."], ids=["same", "dot", "dotdot", "dir"])
def test_copy_file_onto_itself_matches_copy2(in_tmp, dst):
    (in_tmp / "f").write_text("x")
    (in_tmp / "sub").mkdir()
    expected = error_of(shutil.copy2, str(in_tmp / "f"), str((in_tmp / dst).resolve()))
    assert scrivel.copy_file("f", dst) == fail(expected)
    assert (in_tmp / "f").read_text() == "x"


def test_copy_named_pipe_fails_at_once(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    expected = error_of(shutil.copy2, str(tmp_path / "fifo"), str(tmp_path / "theirs"))
    assert scrivel.copy_file(str(tmp_path / "fifo"), str(tmp_path / "ours")) == fail(expected)
    (tmp_path / "f").write_text("x")
    expected = error_of(shutil.copy2, str(tmp_path / "f"), str(tmp_path / "fifo"))
    assert scrivel.copy_file(str(tmp_path / "f"), str(tmp_path / "fifo")) == fail(expected)


def test_copy_source_not_found_even_with_bad_destination(in_tmp):
    (in_tmp / "file").write_text("f")
    assert scrivel.copy_file("missing/../x", "file/a/b") == fail("Source not found: missing/../x")


def test_copy_file_into_read_only_directory_matches_copy2(tmp_path):
    (tmp_path / "f").write_text("x")
    (tmp_path / "ro").mkdir()
    with read_only(tmp_path / "ro"):
        expected = error_of(shutil.copy2, str(tmp_path / "f"), str(tmp_path / "ro" / "g"))
        assert scrivel.copy_file(str(tmp_path / "f"), str(tmp_path / "ro" / "g")) == fail(expected)
    assert expected.startswith(REFUSED)
    assert expected.endswith(f" '{tmp_path / 'ro' / 'g'}'")


def test_copy_unreadable_file_matches_copy2(tmp_path):
    if reads_any_file(tmp_path):
        pytest.skip("this process reads files whatever their mode (root)")
    (tmp_path / "f").write_text("x")
    os.chmod(tmp_path / "f", 0)
    expected = error_of(shutil.copy2, str(tmp_path / "f"), str(tmp_path / "theirs"))
    assert scrivel.copy_file(str(tmp_path / "f"), str(tmp_path / "ours")) == fail(expected)


# ---------------------------------------------------------------------------------------------
# Trees (shutil.copytree)


def test_copy_tree_matches_copytree(tmp_path):
    src = make_tree(tmp_path / "src")
    outside = tmp_path / "outside"
    (outside / "in").mkdir(parents=True)
    (outside / "in" / "o.txt").write_text("o")
    (src / "to_dir").symlink_to(outside)
    (src / "sub" / "to_file").symlink_to("b.txt")
    os.utime(src / "sub", ns=(7, 8_000_000_009))
    shutil.copytree(src, tmp_path / "theirs")
    assert scrivel.copy_file(str(src), str(tmp_path / "new" / "ours")) == ok(
        {"from": str(src), "to": str(tmp_path / "new" / "ours")}
    )
    ours = snapshot(tmp_path / "new" / "ours")
    assert ours == snapshot(tmp_path / "theirs")
    # Links inside were followed: the copy holds real files and directories.
    assert ours["to_dir/in/o.txt"][:2] == ("file", b"o")
    assert ours["sub/to_file"][0] == "file"
    assert ours["sub"][2] == 8_000_000_009
    assert ours["sub/deeper"][1:] == (0o700, 4_000_000_004)


def test_copy_tree_onto_existing_directory_copies_nothing(tmp_path):
    src = make_tree(tmp_path / "src")
    (tmp_path / "dst").mkdir()
    expected = error_of(shutil.copytree, str(src), str(tmp_path / "dst"))
    assert expected == f"[Errno 17] File exists: '{tmp_path / 'dst'}'"
    assert scrivel.copy_file(str(src), str(tmp_path / "dst")) == fail(expected)
    assert list((tmp_path / "dst").iterdir()) == []


def test_copy_tree_onto_itself_fails_as_copytree(in_tmp):
    make_tree(in_tmp / "t")
    assert scrivel.copy_file("t", "t") == fail(f"[Errno 17] File exists: '{in_tmp / 't'}'")


@pytest.mark.parametrize("dst", ["t/copy", "t/sub/deeper/new/copy", "t/sub"])
def test_copy_tree_into_own_subtree_fails_at_once(in_tmp, dst):
    make_tree(in_tmp / "t")
    before = snapshot(in_tmp)
    assert scrivel.copy_file("t", dst) == fail(
        f"Cannot copy a directory '{in_tmp / 't'}' into itself '{in_tmp / dst}'."
    )
    assert snapshot(in_tmp) == before


def test_copy_tree_partial_failures_match_copytree(tmp_path):
    # Entries that cannot be read even by root: a dangling link, a named pipe, a socket, and
    # (for other users) a file without read permission.
    src = make_tree(tmp_path / "src")
    (src / "dangling").symlink_to(tmp_path / "nowhere")
    (src / "sub" / "dangling2").symlink_to("nowhere")
    os.mkfifo(src / "sub" / "deeper" / "fifo")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(src / "sock"))
    try:
        if not reads_any_file(tmp_path):
            (src / "sub" / "secret").write_text("s")
            os.chmod(src / "sub" / "secret", 0)
        expected = error_of(shutil.copytree, str(src), str(tmp_path / "x1" / "out"))
        result = scrivel.copy_file(str(src), str(tmp_path / "x2" / "out"))
    finally:
        sock.close()
    assert result == fail(expected.replace("/x1/", "/x2/"))
    assert expected.startswith("[(") and "is a named pipe" in expected
    assert snapshot(tmp_path / "x2" / "out") == snapshot(tmp_path / "x1" / "out")


@pytest.mark.parametrize("target", ["ancestor", "destination"])
def test_copy_tree_link_cycles_end(tmp_path, target):
    src = make_tree(tmp_path / "src")
    dst = tmp_path / "dst"
    link = src / "sub" / "cycle"
    link.symlink_to(src if target == "ancestor" else dst)
    result = scrivel.copy_file(str(src), str(dst))
    assert result == fail(
        repr(
            [
                (
                    str(link),
                    str(dst / "sub" / "cycle"),
                    f"[Errno 40] Too many levels of symbolic links: '{link}'",
                )
            ]
        )
    )
    assert (dst / "sub" / "deeper" / "c.txt").read_text() == "c"
    assert not (dst / "sub" / "cycle").exists()


def test_copy_deep_tree(tmp_path):
    path = tmp_path / "src"
    for _ in range(300):
        path = path / "d"
    path.mkdir(parents=True)
    (path / "leaf").write_text("x")
    assert scrivel.copy_file(str(tmp_path / "src"), str(tmp_path / "dst"))["success"] is True
    assert (tmp_path / "dst" / path.relative_to(tmp_path / "src") / "leaf").read_text() == "x"


names = st.sampled_from(["a", "b", "c", "é", "x y", "\udcff"])
trees = st.recursive(
    st.binary(max_size=64),
    lambda children: st.dictionaries(names, children, max_size=4),
    max_leaves=12,
)


def build(path, node):
    if isinstance(node, bytes):
        path.write_bytes(node)
        return
    path.mkdir()
    for name, child in node.items():
        build(path / name, child)


@settings(
    max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(tree=st.dictionaries(names, trees, max_size=5))
def test_copy_then_delete_random_trees(tmp_path, tree):
    root = tmp_path / f"case{len(list(tmp_path.iterdir()))}"
    root.mkdir()
    build(root / "src", tree)
    shutil.copytree(root / "src", root / "theirs")
    assert scrivel.copy_file(str(root / "src"), str(root / "ours"))["success"] is True
    assert snapshot(root / "ours") == snapshot(root / "theirs")
    assert scrivel.delete_file(str(root / "ours")) == ok({"deleted": str(root / "ours")})
    assert not (root / "ours").exists()
