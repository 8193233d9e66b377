"""grep_files against a Python re reference: line splitting, decoding, limits, context, errors."""

import re
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.reference import grep_files as ref_grep
from talmek.workers import scrivel

from .test_list_find import run_without_dac_override


@pytest.fixture
def scratch():
    d = Path(tempfile.mkdtemp(prefix="scrivel-grep-"))
    yield d
    shutil.rmtree(d, ignore_errors=True)


# Texts built from pieces that exercise every line boundary, CRLF, invalid UTF-8 and the
# characters whose classes differ between engines.
PIECES = st.sampled_from(
    [
        b"a",
        b"b",
        b"ab",
        b"abc",
        b"aXb",
        b" ",
        b"\t",
        b"1",
        b"42",
        b"\xc3\xa9",
        b"\xe2\x82\xac",
        b"_",
        b"\n",
        b"\r",
        b"\r\n",
        b"\x0b",
        b"\x0c",
        b"\x1c",
        b"\x1d",
        b"\x1e",
        b"\x1f",
        b"\xc2\x85",
        b"\xe2\x80\xa8",
        b"\xe2\x80\xa9",
        b"\xff",
        b"\xc3",
        b"\xe2\x80",
        b"\xed\xa0\x80",
        b"\xc2\xa0",
        b"\x00",
        b"(",
        b".",
    ]
)
TEXTS = st.lists(PIECES, max_size=40).map(b"".join)

PATTERNS = [
    "a",
    "ab",
    "a.c",
    "^a",
    "a$",
    r"\d+",
    r"\s",
    r"\w+\s\w",
    "[^a]",
    "(a|b)c",
    r"\ba",
    "é",
    "",
    "x*",
    "(?i)A",
    r"a\Z",
    "a{,2}b",
    "\ufffd",
    r"\S\s\S",
    r"(?<=a)b",
    r"a(?=b)",
    r"\x00",
    r"\(",
    r"[\s]",
    r"\W",
    r"^$",
    r"\u20ac",
    "a|^b",
    r"(a)\1",
    r"(?P<x>b)(?P=x)",
    "[.]",
    r"a\b",
    # Shapes around the required-text shortcut: quantified, optional and alternated characters.
    "ab+c",
    "ab*c",
    "x?ab",
    r"^a\w+",
    "é+b",
    "a{2}b",
    "(?i)AB",
    "b|ab",
    "(?x) a b # c",
    r"(?x)a\ b [ ]c",
    r"a\(?",
    r"\.a",
    "a(?:b|c)",
    "ba{0}b",
    r"a\Zb",
]


