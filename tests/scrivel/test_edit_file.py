"""edit_file on real files: the edit rules, all-or-nothing failures, and the diff of the change."""

import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.filesystems import write
from support.reference import edit_file as reference_edit
from talmek.workers import scrivel

# (id, file text, edits, changes, final file text, diff shown)
EDITS = [
    ("empty-edits", "a\nb\n", [], 0, "a\nb\n", False),
    ("find-absent-skipped", "a\n", [{"replace": "z"}], 0, "a\n", False),
    ("find-empty-skipped", "a\n", [{"find": "", "replace": "z"}], 0, "a\n", False),
    ("find-null-skipped", "a\n", [{"find": None, "replace": 7}], 0, "a\n", False),
    ("first-only", "x x x\n", [{"find": "x", "replace": "y"}], 1, "y x x\n", True),
    ("all", "x x x\n", [{"find": "x", "replace": "y", "all": True}], 3, "y y y\n", True),
    ("no-overlap", "aaaa\n", [{"find": "aa", "replace": "b", "all": True}], 2, "bb\n", True),
    ("no-overlap-odd", "aaaaa", [{"find": "aa", "replace": "", "all": 1}], 2, "a", True),
    ("same-text", "keep\n", [{"find": "keep", "replace": "keep"}], 1, "keep\n", False),
    (
        "all-as-text-false",
        "o o\n",
        [{"find": "o", "replace": "0", "all": "false"}],
        2,
        "0 0\n",
        True,
    ),
    ("all-zero", "o o\n", [{"find": "o", "replace": "0", "all": 0}], 1, "0 o\n", True),
    ("all-empty-list", "o o\n", [{"find": "o", "replace": "0", "all": []}], 1, "0 o\n", True),
    (
        "chained",
        "a\n",
        [{"find": "a", "replace": "bc"}, {"find": "c", "replace": "d"}],
        2,
        "bd\n",
        True,
    ),
    ("replace-default-empty", "abc\n", [{"find": "b"}], 1, "ac\n", True),
    ("crlf-normalised", "a\r\nb\rc\n", [{"find": "a\nb\nc", "replace": "x"}], 1, "x\n", True),
    ("bom-kept", "\ufeffhead\n", [{"find": "head", "replace": "top"}], 1, "\ufefftop\n", True),
    ("new-line-end", "a", [{"find": "a", "replace": "a\n"}], 1, "a\n", True),
    (
        "unicode",
        "d\u00e9j\u00e0 \U0001f600\n",
        [{"find": "\U0001f600", "replace": "\u00e9"}],
        1,
        "d\u00e9j\u00e0 \u00e9\n",
        True,
    ),
]


@pytest.mark.parametrize(
    "text, edits, changes, final, has_diff", [e[1:] for e in EDITS], ids=[e[0] for e in EDITS]
)
def test_edits(in_tmp, text, edits, changes, final, has_diff):
    write("f.txt", text)
    expected = reference_edit("f.txt", [dict(e) for e in edits])
    write("f.txt", text)
    got = scrivel.edit_file("f.txt", edits)
    assert got == expected
    assert got["result"]["changes"] == changes
    assert (in_tmp / "f.txt").read_bytes() == final.encode()
    assert bool(got["result"]["diff"]) == has_diff


def test_record_shape_and_diff_names(in_tmp):
    write("notes.md", "one\ntwo\nthree\n")
    got = scrivel.edit_file("notes.md", [{"find": "two", "replace": "2"}])
    assert list(got) == ["success", "result"]
    assert list(got["result"]) == ["path", "changes", "diff"]
    assert got["result"]["path"] == str(in_tmp.resolve() / "notes.md")
    assert (
        got["result"]["diff"]
        == "--- a/notes.md\n+++ b/notes.md\n@@ -1,3 +1,3 @@\n one\n-two\n+2\n three\n"
    )


def test_empty_edits_rewrite_the_file(in_tmp):
    write("f.txt", "a\r\nb\r\n")
    assert scrivel.edit_file("f.txt", []) == {
        "success": True,
        "result": {"path": str(in_tmp / "f.txt"), "changes": 0, "diff": ""},
    }
    assert (in_tmp / "f.txt").read_bytes() == b"a\nb\n"


