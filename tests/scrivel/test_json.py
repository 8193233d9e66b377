"""The worker's JSON codec against CPython's json.loads and json.dumps."""

import json
import math

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from talmek.workers import scrivel


def outcome(loads, text):
    """What decoding `text` gives: the value's repr, or the error's class and details."""
    try:
        return ("ok", repr(loads(text)))
    except json.JSONDecodeError as e:
        return ("JSONDecodeError", str(e), e.msg, e.pos, e.lineno, e.colno)
    except ValueError as e:
        return ("ValueError", str(e))


def assert_same(text):
    assert outcome(scrivel._json_loads, text) == outcome(json.loads, text)


# --- decoding: valid documents ----------------------------------------------------------------

any_text = st.text(st.characters(codec=None, exclude_categories=()), max_size=12)
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(10**80), max_value=10**80)
    | st.floats(allow_nan=True, allow_infinity=True)
    | any_text
)
documents = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(any_text, inner, max_size=5),
    max_leaves=25,
)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(documents, st.booleans(), st.sampled_from([None, 0, 2]), st.sampled_from([None, (",", ":")]))
def test_valid_documents_decode_as_json_loads(doc, ascii_only, indent, separators):
    assert_same(json.dumps(doc, ensure_ascii=ascii_only, indent=indent, separators=separators))


@pytest.mark.parametrize(
    "text",
    [
        '{"a": 1, "a": 2, "b": 3}',  # last value wins, first position kept
        "{" + ", ".join(f'"k{i % 40}": {i}' for i in range(200)) + "}",  # many duplicates
        "NaN",
        "Infinity",
        "-Infinity",
        "[NaN, -Infinity]",
        "1e400",
        "-1e400",
        "1e-400",
        "5e-324",
        "2.2250738585072011e-308",
        "0.1",
        "-0.0",
        "1E+2",
        "9223372036854775807",
        "9223372036854775808",
        "-9223372036854775808",
        "-9223372036854775809",
        "1" * 4300,
        "-" + "1" * 4300,
        r'"\ud800"',
        r'"\udc00\ud800"',
        r'"\ud83d\ude00"',
        r'"\ud800\u0041"',
        r'"\ud800\ud800\udc00"',
        r'"\/\b\f\n\r\t\"\\"',
        r'"\u00E9\u00e9"',
        '"\x7f\u2028é"',
        " \t\n\r[ 1 , { } , [ ] ]\r\n ",
    ],
)
def test_accepted_language(text):
    assert_same(text)


# --- decoding: faults -------------------------------------------------------------------------

FAULTS = [
    # (text, expected message with position) -- a few spelled out, the rest compared to CPython
    ("", "Expecting value: line 1 column 1 (char 0)"),
    ("[1,]", "Illegal trailing comma before end of array: line 1 column 3 (char 2)"),
    ('{"a": 1,}', "Illegal trailing comma before end of object: line 1 column 8 (char 7)"),
    ('{"a" 1}', "Expecting ':' delimiter: line 1 column 6 (char 5)"),
    ("[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)"),
    ('"ab', "Unterminated string starting at: line 1 column 1 (char 0)"),
    ('"a\x01"', "Invalid control character at: line 1 column 3 (char 2)"),
    (r'"\x"', "Invalid \\escape: line 1 column 2 (char 1)"),
    (r'"\u12g4"', "Invalid \\uXXXX escape: line 1 column 3 (char 2)"),
    ("{} {}", "Extra data: line 1 column 4 (char 3)"),
    ("\ufeff{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"),
    ("[\n1,\n]", "Illegal trailing comma before end of array: line 2 column 2 (char 3)"),
    ('"é\x02"', "Invalid control character at: line 1 column 3 (char 2)"),
]


@pytest.mark.parametrize("text,message", FAULTS, ids=[repr(t) for t, _ in FAULTS])
def test_fault_messages(text, message):
    with pytest.raises(json.JSONDecodeError) as info:
        scrivel._json_loads(text)
    assert str(info.value) == message
    assert_same(text)


