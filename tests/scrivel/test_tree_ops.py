"""delete_file, make_dir and move_file on real file systems, compared with shutil and pathlib."""

import os
import pathlib
import shutil
import stat

import pytest

from support.filesystems import REFUSED, error_of, read_only
from support.records import fail, ok
from talmek.workers import scrivel


def make_tree(root):
    """A small tree with a nested directory, files, and links inside it."""
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "a.txt").write_text("a")
    (root / "sub" / "b.txt").write_text("b")
    (root / "sub" / "deeper" / "c.txt").write_text("c")
    return root


# ---------------------------------------------------------------------------------------------
# delete_file


def test_delete_file_and_tree(in_tmp):
    (in_tmp / "f.txt").write_text("x")
    assert scrivel.delete_file("f.txt") == ok({"deleted": str(in_tmp / "f.txt")})
    assert not (in_tmp / "f.txt").exists()
    make_tree(in_tmp / "t")
    assert scrivel.delete_file("t") == ok({"deleted": str(in_tmp / "t")})
    assert not (in_tmp / "t").exists()


def test_delete_tree_never_follows_links_inside(in_tmp):
    outside = in_tmp / "outside"
    (outside / "keep").mkdir(parents=True)
    (outside / "keep" / "precious.txt").write_text("p")
    (outside / "file.txt").write_text("f")
    tree = make_tree(in_tmp / "t")
    (tree / "to_dir").symlink_to(outside)
    (tree / "sub" / "to_file").symlink_to(outside / "file.txt")
    (tree / "sub" / "dangling").symlink_to(in_tmp / "missing")
    (tree / "sub" / "loop").symlink_to(tree)
    assert scrivel.delete_file(str(tree)) == ok({"deleted": str(tree)})
    assert not tree.exists()
    assert (outside / "keep" / "precious.txt").read_text() == "p"
    assert (outside / "file.txt").read_text() == "f"


def test_delete_deep_tree(in_tmp):
    deep = in_tmp / "deep"
    path = deep
    for _ in range(400):
        path = path / "d"
    path.mkdir(parents=True)
    (path / "leaf").write_text("x")
    assert scrivel.delete_file("deep")["success"] is True
    assert not deep.exists()


@pytest.mark.parametrize(
    "arg",
    ["nope", "~/surely-not-here-4f1c", "sub/../nope", "./x/y/z", "a\udc80b"],
    ids=["relative", "tilde", "dotdot", "nested", "surrogate-escape"],
)
def test_delete_not_found_names_the_argument(in_tmp, arg):
    (in_tmp / "sub").mkdir()
    assert scrivel.delete_file(arg) == fail("Not found: " + arg)


def test_delete_empty_path_touches_nothing(in_tmp):
    (in_tmp / "keep.txt").write_text("k")
    assert scrivel.delete_file("") == fail("No path provided")
    assert scrivel.handle_command({"action": "delete"}) == fail("No path provided")
    assert (in_tmp / "keep.txt").read_text() == "k"


@pytest.mark.parametrize("arg", [".", "..", "sub/../..", "/", "{cwd}"])
def test_delete_refuses_the_working_directory_and_above(in_tmp, arg):
    (in_tmp / "keep.txt").write_text("k")
    (in_tmp / "sub").mkdir()
    arg = arg.format(cwd=in_tmp)
    assert scrivel.delete_file(arg) == fail(
        "Refusing to delete the working directory or a directory above it: " + arg
    )
    assert (in_tmp / "keep.txt").read_text() == "k"


@pytest.mark.parametrize(
    "arg",
    ["link", "{cwd}/link", "sub/../link", "link/", "./link", "~/link", "via/link"],
    ids=["relative", "absolute", "dotdot", "trailing-slash", "dot", "tilde", "linked-parent"],
)
def test_delete_link_to_directory_removes_only_the_link(in_tmp, monkeypatch, arg):
    monkeypatch.setenv("HOME", str(in_tmp))
    target = make_tree(in_tmp / "target")
    (in_tmp / "sub").mkdir()
    (in_tmp / "real").mkdir()
    (in_tmp / "via").symlink_to(in_tmp / "real")
    link_dir = in_tmp / "real" if arg.startswith("via/") else in_tmp
    (link_dir / "link").symlink_to(target)
    result = scrivel.delete_file(arg.format(cwd=in_tmp))
    assert result == ok({"deleted": str(link_dir / "link")})
    assert not (link_dir / "link").is_symlink()
    assert (target / "sub" / "deeper" / "c.txt").read_text() == "c"


