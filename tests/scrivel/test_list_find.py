"""list_dir and find_files against pathlib's rglob/iterdir and fnmatch, on real trees."""

import fnmatch
import os
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.reference import find_files as ref_find
from support.reference import list_dir as ref_list
from talmek.workers import scrivel


def found(record) -> list:
    assert record["success"], record
    return record["result"]["matches"]


# ---------------------------------------------------------------------------------------------
# Random trees: files, directories, hidden names, links to directories (the root included, so
# that a walk that wrongly followed links would loop), links to files, broken links.

NAMES = st.sampled_from(
    ["a", "b", ".hid", "x.py", "y.txt", "sub", "[x]", "é.py", "a b", "A", "a-b"]
)
KINDS = st.sampled_from(["file", "file", "dir", "link_dir", "link_root", "link_file", "broken"])
TREES = st.lists(st.tuples(st.lists(NAMES, min_size=1, max_size=4), KINDS), max_size=14)


def build(root: Path, layout) -> None:
    dirs, files = [root], []
    for parts, kind in layout:
        parent = root.joinpath(*parts[:-1])
        try:
            parent.mkdir(parents=True, exist_ok=True)
        except OSError:
            continue  # a component exists as a file or a link
        if not parent.is_dir() or parent.is_symlink() or os.path.lexists(parent / parts[-1]):
            continue
        target = parent / parts[-1]
        if kind == "file":
            target.write_text("x" * len(parts))
            files.append(target)
        elif kind == "dir":
            target.mkdir()
            dirs.append(target)
        elif kind == "link_dir":
            target.symlink_to(dirs[len(parts) % len(dirs)])
        elif kind == "link_root":
            target.symlink_to(root)
        elif kind == "link_file" and files:
            target.symlink_to(files[-1])
        else:
            target.symlink_to(root / "nowhere")


@pytest.fixture
def tree_dir():
    d = Path(tempfile.mkdtemp(prefix="scrivel-tree-"))
    yield d
    shutil.rmtree(d, ignore_errors=True)


FIND_PATTERNS = [
    "*",
    "*.py",
    "a",
    "x.py",
    "sub/*.py",
    "*/x.py",
    "**",
    ".",
    "",
    "[ab]",
    "[!a]*",
    "?",
    "sub/",
    "*/",
    "a/**/x.py",
    "**/a",
    "sub/**",
    "..",
    "*/..",
    ".hid",
    "[x]",
    "é*",
    "*/*/*",
    "a/b",
    "[]x]",
    "A*",
]

TREE_SETTINGS = settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@TREE_SETTINGS
@given(layout=TREES)
def test_find_matches_rglob_on_random_trees(tree_dir, layout):
    root = tree_dir / "t"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    build(root, layout)
    for pattern in FIND_PATTERNS:
        # Same paths, same records, and even glob's own walk order.
        assert found(scrivel.find_files(str(root), pattern, 10**6)) == ref_find(root, pattern), (
            pattern
        )


@TREE_SETTINGS
@given(
    layout=TREES,
    recursive=st.booleans(),
    pattern=st.sampled_from([None, "", "*", "*.py", "a*", ".*", "[!a]*", "sub/x"]),
)
def test_list_matches_sorted_rglob_and_fnmatch(tree_dir, layout, recursive, pattern):
    root = tree_dir / "t"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    build(root, layout)
    rec = scrivel.list_dir(str(root), recursive, pattern)
    assert rec["success"], rec
    expected = ref_list(root, recursive, pattern)
    assert rec["result"] == {"entries": expected, "count": len(expected)}


# Names and patterns over the characters that make bracket sets and wildcards interesting.
NAME_CHARS = st.sampled_from(list("ab-!]^[*?é\\.Z"))
NAME = st.text(NAME_CHARS, min_size=1, max_size=5).filter(lambda n: n not in (".", ".."))


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(names=st.sets(NAME, min_size=1, max_size=6), pattern=st.text(NAME_CHARS, max_size=7))
def test_name_filter_is_fnmatch(tree_dir, names, pattern):
    d = tree_dir / "n"
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir()
    for n in names:
        (d / n).write_text("")
    rec = scrivel.list_dir(str(d), False, pattern)
    try:
        expected = sorted(n for n in names if not pattern or fnmatch.fnmatch(n, pattern))
    except Exception as e:  # fnmatch's translation fails on a few bracket forms  # noqa: BLE001
        assert rec == {"success": False, "error": str(e)}
        return
    assert [e["path"] for e in rec["result"]["entries"]] == expected


# ---------------------------------------------------------------------------------------------
# Fixed cases


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "x").write_text("12345")
    (tmp_path / "a-b").write_text("")
    (tmp_path / "B.txt").write_text("b")
    (tmp_path / "c.txt").write_text("cc")
    (tmp_path / ".hidden").mkdir()
    (tmp_path / ".hidden" / "h.py").write_text("h")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "s.py").write_text("s")
    (tmp_path / "sub" / "sub").mkdir()
    (tmp_path / "sub" / "sub" / "t.py").write_text("t")
    (tmp_path / "link").symlink_to(tmp_path / "sub")
    return tmp_path