def test_tilde_and_link_resolve(in_tmp, monkeypatch):
    monkeypatch.setenv("HOME", str(in_tmp))
    write("real.txt", "v1\n")
    os.symlink("real.txt", in_tmp / "link.txt")
    got = scrivel.edit_file("~/link.txt", [{"find": "v1", "replace": "v2"}])
    assert got["result"]["path"] == str(in_tmp / "real.txt")
    assert got["result"]["diff"].startswith("--- a/real.txt\n+++ b/real.txt\n")
    assert (in_tmp / "real.txt").read_text() == "v2\n"


LONG = (
    "it's\n" + "x" * 140 + "\nend" + "y"
)  # 150 characters: a quote and a line feed early, one late
# (id, file bytes, edits, error)
FAILURES = [
    (
        "second-edit-misses",
        b"alpha beta\n",
        [{"find": "alpha", "replace": "A"}, {"find": "gamma", "replace": "G"}],
        "Text not found in file: 'gamma'",
    ),
    (
        "misses-after-first-edit",
        b"ab\n",
        [{"find": "a", "replace": "x"}, {"find": "a", "replace": "y"}],
        "Text not found in file: 'a'",
    ),
    (
        "long-find-quoted",
        b"text\n",
        [{"find": LONG}],
        "Text not found in file: " + repr(LONG[:100]),
    ),
    ("single-quote", b"text\n", [{"find": "it's"}], 'Text not found in file: "it\'s"'),
    ("both-quotes", b"text\n", [{"find": 'it\'s "x"'}], "Text not found in file: 'it\\'s \"x\"'"),
    ("line-feed", b"text\n", [{"find": "a\nb"}], "Text not found in file: 'a\\nb'"),
    ("element-text", b"text\n", ["find"], "'str' object has no attribute 'get'"),
    ("element-int", b"text\n", [{"find": "t"}, 5], "'int' object has no attribute 'get'"),
    ("element-list", b"text\n", [[]], "'list' object has no attribute 'get'"),
    ("element-null", b"text\n", [None], "'NoneType' object has no attribute 'get'"),
    (
        "find-int",
        b"text\n",
        [{"find": 7}],
        "'in <string>' requires string as left operand, not int",
    ),
    (
        "find-list",
        b"text\n",
        [{"find": ["t"]}],
        "'in <string>' requires string as left operand, not list",
    ),
    (
        "find-true",
        b"text\n",
        [{"find": True}],
        "'in <string>' requires string as left operand, not bool",
    ),
    (
        "replace-int",
        b"text\n",
        [{"find": "t", "replace": 1}],
        "replace() argument 2 must be str, not int",
    ),
    (
        "replace-null-all",
        b"text\n",
        [{"find": "t", "replace": None, "all": True}],
        "replace() argument 2 must be str, not None",
    ),
    (
        "replace-int-missing-find",
        b"text\n",
        [{"find": "z", "replace": 1}],
        "Text not found in file: 'z'",
    ),
    (
        "invalid-utf8",
        b"ok\r\n\xffbad\n",
        [],
        "'utf-8' codec can't decode byte 0xff in position 4: invalid start byte",
    ),
    (
        "truncated-utf8",
        b"ok\xe2\x82",
        [],
        "'utf-8' codec can't decode bytes in position 2-3: unexpected end of data",
    ),
    (
        "surrogate-replace",
        b"text\n",
        [{"find": "t", "replace": "\ud800"}],
        "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
    ),
]


@pytest.mark.parametrize(
    "data, edits, error", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES]
)
def test_failures_leave_the_file_untouched(in_tmp, data, edits, error):
    write("f.txt", data)
    before = os.stat("f.txt")
    assert scrivel.edit_file("f.txt", edits) == {"success": False, "error": error}
    assert (in_tmp / "f.txt").read_bytes() == data
    assert os.stat("f.txt").st_mtime_ns == before.st_mtime_ns


def test_failure_messages_match_the_reference(in_tmp):
    # The runtime's own messages, produced by the plain implementation on the same inputs. (The
    # reference empties the file when the replacement cannot be encoded: it opens before encoding.)
    for _, data, edits, _ in FAILURES:
        write("f.txt", data)
        expected = reference_edit("f.txt", edits)
        write("f.txt", data)
        assert scrivel.edit_file("f.txt", edits) == expected