@pytest.mark.parametrize("kind", ["dangling", "loop", "to-file"])
def test_delete_link_kinds(in_tmp, kind):
    (in_tmp / "file.txt").write_text("f")
    target = {"dangling": in_tmp / "missing", "loop": in_tmp / "l", "to-file": in_tmp / "file.txt"}[
        kind
    ]
    (in_tmp / "l").symlink_to(target)
    assert scrivel.delete_file("l") == ok({"deleted": str(in_tmp / "l")})
    assert not os.path.lexists(in_tmp / "l")
    assert (in_tmp / "file.txt").read_text() == "f"


def test_delete_dotdot_after_a_link_acts_on_the_resolved_path(in_tmp):
    # "link/.." names the parent of the link's target, as resolution defines it.
    (in_tmp / "a" / "b").mkdir(parents=True)
    (in_tmp / "a" / "b" / "x").write_text("x")
    (in_tmp / "link").symlink_to(in_tmp / "a" / "b")
    assert scrivel.delete_file("link/..") == ok({"deleted": str(in_tmp / "a")})
    assert not (in_tmp / "a").exists()


def test_delete_tree_rmdir_failure_matches_shutil(tmp_path):
    # An empty directory inside a read-only one cannot be removed: same text as shutil's, and
    # the same entries left behind, since both visit the tree in the same order.
    texts, remaining = [], []
    for name in ("ours", "theirs"):
        tree = make_tree(tmp_path / name)
        (tree / "sub" / "ro" / "stuck").mkdir(parents=True)
        with read_only(tree / "sub" / "ro"):
            if name == "ours":
                result = scrivel.delete_file(str(tree))
                assert result["success"] is False
                texts.append(result["error"])
            else:
                texts.append(error_of(shutil.rmtree, str(tree)))
            remaining.append(sorted(str(p.relative_to(tree)) for p in tree.rglob("*")))
    assert remaining[0] == remaining[1]
    assert "sub/ro/stuck" in remaining[0]
    assert texts[0] == texts[1].replace("theirs", "ours")
    assert texts[0].startswith(REFUSED)
    assert texts[0].endswith(f" '{tmp_path / 'ours' / 'sub' / 'ro' / 'stuck'}'")


def test_delete_tree_unlink_failure_names_the_entry(tmp_path):
    tree = make_tree(tmp_path / "t")
    with read_only(tree / "sub"):
        result = scrivel.delete_file(str(tree))
    assert result["success"] is False
    assert result["error"].startswith(REFUSED)
    assert result["error"].endswith(f" '{tree / 'sub' / 'b.txt'}'")
    assert (tree / "sub" / "b.txt").exists()
    assert not (tree / "a.txt").exists()


def test_delete_file_in_read_only_directory_matches_pathlib(tmp_path):
    d = tmp_path / "ro"
    d.mkdir()
    (d / "f").write_text("x")
    with read_only(d):
        expected = error_of(pathlib.Path(d / "f").unlink)
        assert scrivel.delete_file(str(d / "f")) == fail(expected)
    assert expected.startswith(REFUSED)


# ---------------------------------------------------------------------------------------------
# make_dir


def test_make_dir_nested_and_existing(in_tmp):
    expected = ok({"path": str(in_tmp / "a" / "b" / "c")})
    assert scrivel.make_dir("a/b/c") == expected
    assert (in_tmp / "a" / "b" / "c").is_dir()
    assert scrivel.make_dir("a/b/c") == expected
    assert scrivel.make_dir("a/x/../b/c") == ok({"path": str(in_tmp / "a" / "b" / "c")})