def test_recursive_listing_keeps_directories_before_lookalike_siblings(tree):
    rec = scrivel.list_dir(str(tree), True, None)
    paths = [e["path"] for e in rec["result"]["entries"]]
    assert paths == [
        ".hidden",
        ".hidden/h.py",
        "B.txt",
        "a",
        "a/x",
        "a-b",
        "c.txt",
        "link",
        "sub",
        "sub/s.py",
        "sub/sub",
        "sub/sub/t.py",
    ]
    assert rec["result"]["entries"][3] == {"path": "a", "type": "dir", "size": 0}
    assert rec["result"]["entries"][4] == {"path": "a/x", "type": "file", "size": 5}
    assert rec["result"]["entries"][7] == {"path": "link", "type": "dir", "size": 0}


@pytest.mark.parametrize(
    "recursive, pattern, expected",
    [
        (False, None, [".hidden", "B.txt", "a", "a-b", "c.txt", "link", "sub"]),
        (False, "", [".hidden", "B.txt", "a", "a-b", "c.txt", "link", "sub"]),
        (False, "*.txt", ["B.txt", "c.txt"]),
        (True, "*.py", [".hidden/h.py", "sub/s.py", "sub/sub/t.py"]),
        (True, "sub", ["sub", "sub/sub"]),
        (True, "sub/s.py", []),
        (False, "[!a-c]*", [".hidden", "B.txt", "link", "sub"]),
    ],
    ids=[
        "flat",
        "flat-empty-pattern",
        "flat-txt",
        "rec-py",
        "rec-dir-name",
        "rec-separator",
        "negated-set",
    ],
)
def test_list_filters(tree, recursive, pattern, expected):
    rec = scrivel.list_dir(str(tree), recursive, pattern)
    assert [e["path"] for e in rec["result"]["entries"]] == expected
    assert rec["result"]["count"] == len(expected)


@pytest.mark.parametrize(
    "make, arg, error",
    [
        (lambda d: None, "missing", "Directory not found: "),
        (lambda d: (d / "f").write_text(""), "f", "Not a directory: "),
    ],
    ids=["missing", "file"],
)
def test_list_failures_name_the_argument(tmp_path, monkeypatch, make, arg, error):
    monkeypatch.chdir(tmp_path)
    make(tmp_path)
    assert scrivel.list_dir(arg, False, None) == {"success": False, "error": error + arg}


def test_list_empty_directory(tmp_path):
    assert scrivel.list_dir(str(tmp_path), True, None) == {
        "success": True,
        "result": {"entries": [], "count": 0},
    }


@pytest.mark.parametrize(
    "pattern, limit, count",
    [
        ("*.py", 2, 2),
        ("*.py", 0, 1),
        ("*.py", -5, 1),
        ("*.nothing", 0, 0),
        ("*.py", 100, 3),
        ("*", 1, 1),
    ],
    ids=["limit", "zero-still-one", "negative-still-one", "no-match", "under-limit", "star"],
)
def test_find_limit_tested_after_each_record(tree, pattern, limit, count):
    rec = scrivel.find_files(str(tree), pattern, limit)
    assert rec["result"]["count"] == count == len(rec["result"]["matches"])


def test_find_limit_stops_a_large_walk_early(tmp_path):
    for i in range(30):
        (tmp_path / f"d{i}").mkdir()
        for j in range(30):
            (tmp_path / f"d{i}" / f"f{j}.py").write_text("")
    rec = scrivel.find_files(str(tmp_path), "*.py", 3)
    assert rec["result"]["count"] == 3
    expected = ref_find(tmp_path, "*.py")[:3]
    assert rec["result"]["matches"] == expected


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("sub/*.py", ["sub/s.py", "sub/sub/t.py"]),
        ("link/*", ["link/s.py", "link/sub"]),
        ("link/sub/*", ["link/sub/t.py"]),
        ("*.py", [".hidden/h.py", "sub/s.py", "sub/sub/t.py"]),
        ("", [".", ".hidden", "a", "sub", "sub/sub"]),
    ],
    ids=[
        "dir-part-at-any-depth",
        "named-link-entered",
        "named-link-then-dir",
        "hidden-included",
        "empty-pattern-directories",
    ],
)
def test_find_patterns(tree, pattern, expected):
    paths = sorted(
        os.path.relpath(m["path"], tree) for m in found(scrivel.find_files(str(tree), pattern, 100))
    )
    assert paths == expected


@pytest.mark.parametrize("pattern", ["/etc/*", "//x"])
def test_find_refuses_absolute_patterns(tree, pattern):
    with pytest.raises(NotImplementedError) as exc:
        list(tree.rglob(pattern))
    assert scrivel.find_files(str(tree), pattern, 10) == {"success": False, "error": str(exc.value)}


