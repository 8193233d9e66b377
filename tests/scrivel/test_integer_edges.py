"""Integer arguments at the edges of the 64-bit range and far beyond (up to ±10**30): every
bound computed from start_line, end_line, max_results and context_lines gives what Python's
unbounded integers and slices give, without overflow (run under UBSan by
scripts/test-sanitized.sh)."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.reference import grep_files as ref_grep
from talmek.workers import scrivel

EDGE = 2**63
edges = st.sampled_from(
    [
        0,
        1,
        -1,
        2,
        -2,
        EDGE - 1,
        EDGE,
        EDGE + 1,
        -EDGE,
        -EDGE + 1,
        -EDGE - 1,
        2**64,
        -(2**64),
        10**30,
        -(10**30),
    ]
)
integers = (
    edges
    | st.integers(-(10**30), 10**30)
    | st.integers(-8, 8)
    | edges.flatmap(lambda e: st.integers(e - 3, e + 3))
)

LINES = "m0\nx1\nm2\nx3\nm4\nx5\nm6\n"

settings_ = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("edges")
    (root / "a.txt").write_text(LINES)
    (root / "b.txt").write_text("m\n" * 3)
    return root


def python_range(text, start, end):
    lines = text.splitlines(keepends=True)
    first = max((start - 1) if start else 0, 0)
    return "".join(lines[first : end if end else len(lines)])


@settings_
@given(start=st.none() | integers, end=st.none() | integers)
def test_read_ranges_at_the_edges(tree, start, end):
    got = scrivel.read_file(str(tree / "a.txt"), start, end)
    expected = python_range(LINES, start, end) if (start is not None or end is not None) else LINES
    assert got["result"]["content"] == expected and got["result"]["total_lines"] == 7


@settings_
@given(context=integers, limit=integers)
def test_grep_bounds_at_the_edges(tree, context, limit):
    got = scrivel.grep_files(str(tree), "m", "*.txt", limit, context)
    want = ref_grep(tree, "m", "*.txt", limit, context)
    assert got == want


@settings_
@given(limit=integers)
def test_find_limit_at_the_edges(tree, limit):
    got = scrivel.find_files(str(tree), "*.txt", limit)
    # The limit is checked after each match is appended: at least one is always reported.
    assert got["result"]["count"] == (2 if limit >= 2 else 1)


@pytest.mark.parametrize("context", [-(2**63), -(10**30), 2**63, 10**30, -(2**63) + 1])
def test_grep_on_the_wire_with_huge_context(tree, context):
    request = {
        "action": "grep",
        "path": str(tree / "a.txt").rsplit("/", 1)[0],
        "regex": "m2",
        "file_pattern": "a.txt",
        "context_lines": context,
    }
    got = scrivel.handle_command(request)["result"]["matches"]
    want = ref_grep(tree, "m2", "a.txt", 100, context)["result"]["matches"]
    assert got == want