@pytest.mark.parametrize(
    "rel", ["file", "file/x", "file/x/y"], ids=["itself", "parent", "ancestor"]
)
def test_make_dir_with_a_file_in_the_way_matches_pathlib(in_tmp, rel):
    (in_tmp / "file").write_text("f")
    expected = error_of(pathlib.Path(in_tmp / rel).mkdir, 0o777, True, True)
    assert scrivel.make_dir(rel) == fail(expected)
    assert expected.startswith(("[Errno 17] File exists: ", "[Errno 20] Not a directory: "))


def test_make_dir_in_read_only_parent_matches_pathlib(tmp_path):
    d = tmp_path / "ro"
    d.mkdir()
    with read_only(d):
        expected = error_of(pathlib.Path(d / "n" / "m").mkdir, 0o777, True, True)
        assert scrivel.make_dir(str(d / "n" / "m")) == fail(expected)
    assert expected.startswith(REFUSED)
    assert not (d / "n").exists()


# ---------------------------------------------------------------------------------------------
# move_file


def test_move_renames_and_creates_parents(in_tmp):
    (in_tmp / "f").write_text("x")
    assert scrivel.move_file("f", "new/dirs/g") == ok(
        {"from": str(in_tmp / "f"), "to": str(in_tmp / "new" / "dirs" / "g")}
    )
    assert (in_tmp / "new" / "dirs" / "g").read_text() == "x"
    make_tree(in_tmp / "t")
    assert scrivel.move_file("t", "u")["success"] is True
    assert (in_tmp / "u" / "sub" / "deeper" / "c.txt").read_text() == "c"


def test_move_into_existing_directory_reports_the_directory(in_tmp):
    (in_tmp / "f").write_text("x")
    (in_tmp / "d").mkdir()
    assert scrivel.move_file("f", "d") == ok({"from": str(in_tmp / "f"), "to": str(in_tmp / "d")})
    assert (in_tmp / "d" / "f").read_text() == "x"


def test_move_onto_existing_file_replaces_it(in_tmp):
    (in_tmp / "f").write_text("new")
    (in_tmp / "g").write_text("old")
    assert scrivel.move_file("f", "g")["success"] is True
    assert (in_tmp / "g").read_text() == "new"
    assert not (in_tmp / "f").exists()


def test_move_source_not_found_even_with_bad_destination(in_tmp):
    (in_tmp / "file").write_text("f")
    assert scrivel.move_file("~/nope-7a", "file/x/y") == fail("Source not found: ~/nope-7a")


def test_move_directory_onto_itself_is_a_rename_to_itself(in_tmp):
    make_tree(in_tmp / "t")
    assert scrivel.move_file("t", "t") == ok({"from": str(in_tmp / "t"), "to": str(in_tmp / "t")})
    assert (in_tmp / "t" / "a.txt").exists()


def run_both(tmp_path, action):
    """Runs action(root, ours) on two identical setups; returns (our record, shutil's text)."""
    texts = {}
    for name in ("ours", "theirs"):
        root = tmp_path / name
        root.mkdir()
        texts[name] = action(root, name == "ours")
    return texts["ours"], texts["theirs"]


@pytest.mark.parametrize(
    "setup,src,dst",
    [
        ("existing-target", "f", "d"),
        ("into-subtree", "t", "t/sub"),
        ("into-itself-via-existing", "t", "t/sub/deeper"),
        ("dir-onto-file", "t", "file"),
    ],
)
def test_move_failures_match_shutil(tmp_path, setup, src, dst):
    def action(root, ours):
        make_tree(root / "t")
        (root / "f").write_text("x")
        (root / "file").write_text("y")
        (root / "d").mkdir()
        (root / "d" / "f").write_text("occupied")
        s, d = str(root / src), str(root / dst)
        if ours:
            result = scrivel.move_file(s, d)
            assert result["success"] is False
            return result["error"]
        return error_of(shutil.move, s, d)

    ours, theirs = run_both(tmp_path, action)
    assert ours == theirs.replace("theirs", "ours")


