"""The Windows path rules of the worker, compared with CPython's own ntpath and PureWindowsPath.

Both are pure Python and run on any system, so the native port (platform/ntpath.cpp, which the
Windows build resolves and sorts paths with) is checked here against them for any text.
"""

import ntpath
from pathlib import PureWindowsPath

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from talmek.workers import scrivel

# Path-ish texts: separators of both kinds, drive letters, dots, tildes, "?" and "." for the
# device forms, a few letters of other scripts. U+0130 and the capital sigma are left out: their
# str.lower() depends on more than the one code point (see fold_case).
ALPHABET = st.sampled_from(list("\\/\\/:.~?aAbZz é ßΣΩжЖ") + ["UNC", "C:", "..", "\\\\?\\", "//"])
texts = st.lists(ALPHABET, max_size=12).map("".join)
names = st.text(
    alphabet=st.characters(
        blacklist_characters="\x00\u0130\u03a3\u03c2", blacklist_categories=["Cs"]
    ),
    max_size=8,
)


@settings(max_examples=400)
@given(texts)
def test_splitroot_normpath_and_str_match_ntpath(p):
    assert scrivel._ntpath_splitroot(p) == ntpath.splitroot(p)
    assert scrivel._ntpath_normpath(p) == ntpath.normpath(p)
    assert scrivel._ntpath_normalize(p) == str(PureWindowsPath(p))


@settings(max_examples=300)
@given(texts)
def test_parent_and_name_match_pure_windows_path(p):
    s = str(PureWindowsPath(p))
    assert scrivel._ntpath_parent(s) == str(PureWindowsPath(s).parent)
    assert scrivel._ntpath_name(s) == PureWindowsPath(s).name


@settings(max_examples=300)
@given(st.lists(names, max_size=4).map("\\".join))
def test_normcase_matches_ntpath(p):
    # ntpath.normcase off Windows: separators made "\\", then str.lower().
    assert scrivel._ntpath_normcase(p) == ntpath.normcase(p)


@settings(max_examples=200)
@given(st.lists(st.lists(names, min_size=1, max_size=3).map("\\".join), max_size=8))
def test_sorting_matches_pure_windows_path(paths):
    import functools

    def cmp(a, b):
        return (
            -1 if scrivel._ntpath_path_less(a, b) else (1 if scrivel._ntpath_path_less(b, a) else 0)
        )

    paths = [str(PureWindowsPath(p)) for p in paths]  # the worker sorts paths in their str() form
    ours = sorted(paths, key=functools.cmp_to_key(cmp))
    theirs = sorted(paths, key=PureWindowsPath)
    # Equal keys (paths that differ only in case) may come in either order.
    assert [PureWindowsPath(p) for p in ours] == [PureWindowsPath(p) for p in theirs]


def test_listing_order_is_case_folded():
    # The listing example for Windows: a.txt, B.txt, c (upper case does not sort first), and a
    # directory directly followed by what is below it.
    assert sorted(["c", "B.txt", "a.txt", "a-b", "a\\x"], key=PureWindowsPath) == [
        "a\\x",
        "a-b",
        "a.txt",
        "B.txt",
        "c",
    ]
    assert scrivel._ntpath_path_less("a\\x", "a-b") and scrivel._ntpath_path_less("a.txt", "B.txt")
    assert not scrivel._ntpath_path_less("B.txt", "a.txt")


ENVIRONS = [
    {"USERPROFILE": "C:\\Users\\ada", "USERNAME": "ada"},
    {"USERPROFILE": "C:\\Users\\ada\\", "USERNAME": "ada"},
    {"HOMEDRIVE": "D:", "HOMEPATH": "\\home\\ada", "USERNAME": "ada"},
    {"HOMEPATH": "\\home\\ada"},
    {"USERPROFILE": "C:\\Profiles\\x", "USERNAME": "ada"},  # not named after its user
    {"USERNAME": "ada"},  # no home at all
    {},
]
TILDES = ["~", "~/x", "~\\x\\y", "~ada", "~bob\\docs", "~bob/", "x/~", "C:~", "~/../z"]


@pytest.mark.parametrize("environ", ENVIRONS, ids=range(len(ENVIRONS)))
@pytest.mark.parametrize("path", TILDES)
def test_expanduser_matches_pathlib(monkeypatch, environ, path):
    for key in ("USERPROFILE", "HOMEDRIVE", "HOMEPATH", "USERNAME"):
        monkeypatch.delenv(key, raising=False)
    for key, value in environ.items():
        monkeypatch.setenv(key, value)
    try:
        expected = str(PureWindowsPath(_pure_expanduser(path)))
    except RuntimeError:
        expected = None
    assert scrivel._ntpath_expand_user(path, dict(environ)) == expected


def _pure_expanduser(path):
    """Path.expanduser() of a PureWindowsPath, as pathlib does it with ntpath.expanduser."""
    p = PureWindowsPath(path)
    parts = p.parts
    if p.drive or p.root or not parts or not parts[0].startswith("~"):
        return p
    home = ntpath.expanduser(parts[0])
    if home.startswith("~"):
        raise RuntimeError("Could not determine home directory.")
    return PureWindowsPath(home, *parts[1:])


REFUSED = [
    ("file.txt:stream", "alternate data stream"),
    ("dir\\a:b\\c", "alternate data stream"),
    ("NUL", "reserved device name"),
    ("sub/con.txt", "reserved device name"),
    ("nul .txt", "reserved device name"),
    ("COM1", "reserved device name"),
    ("lpt\u00b9", "reserved device name"),
    ("CONIN$", "reserved device name"),
    ("trail.", "ends with a dot or a space"),
    ("trail ", "ends with a dot or a space"),
    ("dir./x", "ends with a dot or a space"),
]
ACCEPTED = [
    "C:\\x\\file.txt",
    "..\\x",
    ".\\x",
    "COM0",
    "CONSOLE",
    "nullish",
    "\\\\?\\C:\\x\\NUL",
    "\\\\?\\C:\\trail.",
    "C:relative",
    "a.b.c",
    "\\\\srv\\share\\x",
]


@pytest.mark.parametrize("path,why", REFUSED)
def test_names_the_system_would_rewrite_are_refused(path, why):
    assert why in scrivel._ntpath_refusal(path)
    # Every one of them is also reserved by ntpath's own test.
    assert ntpath.isreserved(str(PureWindowsPath(path)))


@pytest.mark.parametrize("path", ACCEPTED)
def test_ordinary_and_device_form_names_pass(path):
    assert scrivel._ntpath_refusal(path) is None


@settings(max_examples=300)
@given(
    st.lists(
        names.filter(lambda n: not set(n) & set('*?"<>|/\\') and all(c >= " " for c in n)),
        min_size=1,
        max_size=3,
    ).map("\\".join)
)
def test_refusal_agrees_with_isreserved_where_only_our_reasons_apply(p):
    # ntpath.isreserved also flags wildcards and control characters, which the system refuses by
    # itself ([WinError 123]); for other names both tests agree.
    assert (scrivel._ntpath_refusal(p) is not None) == ntpath.isreserved(p)