@pytest.mark.parametrize(
    "path, error",
    [
        ("missing.txt", "File not found: missing.txt"),
        ("~nobody_here_xyz/f", "Could not determine home directory."),
        ("sub/../missing", "File not found: sub/../missing"),
    ],
    ids=["missing", "unknown-user", "dotdot"],
)
def test_not_found_names_the_path_as_passed(in_tmp, path, error):
    assert scrivel.edit_file(path, [{"find": "a"}]) == {"success": False, "error": error}


def test_directory_fails_with_the_os_error(in_tmp):
    (in_tmp / "d").mkdir()
    assert scrivel.edit_file("d", []) == {
        "success": False,
        "error": f"[Errno 21] Is a directory: '{in_tmp / 'd'}'",
    }


def test_read_only_file_fails_with_the_os_error(in_tmp):
    if os.geteuid() == 0:
        pytest.skip("root writes read-only files")
    write("ro.txt", "a\n")
    os.chmod("ro.txt", 0o444)
    got = scrivel.edit_file("ro.txt", [{"find": "a", "replace": "b"}])
    assert got == {
        "success": False,
        "error": f"[Errno 13] Permission denied: '{in_tmp / 'ro.txt'}'",
    }


def test_fifo_fails_at_once(in_tmp):
    # Python's open() would wait for a writer forever; the worker answers at once. Run in a child
    # so that a regression fails the test instead of hanging it.
    os.mkfifo(in_tmp / "pipe")
    code = (
        "from talmek.workers import scrivel\n"
        "print(scrivel.edit_file('pipe', []))\n"
        "print(scrivel.edit_file('pipe', [{'find': 'x'}]))\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=in_tmp, capture_output=True, text=True, timeout=20
    )
    assert out.stdout.splitlines() == [
        str(
            {"success": False, "error": f"[Errno 6] No such device or address: '{in_tmp / 'pipe'}'"}
        ),
        str({"success": False, "error": "Text not found in file: 'x'"}),
    ]


def test_through_handle_command(in_tmp):
    write("f.txt", "a b\n")
    got = scrivel.handle_command(
        {"action": "edit", "path": "f.txt", "edits": [{"find": "b", "replace": "c"}]}
    )
    assert got["result"]["changes"] == 1
    assert scrivel.handle_command({"action": "edit", "path": "f.txt"})["result"]["changes"] == 0


@settings(max_examples=150, deadline=None)
@given(st.text(min_size=1, max_size=300))
def test_not_found_quotes_as_repr(tmp_path_factory, find):
    path = tmp_path_factory.mktemp("q") / "empty.txt"
    path.write_bytes(b"")
    got = scrivel.edit_file(str(path), [{"find": find}])
    assert got == {"success": False, "error": "Text not found in file: " + repr(find[:100])}


@settings(max_examples=150, deadline=None)
@given(
    st.text(
        st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)
        | st.sampled_from("a'\"\\\t\x7f\x85\u200b\U000e0001"),
        min_size=1,
        max_size=120,
    )
)
def test_not_found_quotes_surrogates_and_controls_as_repr(tmp_path_factory, find):
    path = tmp_path_factory.mktemp("q") / "empty.txt"
    path.write_bytes(b"")
    got = scrivel.edit_file(str(path), [{"find": find}])
    assert got == {"success": False, "error": "Text not found in file: " + repr(find[:100])}


PIECES = st.sampled_from(["a", "b", "ab", "\n", "\r\n", "\r", "\u00e9", "\x0c", "\u2028", "x y"])


def texts(max_size):
    return st.lists(PIECES, max_size=max_size).map("".join)


EDIT = st.fixed_dictionaries(
    {"find": texts(3)},
    optional={"replace": texts(3), "all": st.sampled_from([True, False, 0, 1, "", "no", None])},
)


@settings(
    max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(texts(40), st.lists(EDIT, max_size=4))
def test_matches_the_reference(in_tmp, text, edits):
    write("f.txt", text)
    expected = reference_edit("f.txt", edits)
    after_reference = (in_tmp / "f.txt").read_bytes()
    write("f.txt", text)
    assert scrivel.edit_file("f.txt", edits) == expected
    assert (in_tmp / "f.txt").read_bytes() == after_reference