def test_move_into_own_subtree_creates_nothing(in_tmp):
    make_tree(in_tmp / "t")
    before = sorted(p.relative_to(in_tmp) for p in in_tmp.rglob("*"))
    result = scrivel.move_file("t", "t/new/deeper/place")
    assert result == fail(
        f"Cannot move a directory '{in_tmp / 't'}' into itself '{in_tmp / 't/new/deeper/place'}'."
    )
    assert sorted(p.relative_to(in_tmp) for p in in_tmp.rglob("*")) == before


def test_move_out_of_read_only_directory_matches_shutil(tmp_path):
    # The rename is refused; shutil falls back to copying and then cannot remove the source.
    def action(root, ours):
        (root / "ro").mkdir()
        (root / "ro" / "f").write_text("x")
        with read_only(root / "ro"):
            if ours:
                result = scrivel.move_file(str(root / "ro" / "f"), str(root / "g"))
                assert result["success"] is False
                return result["error"]
            return error_of(shutil.move, str(root / "ro" / "f"), str(root / "g"))

    ours, theirs = run_both(tmp_path, action)
    assert ours == theirs.replace("theirs", "ours")
    assert ours.startswith(REFUSED)
    # What the copy made stays, as shutil leaves it.
    assert (tmp_path / "ours" / "g").read_text() == "x"


@pytest.fixture
def shm_dir(tmp_path):
    shm = pathlib.Path("/dev/shm")
    if not shm.is_dir() or not os.access(shm, os.W_OK):
        pytest.skip("/dev/shm is not available")
    if os.stat(shm).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("/dev/shm and the temporary directory are on the same device")
    d = shm / f"scrivel-tree-{os.getpid()}-{tmp_path.name}"
    d.mkdir()
    yield d
    shutil.rmtree(d, ignore_errors=True)


def test_move_file_across_devices_keeps_metadata(tmp_path, shm_dir):
    src = tmp_path / "f"
    src.write_bytes(b"data" * 1000)
    os.chmod(src, 0o640)
    os.utime(src, ns=(1_500_000_000_123_456_789, 1_600_000_000_987_654_321))
    dst = shm_dir / "moved"
    assert scrivel.move_file(str(src), str(dst)) == ok({"from": str(src), "to": str(dst)})
    assert not src.exists()
    st = os.stat(dst)
    assert dst.read_bytes() == b"data" * 1000
    assert stat.S_IMODE(st.st_mode) == 0o640
    # The access time is the source's after the copy read it, as shutil.copy2 takes it.
    assert st.st_mtime_ns == 1_600_000_000_987_654_321


def test_move_tree_across_devices_keeps_links_as_links(tmp_path, shm_dir):
    tree = make_tree(tmp_path / "t")
    (tree / "sub" / "rel").symlink_to("b.txt")
    (tree / "abs").symlink_to(tmp_path / "outside")
    (tree / "dangling").symlink_to("nowhere")
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "o.txt").write_text("o")
    os.utime(tree / "sub" / "b.txt", ns=(1, 2_000_000_003))
    dst = shm_dir / "moved"
    assert scrivel.move_file(str(tree), str(dst)) == ok({"from": str(tree), "to": str(dst)})
    assert not tree.exists()
    assert os.readlink(dst / "sub" / "rel") == "b.txt"
    assert os.readlink(dst / "abs") == str(tmp_path / "outside")
    assert os.readlink(dst / "dangling") == "nowhere"
    assert (dst / "sub" / "deeper" / "c.txt").read_text() == "c"
    assert os.stat(dst / "sub" / "b.txt").st_mtime_ns == 2_000_000_003
    assert (tmp_path / "outside" / "o.txt").read_text() == "o"


def test_move_across_devices_into_existing_directory(tmp_path, shm_dir):
    (tmp_path / "f").write_text("new")
    (shm_dir / "g").write_text("old")
    assert scrivel.move_file(str(tmp_path / "f"), str(shm_dir))["success"] is True
    assert (shm_dir / "f").read_text() == "new"
    assert scrivel.move_file(str(shm_dir / "g"), str(tmp_path / "g"))["success"] is True
    assert (tmp_path / "g").read_text() == "old"
