"""The native unified diff against difflib.unified_diff: the same text for every pair of line lists."""  # noqa: E501

import difflib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from talmek.workers import scrivel


def reference(a, b, fromfile="a", tofile="b"):
    return "".join(difflib.unified_diff(a, b, fromfile, tofile))


def check(a, b, fromfile="a", tofile="b"):
    assert scrivel._unified_diff(a, b, fromfile, tofile) == reference(a, b, fromfile, tofile)


# Lines from a small alphabet repeat a lot, which is where the matcher's tie-breaking and the
# popular-line rule show. Any line may lack its line end (CPython writes it as it is).
ENDINGS = st.sampled_from(["\n", "\n", "\n", "\n", "", "\r\n", "\x0c"])
WORDS = st.sampled_from(["a", "b", "c", "", "  x", "d\u00e9j\u00e0", "\U0001f600", "return NULL;"])
LINE = st.builds(lambda w, e: w + e, WORDS, ENDINGS)
SMALL = st.lists(LINE, max_size=30)
# Long lists from a handful of lines: b crosses 200 lines, so autojunk removes the popular ones.
FEW = st.lists(st.sampled_from(["x\n", "y\n", "z\n", "w\n", "v\n"]), min_size=200, max_size=400)
FEW_END = st.builds(lambda lines, last: lines + [last], FEW, st.sampled_from(["x", "q", "y\n"]))
# Long lists with mostly distinct lines and a few popular ones, near the 200-line border.
MIXED = st.lists(
    st.one_of(st.integers(0, 400).map(lambda i: f"line {i}\n"), st.sampled_from(["\n", "}\n"])),
    min_size=180,
    max_size=260,
)


@settings(max_examples=300, deadline=None)
@given(SMALL, SMALL)
def test_small_line_lists(a, b):
    check(a, b)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(FEW, FEW_END, st.just([])), st.one_of(FEW, FEW_END, st.just([])))
def test_long_lists_of_few_lines(a, b):
    check(a, b)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(MIXED, MIXED)
def test_long_lists_near_the_autojunk_border(a, b):
    check(a, b)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(MIXED, st.data())
def test_edited_copies(a, data):
    # A copy with a few lines changed, inserted and removed: the common case of an edit.
    b = list(a)
    for _ in range(data.draw(st.integers(0, 8))):
        op = data.draw(st.sampled_from(["set", "insert", "delete"]))
        if op == "insert" or not b:
            b.insert(data.draw(st.integers(0, len(b))), data.draw(LINE))
        elif op == "set":
            b[data.draw(st.integers(0, len(b) - 1))] = data.draw(LINE)
        else:
            del b[data.draw(st.integers(0, len(b) - 1))]
    check(a, b)


@pytest.mark.parametrize(
    "a, b",
    [
        ([], []),
        ([], ["x\n"]),
        (["x\n"], []),
        (["x"], ["x\n"]),
        (["x\n"], ["x"]),
        (["same\n"] * 5, ["same\n"] * 5),
        (list("abcd"), list("bcde")),
        ([f"{i}\n" for i in range(1, 40)], [f"{i}\n" for i in range(1, 40) if i % 9]),
        # b of 199 lines keeps its repeated line; of 200 lines it drops it as popular.
        (["p\n"] * 50 + ["u\n"], ["p\n"] * 149 + ["u\n"] + ["p\n"] * 49),
        (["p\n"] * 50 + ["u\n"], ["p\n"] * 150 + ["u\n"] + ["p\n"] * 49),
        (
            ["q\n"] * 3 + [f"{i}\n" for i in range(300)],
            [f"{i}\n" for i in range(300)] + ["q\n"] * 4,
        ),
    ],
    ids=[
        "both-empty",
        "insert-into-empty",
        "delete-all",
        "missing-line-end-old",
        "missing-line-end-new",
        "equal",
        "shifted",
        "scattered-deletions",
        "b-of-199-lines",
        "b-of-200-lines",
        "popular-at-the-edges",
    ],
)
def test_cases(a, b):
    check(a, b)


def test_names_and_non_ascii_lines():
    check(
        ["\u00e9t\u00e9\n", "\U0001f600\n"],
        ["\u00e9t\u00e9\n", "\u2028\n"],
        "a/\u00fc.txt",
        "b/x y",
    )
