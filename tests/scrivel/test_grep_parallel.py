"""grep on several threads answers what the serial search answers, byte for byte.

Two workers serve the same requests: one forced onto the serial loop (TALMEK_SCRIVEL_THREADS=1)
and one forced onto four threads that work from the first file on. Random trees mix matching
and non-matching files, files that cannot be read (denied, which is skipped; /proc/self/mem,
whose read fails with EIO and ends the search), links and patterns that give up on one line
(the backtracking limit), and every limit from below one to past the last match.
"""

import json
import os
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from tests.conftest import Worker

from talmek.workers import scrivel

from .test_grep import ref_grep

# Where a file's read fails with an error other than denied access, deterministically.
FAILING_FILE = "/proc/self/mem"


def without_dac_override():
    """A command prefix that takes away root's override of file modes, so that a file of mode 0
    is denied to the worker as to any user; empty when we are not root (or lack setpriv)."""
    setpriv = shutil.which("setpriv")
    if os.geteuid() != 0 or not setpriv:
        return []
    caps = "-dac_override,-dac_read_search"
    return [setpriv, f"--bounding-set={caps}", f"--inh-caps={caps}"]


@pytest.fixture(scope="module")
def pair():
    """(serial worker, parallel worker, scratch directory, whether this process sees files as
    the workers do)."""
    d = tempfile.mkdtemp(prefix="scrivel-par-")
    prefix = without_dac_override()
    workers = [
        Worker(d, env=dict(os.environ, TALMEK_SCRIVEL_THREADS=n), prefix=prefix) for n in ("1", "4")
    ]
    yield workers[0], workers[1], Path(d), not prefix
    for w in workers:
        status, _, err = w.finish()
        assert status == 0, err
    shutil.rmtree(d, ignore_errors=True)


def both(pair, request):
    """The raw reply lines of both workers to one request; they must be equal."""
    serial, parallel = pair[0], pair[1]
    line = json.dumps(request)
    serial.send(line)
    parallel.send(line)
    a, b = serial.reply_line(), parallel.reply_line()
    assert a == b, request
    return a


# ---------------------------------------------------------------------------------------------
# Random trees

LINES = st.sampled_from(
    [
        "needle",
        "a needle here",
        "hay",
        "",
        "needle needle",
        "x = 1",
        "caf\u00e9 needle",
        "a",
        "aa",
        "\u2028",
        "tab\tneedle",
        "NEEDLE",
        "ne",
        "edle",
    ]
)
TEXTS = st.lists(LINES, max_size=12).map(lambda ls: "\n".join(ls).encode()) | st.binary(max_size=40)
BOMB = b"a\na\n" + b"a" * 40 + b"b\na\n"  # "(a+)+$" matches "a" and gives up on the long line

ENTRY = st.one_of(
    st.tuples(st.just("file"), TEXTS),
    st.tuples(st.just("denied"), TEXTS),
    st.tuples(st.just("failing"), st.just(b"")),
    st.tuples(st.just("bomb"), st.just(BOMB)),
    st.tuples(st.just("link"), st.just(b"")),
)
NAMES = st.sampled_from(["a", "b", "c.txt", "d.py", ".h", "e f", "g\u00e9"])
PLACES = st.lists(NAMES, min_size=1, max_size=3)
TREES = st.lists(st.tuples(PLACES, ENTRY), max_size=40).map(
    lambda es: (
        [e for e in es if e[1][0] not in ("failing", "bomb")]
        + [e for e in es if e[1][0] in ("failing", "bomb")][:2]
    )
)

REGEXES = ["needle", "ne+dle", "^needle", r"\bneedle\b", "", "(?i)needle", "a", "(a+)+$", "e$"]
LIMITS = st.one_of(st.integers(-1, 14), st.just(10**6))