@settings(
    max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(texts=st.lists(TEXTS, min_size=1, max_size=3), context=st.sampled_from([0, 1, 2, -1, -3]))
def test_grep_matches_python_re(scratch, texts, context):
    root = scratch / "g"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    for i, t in enumerate(texts):
        (root / f"f{i}.txt").write_bytes(t)
    for regex in PATTERNS:
        assert scrivel.grep_files(str(root), regex, "*", 10**6, context) == ref_grep(
            root, regex, "*", 10**6, context
        ), regex


# The required-text scan compares sixteen positions at a time and hands over to a plain search
# for the tail and for inputs where its two probe bytes agree almost everywhere.
LONG_TEXTS = [
    b"".join(b"x" * k + b"_handler(a, b)\n" for k in range(40)),
    b"a" * 5000 + b"ab\n" + b"a" * 3000 + b"aab",
    b"aab" * 2000,
    b"_(" * 3000 + b"\n_handler(x, \n" + b"(_" * 100,
    b"_1234567(" * 1000 + b"_handler(x, y\n" + b"_1234567(" * 50,
    (b"\xc3\xa9" * 7 + b"\r\n_h(\xe2\x80\xa8") * 200 + b"_handler(",
]


@pytest.mark.parametrize(
    "text", LONG_TEXTS, ids=["offsets", "runs", "repeats", "probes", "mismatches", "breaks"]
)
@pytest.mark.parametrize(
    "regex",
    [
        r"_handler\(",
        r"_handler\(\w+, ",
        "aab",
        "ab",
        "b",
        r"\(_",
        r"h\(",
        r"(?:é)é\r?",
        "a{3}b",
    ],
)
def test_long_texts_around_the_required_text_scan(tmp_path, text, regex):
    for cut in (len(text), len(text) - 1, len(text) - 9, len(text) // 2 + 3):
        shutil.rmtree(tmp_path / "g", ignore_errors=True)
        (tmp_path / "g").mkdir()
        (tmp_path / "g" / "f.txt").write_bytes(text[:cut])
        assert scrivel.grep_files(str(tmp_path / "g"), regex, "*", 10**6, 1) == ref_grep(
            tmp_path / "g", regex, "*", 10**6, 1
        )


@pytest.fixture
def files(tmp_path):
    (tmp_path / "one.txt").write_text("match 1\nno\nmatch 3\nmatch 4\nno\nmatch 6\nmatch 7\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "two.py").write_text("x = 1\nmatch here\n")
    (tmp_path / ".hid").mkdir()
    (tmp_path / ".hid" / "h.txt").write_text("match hidden")
    (tmp_path / "bad.txt").write_bytes(b"caf\xe9 match\r\nend\r")
    return tmp_path


@pytest.mark.parametrize(
    "regex, pattern, limit, context",
    [
        ("match", "*", 100, 0),
        ("match", "*", 3, 0),
        ("match", "*", 0, 0),
        ("match", "*", -2, 2),
        ("^no$", "*", 100, 0),
        ("match", "*.py", 100, 2),
        ("", "*", 5, 1),
        ("match", "one.txt", 100, 1),
        ("match", "sub/*", 100, 0),
        ("match", "*", 100, 10**9),
        ("match", "*", 100, -(10**9)),
        ("nothing", "*", 0, 0),
        ("caf.", "*", 100, 0),
    ],
    ids=[
        "all",
        "limit-3",
        "limit-0",
        "limit-negative",
        "anchors",
        "py-context",
        "empty-regex",
        "literal-name",
        "dir-part",
        "huge-context",
        "huge-negative-context",
        "no-match-limit-0",
        "invalid-utf8",
    ],
)
def test_grep_cases_match_reference(files, regex, pattern, limit, context):
    assert scrivel.grep_files(str(files), regex, pattern, limit, context) == ref_grep(
        files, regex, pattern, limit, context
    )


@pytest.mark.parametrize("limit", [0, -1, 1])
@pytest.mark.parametrize(
    "regex", ["needle", "ne+dle", "^needle"], ids=["literal", "regex", "anchored"]
)
def test_limit_below_one_stops_after_the_first_file_read(tmp_path, regex, limit):
    # The walk yields the top directory's files before entering "sub", so the first file read
    # has no match; dismissed without a line given to the engine (it lacks the required text),
    # it still counts as read, and the walk stops after it.
    for i in range(3):
        (tmp_path / f"f{i}.txt").write_text("other\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "g.txt").write_text("needle\n")
    assert scrivel.grep_files(str(tmp_path), regex, "*", limit, 0) == ref_grep(
        tmp_path, regex, "*", limit, 0
    )


def test_context_at_file_edges_and_adjacent_matches(tmp_path):
    (tmp_path / "f").write_text("m1\nm2\nx\ny\n")
    rec = scrivel.grep_files(str(tmp_path), "m", "*", 100, 1)["result"]["matches"]
    assert [(m["line_number"], m["context_before"], m["context_after"]) for m in rec] == [
        (1, [], ["m2"]),
        (2, ["m1"], ["x"]),
    ]
    rec = scrivel.grep_files(str(tmp_path), "y", "*", 100, 2)["result"]["matches"]
    assert rec[0]["context_before"] == ["m2", "x"] and rec[0]["context_after"] == []


def test_limit_stops_inside_the_first_file(tmp_path):
    (tmp_path / "a").write_text("m\n" * 5)
    (tmp_path / "b").write_text("m\n" * 5)
    rec = scrivel.grep_files(str(tmp_path), "m", "*", 3, 0)
    assert rec == ref_grep(tmp_path, "m", "*", 3, 0)
    assert rec["result"]["count"] == 3
    assert {m["file"] for m in rec["result"]["matches"]} == {rec["result"]["matches"][0]["file"]}


@pytest.mark.parametrize(
    "setup, file_pattern, expected",
    [
        ("file", "*", {"success": True, "result": {"matches": [], "count": 0}}),
        ("dir", "", {"success": True, "result": {"matches": [], "count": 0}}),
        ("dir", "/abs/*", {"success": False, "error": "Non-relative patterns are unsupported"}),
    ],
    ids=["path-is-a-file", "empty-file-pattern", "absolute-file-pattern"],
)
def test_grep_odd_paths_and_patterns(tmp_path, setup, file_pattern, expected):
    (tmp_path / "f").write_text("hello\n")
    target = tmp_path / "f" if setup == "file" else tmp_path
    assert scrivel.grep_files(str(target), "hello", file_pattern, 100, 0) == expected


def test_missing_directory_reported_before_a_bad_regex(tmp_path):
    assert scrivel.grep_files("nowhere-xyz", "(", "*", 1, 0) == {
        "success": False,
        "error": "Directory not found: nowhere-xyz",
    }


@pytest.mark.parametrize(
    "regex",
    [
        "(a",
        "a)",
        "[a",
        "*a",
        "a**",
        r"\q",
        "ab\n(c",
        r"\x4",
        r"\u12",
        "a{3,2}",
        "(?i)a(?m)b",
        "x|+",
        "^*",
    ],
)
def test_compile_errors_use_python_wording(tmp_path, regex):
    (tmp_path / "f").write_text("a\n")
    with pytest.raises(re.error) as exc:
        re.compile(regex)
    assert scrivel.grep_files(str(tmp_path), regex, "*", 10, 0) == {
        "success": False,
        "error": str(exc.value),
    }


@pytest.mark.filterwarnings("ignore:Possible nested set")
@pytest.mark.parametrize("regex", [r"(?<a>x)", r"\N{DIGIT ONE}", r"[[:alpha:]]"])
def test_other_patterns_fail_or_agree(tmp_path, regex):
    (tmp_path / "f").write_text("1\n:\nx\n")
    rec = scrivel.grep_files(str(tmp_path), regex, "*", 10, 0)
    try:
        expected = ref_grep(tmp_path, regex, "*", 10, 0)
    except re.error:
        assert rec["success"] is False and rec["error"]
    else:
        assert rec == expected or rec["success"] is False


def test_catastrophic_pattern_ends_with_a_failure_record(tmp_path):
    (tmp_path / "f").write_text("ok\n" + "a" * 60 + "b\n")
    rec = scrivel.grep_files(str(tmp_path), "(a+)+$", "*", 10, 0)
    assert rec["success"] is False
    assert "backtracking limit" in rec["error"]


def test_unreadable_file_is_skipped_and_the_rest_searched(tmp_path):
    (tmp_path / "a.txt").write_text("needle\n")
    (tmp_path / "locked.txt").write_text("needle\n")
    (tmp_path / "locked.txt").chmod(0)
    (tmp_path / "z.txt").write_text("needle\n")
    code = (
        "import json,sys; from talmek.workers import scrivel as s;"
        "print(json.dumps(s.grep_files(sys.argv[1], 'needle', '*', 100, 0)))"
    )
    rec = run_without_dac_override(code, str(tmp_path))
    assert sorted(Path(m["file"]).name for m in rec["result"]["matches"]) == ["a.txt", "z.txt"]


def test_fifo_in_the_tree_is_not_read(tmp_path):
    import os

    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "f").write_text("x\n")
    assert scrivel.grep_files(str(tmp_path), "x", "*", 10, 0)["result"]["count"] == 1


def test_grep_through_the_dispatch(files):
    rec = scrivel.handle_command({"action": "grep", "path": str(files), "regex": "hidden"})
    assert rec["result"]["count"] == 1
    assert rec["result"]["matches"][0]["file"] == str(files / ".hid" / "h.txt")