@pytest.mark.parametrize(
    "text",
    [
        "{",
        "[",
        "{1: 2}",
        '{"a":',
        '{"a": }',
        "-",
        "-a",
        "--1",
        "1.",
        ".5",
        "01",
        "1e",
        "1e+",
        "1E-x",
        "nul",
        "tru",
        "fals",
        "Nan",
        "-Inf",
        "Infinit",
        "[-]",
        '"\\',
        r'"\u12',
        r'"\u1234',
        r'"\ud800\u',
        r'"\ud800\udc0"',
        r'"\ud800\uzzzz"',
        r'"\ud800\udc00',
        "[1]x",
        "1 2",
        '{"a":1 "b":2}',
        "[,1]",
        "{,}",
        "[1,,2]",
        "\x00",
        "[\x00]",
        '"\x1f"',
        '"\t"',
        "\u00a01",
        "[" * 50 + "]" * 49,
        "{" * 10,
        '{"a":[{"b":[1,2,}]}]}',
    ],
)
def test_faults_match_cpython(text):
    assert_same(text)


JSON_ALPHABET = st.sampled_from(
    list('{}[]",:0123456789-+.eEtrufalsnNIiy \t\n\r\\/bu') + ["é", "\x01", "\u2028", "\ud800", "😀"]
)


@settings(max_examples=1500)
@given(st.text(JSON_ALPHABET, max_size=24))
def test_arbitrary_text_decodes_or_fails_as_json_loads(text):
    assert_same(text)


@settings(max_examples=500, suppress_health_check=[HealthCheck.too_slow])
@given(documents, st.data())
def test_damaged_documents_fail_as_json_loads(doc, data):
    text = json.dumps(doc, ensure_ascii=False)
    at = data.draw(st.integers(0, len(text)))
    cut = data.draw(st.integers(0, 3))
    insert = data.draw(st.text(JSON_ALPHABET, max_size=2))
    assert_same(text[:at] + insert + text[at + cut :])


@pytest.mark.parametrize("digits", [4300, 4301, 10000])
@pytest.mark.parametrize("sign", ["", "-"])
def test_integer_digit_limit(digits, sign):
    text = f"[0, {sign}{'7' * digits}, oops"
    assert outcome(scrivel._json_loads, text) == outcome(json.loads, text)


def test_deep_nesting_decodes_without_recursion():
    # Far deeper than CPython's own decoder goes; the hook refuses to build Python objects that
    # deep, but the decoding itself (and a fault at the bottom) must not touch the C stack.
    depth = 300_000
    with pytest.raises(json.JSONDecodeError) as info:
        scrivel._json_loads("[" * depth + "}")
    assert info.value.pos == depth
    assert scrivel._json_loads("[" * 500 + "]" * 500) == json.loads("[" * 500 + "]" * 500)


# --- encoding ---------------------------------------------------------------------------------


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(documents)
@example({"content": '\x00\x1f\x7f\x80\u2028\U0010ffff\ud800\udfff/"\\', "n": 10**40})
@example([1e16, 1e-5, 0.1, -0.0, 1.5e300, 5e-324, math.inf, -math.inf, math.nan])
def test_encoding_equals_json_dumps(doc):
    assert scrivel._json_dumps(doc) == json.dumps(doc)


@pytest.mark.parametrize("doc", [{}, [], [[]], {"a": {}}, {"": [None, True, False]}], ids=repr)
def test_encoding_of_empty_containers(doc):
    assert scrivel._json_dumps(doc) == json.dumps(doc)


PIECES = st.sampled_from(
    [
        "a",
        "plain text ",
        "\n",
        "\t",
        '"',
        "\\",
        "/",
        "\x00",
        "\x1f",
        "\x7f",
        "é",
        "\u2028",
        "😀",
        "\ud800",
        "~",
        " ",
        "x" * 17,
    ]
)


@settings(max_examples=400)
@given(st.lists(PIECES, max_size=60).map("".join))
def test_encoding_of_long_strings(text):
    # Long enough for the block-at-a-time paths, with every kind of escape at every offset.
    assert scrivel._json_dumps(text) == json.dumps(text)
    assert scrivel._json_loads(json.dumps(text)) == text