def build(root, tree):
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir()
    made = []
    for k, (place, (kind, data)) in enumerate(tree):
        p = root.joinpath(*place[:-1]) / f"{place[-1]}{k}"
        try:
            p.parent.mkdir(parents=True, exist_ok=True)
        except FileExistsError, NotADirectoryError:
            continue  # a file already holds the name of a directory on this path
        if kind == "failing":
            p.symlink_to(FAILING_FILE)
        elif kind == "link":
            if made:
                target = made[k % len(made)]
                p.symlink_to(target.parent if k % 3 == 0 else target)
            continue
        else:
            p.write_bytes(data)
            if kind == "denied":
                p.chmod(0)
        made.append(p)


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    tree=TREES,
    regex=st.sampled_from(REGEXES),
    limit=LIMITS,
    context=st.sampled_from([0, 1, 2, -1, 100]),
    file_pattern=st.sampled_from(["*", "*.txt", "a/*"]),
)
def test_parallel_search_answers_the_serial_reply(pair, tree, regex, limit, context, file_pattern):
    root = pair[2] / "t"
    build(root, tree)
    line = both(
        pair,
        {
            "action": "grep",
            "path": str(root),
            "regex": regex,
            "file_pattern": file_pattern,
            "max_results": limit,
            "context_lines": context,
        },
    )
    # The module function gives the same record (its list is taken back from wire form), and
    # where nothing fails, so does the Python reference.
    if pair[3]:
        assert json.loads(line) == scrivel.grep_files(
            str(root), regex, file_pattern, limit, context
        )
    if pair[3] and all(kind in ("file", "link") for _, (kind, _) in tree):
        assert json.loads(line) == ref_grep(root, regex, file_pattern, limit, context)


# ---------------------------------------------------------------------------------------------
# A larger tree, cut at many points


@pytest.fixture(scope="module")
def wide_tree(pair):
    root = pair[2] / "wide"
    root.mkdir()
    for d in range(12):
        sub = root / f"d{d}" / f"e{d % 3}"
        sub.mkdir(parents=True)
        for f in range(40):
            lines = [
                f"line {i} {'needle' if (i * 7 + f + d) % 23 == 0 else 'hay'}"
                for i in range(60 + f)
            ]
            (sub / f"f{f}.txt").write_text("\n".join(lines) + "\n")
    (root / "d3" / "locked.txt").write_text("needle\n")
    (root / "d3" / "locked.txt").chmod(0)
    return root


def test_cut_points_over_a_wide_tree(pair, wide_tree):
    full = json.loads(
        both(
            pair,
            {
                "action": "grep",
                "path": str(wide_tree),
                "regex": "needle",
                "max_results": 10**9,
                "context_lines": 2,
            },
        )
    )
    total = full["result"]["count"]
    assert total > 500
    for limit in (1, 2, 39, total // 3, total // 2, total - 1, total, total + 1):
        got = json.loads(
            both(
                pair,
                {
                    "action": "grep",
                    "path": str(wide_tree),
                    "regex": "needle",
                    "max_results": limit,
                    "context_lines": 2,
                },
            )
        )
        assert got["result"]["matches"] == full["result"]["matches"][:limit]


def test_a_failure_after_the_limit_is_never_reported(pair, wide_tree):
    link = wide_tree / "d7" / "e1" / "zz-failing"
    link.symlink_to(FAILING_FILE)
    try:
        # The matches that come before the failing file in walk order (rglob's order).
        before = 0
        for p in wide_tree.rglob("*"):
            if p == link:
                break
            if (
                p.is_file()
                and os.access(p, os.R_OK, effective_ids=False)
                and p.stat().st_mode & 0o444
            ):
                before += sum("needle" in line for line in p.read_text().splitlines())
        assert before > 0
        for limit, ok in ((1, True), (before, True), (before + 1, False), (10**6, False)):
            got = json.loads(
                both(
                    pair,
                    {
                        "action": "grep",
                        "path": str(wide_tree),
                        "regex": "needle",
                        "max_results": limit,
                    },
                )
            )
            assert got["success"] is ok, limit
            if ok:
                assert got["result"]["count"] == limit
            else:
                assert got["error"] == f"[Errno 5] Input/output error: {str(link)!r}"
    finally:
        link.unlink()


@pytest.mark.parametrize("limit,ok", [(1, True), (2, True), (3, True), (4, False), (10, False)])
def test_backtracking_limit_counts_only_before_the_limit(pair, limit, ok):
    # One match in the top directory's file, then the file whose third line gives up: the
    # limit decides whether the search ever gets to that line.
    root = pair[2] / "bomb"
    shutil.rmtree(root, ignore_errors=True)
    (root / "sub").mkdir(parents=True)
    (root / "first.txt").write_bytes(b"a\n")
    (root / "sub" / "bomb.txt").write_bytes(BOMB)
    got = json.loads(
        both(pair, {"action": "grep", "path": str(root), "regex": "(a+)+$", "max_results": limit})
    )
    assert got["success"] is ok
    if ok:
        assert got["result"]["count"] == limit
    else:
        assert "backtracking limit" in got["error"]