def test_find_reports_absolute_paths_for_relative_and_home_arguments(tree, monkeypatch):
    monkeypatch.chdir(tree)
    rec = scrivel.find_files("sub", "*.py", 10)
    assert {m["path"] for m in rec["result"]["matches"]} == {
        str(tree / "sub/s.py"),
        str(tree / "sub/sub/t.py"),
    }
    monkeypatch.setenv("HOME", str(tree))
    rec = scrivel.find_files("~/a", "x", 10)
    assert rec["result"]["matches"] == [{"path": str(tree / "a" / "x"), "type": "file", "size": 5}]


def test_find_on_a_file_or_missing_path(tree):
    assert scrivel.find_files(str(tree / "c.txt"), "*", 10) == {
        "success": True,
        "result": {"matches": [], "count": 0},
    }
    assert scrivel.find_files(str(tree / "nope"), "*", 10) == {
        "success": False,
        "error": "Directory not found: " + str(tree / "nope"),
    }


def test_undecodable_names_round_trip(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/bad\xff.py"
    with open(raw, "w") as f:
        f.write("x")
    rec = scrivel.find_files(str(tmp_path), "*.py", 10)
    (name,) = [m["path"] for m in rec["result"]["matches"]]
    assert name == os.fsdecode(raw)
    assert scrivel.list_dir(str(tmp_path), False, "bad?.py")["result"]["count"] == 1
    assert scrivel.read_file(name, None, None)["success"] in (True, False)  # reaches the same file


def test_unreadable_directory_is_skipped_in_walks(tree):
    # Tests run as root, which reads any directory: drop the capability in a child process.
    (tree / "locked").mkdir()
    (tree / "locked" / "in.py").write_text("")
    (tree / "locked").chmod(0)
    code = (
        "import json,sys; from talmek.workers import scrivel as s;"
        "print(json.dumps([s.find_files(sys.argv[1], '*.py', 100), s.list_dir(sys.argv[1], True, '*.py'),"  # noqa: E501
        " s.list_dir(sys.argv[1] + '/locked', False, None)]))"
    )
    out = run_without_dac_override(code, str(tree))
    find, listing, flat = out
    assert not any("locked" in m["path"] for m in find["result"]["matches"])
    assert find["result"]["count"] == 3
    assert listing["result"]["count"] == 3
    assert flat == {
        "success": False,
        "error": f"[Errno 13] Permission denied: {str(tree / 'locked')!r}",
    }


def run_without_dac_override(code, *args):
    import json
    import subprocess
    import sys

    setpriv = shutil.which("setpriv")
    if os.geteuid() != 0 or not setpriv:
        pytest.skip("needs root and setpriv to take away the override of file modes")
    caps = "-dac_override,-dac_read_search"
    cmd = [
        setpriv,
        f"--bounding-set={caps}",
        f"--inh-caps={caps}",
        sys.executable,
        "-c",
        code,
        *args,
    ]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# ---------------------------------------------------------------------------------------------
# Directories larger than one buffer of the directory reader, and statuses asked only for the
# names a pattern keeps: the same records as rglob/iterdir, links and broken links included.


@pytest.fixture(scope="module")
def big_dir():
    d = Path(tempfile.mkdtemp(prefix="scrivel-big-"))
    top = d / "top"
    (top / "sub").mkdir(parents=True)
    stem = "n" * 150
    for i in range(2500):
        (top / f"{stem}{i:04d}.{'py' if i % 3 else 'txt'}").write_text("x" * (i % 7))
    for i in range(40):
        (top / "sub" / f"{stem}{i:04d}.py").write_text("y" * i)
    (top / "dir_link.py").symlink_to(top / "sub")
    (top / "file_link.py").symlink_to(top / "sub" / f"{stem}0001.py")
    (top / "broken.py").symlink_to(top / "missing")
    (top / "broken.txt").symlink_to(top / "missing")
    yield top
    shutil.rmtree(d, ignore_errors=True)


@pytest.mark.parametrize("pattern", ["*", "*.py", "*.txt", "sub/*.py", "n*9.py", "broken*"])
def test_find_in_a_directory_past_one_listing_buffer(big_dir, pattern):
    assert found(scrivel.find_files(str(big_dir), pattern, 10**6)) == ref_find(big_dir, pattern)


@pytest.mark.parametrize("recursive", [False, True])
@pytest.mark.parametrize("pattern", [None, "*.py", "broken*"])
def test_list_a_directory_past_one_listing_buffer(big_dir, recursive, pattern):
    rec = scrivel.list_dir(str(big_dir), recursive, pattern)
    expected = ref_list(big_dir, recursive, pattern)
    assert rec["result"] == {"entries": expected, "count": len(expected)}


def test_copy_and_delete_a_directory_past_one_listing_buffer(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(2500):
        (src / f"{'m' * 150}{i:04d}").write_text(str(i))
    (src / "link").symlink_to(src / f"{'m' * 150}0007")
    dst = tmp_path / "copy"
    assert scrivel.copy_file(str(src), str(dst))["success"]
    assert sorted(os.listdir(dst)) == sorted(os.listdir(src))
    assert (dst / "link").read_text() == "7"  # followed, as copytree copies by default
    assert scrivel.delete_file(str(dst))["success"]
    assert not os.path.lexists(dst)
