"""The shared text machinery against the CPython functions it reproduces."""

from hypothesis import example, given, settings
from hypothesis import strategies as st

from talmek.workers import scrivel

# Every code point class that matters: line boundaries, Unicode white space, surrogates,
# non-printables, quotes, astral characters.
SPECIAL = list("\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029 \t\xa0\u1680\u2000\u200a\u202f\u205f\u3000")
SPECIAL += [
    "\x00",
    "\x7f",
    "\xad",
    "\ud800",
    "\udcff",
    "'",
    '"',
    "\\",
    "é",
    "\U0001f600",
    "\U000e0001",
]
texts = st.text(st.sampled_from(SPECIAL) | st.characters(codec=None, exclude_categories=()))


@settings(max_examples=500)
@given(texts, st.booleans())
@example("a\r\nb\rc\n\nd\x85e\u2028", True)
def test_splitlines(text, keepends):
    assert scrivel._splitlines(text, keepends) == text.splitlines(keepends)


@settings(max_examples=500)
@given(texts)
@example(" \u3000x\u2029 ")
def test_strip(text):
    assert scrivel._strip(text) == text.strip()


@settings(max_examples=500)
@given(texts)
@example("it's")
@example('it\'s "x"')
def test_repr(text):
    assert scrivel._py_repr(text) == repr(text)


@settings(max_examples=1000)
@given(
    st.binary(max_size=40)
    | st.lists(
        st.sampled_from(
            [
                b"\xc3\xa9",
                b"\xe2\x82",
                b"\xf0\x9f\x98",
                b"\xed\xa0\x80",
                b"\xf4\x90\x80\x80",
                b"\x80",
                b"\xc0\xaf",
                b"\xe0\x80\xaf",
                b"\r",
                b"a",
                b"\xf5",
                b"\xff",
            ]
        ),
        max_size=12,
    ).map(b"".join)
)
def test_decode_replace(data):
    assert scrivel._decode_replace(data) == data.decode("utf-8", "replace")
