"""Every action with every argument replaced by each JSON type and by huge values.

Each request must give a result record, or the TypeError (ValueError, OverflowError) that the
argument checks raise; the worker process must end with status 1 and no reply on such a request,
never die by a signal, and nothing outside the scratch directory may change.
"""

import json
import os
import subprocess
import sys

import pytest

from talmek.workers import scrivel

# Parameter kinds as the operations declare them.
ACTIONS = {
    "read": {"path": "text", "start_line": "int_or_none", "end_line": "int_or_none"},
    "write": {"path": "text", "content": "text", "create_dirs": "truth"},
    "append": {"path": "text", "content": "text"},
    "edit": {"path": "text", "edits": "list"},
    "delete": {"path": "text"},
    "move": {"src": "text", "dst": "text"},
    "copy": {"src": "text", "dst": "text"},
    "mkdir": {"path": "text"},
    "list": {"path": "text", "recursive": "truth", "pattern": "text_or_none"},
    "find": {"path": "text", "pattern": "text", "max_results": "int"},
    "grep": {
        "path": "text",
        "regex": "text",
        "file_pattern": "text",
        "max_results": "int",
        "context_lines": "int",
    },
    "diff": {"file_a": "text", "file_b": "text"},
}

# Well-formed requests that stay inside the scratch directory.
BASE = {
    "read": {"path": "f.txt"},
    "write": {"path": "w.txt", "content": "x"},
    "append": {"path": "a.txt", "content": "x"},
    "edit": {"path": "f.txt", "edits": [{"find": "hello", "replace": "hello"}]},
    "delete": {"path": "gone.txt"},
    "move": {"src": "m.txt", "dst": "m2.txt"},
    "copy": {"src": "f.txt", "dst": "c.txt"},
    "mkdir": {"path": "d/e"},
    "list": {"path": "."},
    "find": {"path": ".", "pattern": "*.txt"},
    "grep": {"path": ".", "regex": "hel+o"},
    "diff": {"file_a": "f.txt", "file_b": "f.txt"},
}

DEPTH = 200_000


def deep_list():
    x = []
    for _ in range(DEPTH):
        x = [x]
    return x


VALUES = {
    "null": None,
    "true": True,
    "zero": 0,
    "float": 1.5,
    "empty": "",
    "list": [],
    "dict": {},
    "int_10e30": 10**30,
    "float_1e308": 1e308,
}
HUGE = {"str_10MB": "x" * 10_000_000, "deep_200k": None}


def accepted(kind, value):
    number = isinstance(value, (bool, int, float))
    return {
        "text": isinstance(value, str),
        "text_or_none": value is None or isinstance(value, str),
        "int_or_none": value is None or number,
        "int": number,
        "truth": True,
        "list": isinstance(value, list),
    }[kind]


def cases(values):
    for action, params in ACTIONS.items():
        for param, kind in params.items():
            for name in values:
                yield pytest.param(action, param, kind, name, id=f"{action}-{param}-{name}")


def value_of(name):
    if name == "deep_200k":
        return deep_list()
    return VALUES[name] if name in VALUES else HUGE[name]


def encode(value_name, request):
    """The request as one JSON line; the deep value is spliced in as text (json.dumps would recurse)."""  # noqa: E501
    if value_name != "deep_200k":
        return json.dumps(request)
    marker = "__DEEP__"
    line = json.dumps({k: (marker if v == "__DEEP_VALUE__" else v) for k, v in request.items()})
    return line.replace(json.dumps(marker), "[" * DEPTH + "]" * DEPTH)


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_text("keep")
    box = tmp_path / "box"
    box.mkdir()
    (box / "f.txt").write_text("hello\nworld\n")
    (box / "m.txt").write_text("move me")
    monkeypatch.chdir(box)
    before = snapshot(tmp_path, skip=box)
    yield box
    assert snapshot(tmp_path, skip=box) == before, "something outside the scratch directory changed"


def snapshot(root, skip):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        if os.path.abspath(dirpath).startswith(str(skip)):
            continue
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            if p == str(skip):
                continue
            st = os.lstat(p)
            out[p] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return out


def check_record(record):
    assert isinstance(record, dict)
    assert list(record)[0] == "success"  # noqa: RUF015
    assert set(record) in ({"success", "result"}, {"success", "error"})


def run_in_process(action, param, kind, name):
    request = dict(BASE[action], action=action)
    request[param] = value_of(name)
    value = request[param]
    if accepted(kind, value):
        check_record(scrivel.handle_command(request))
    else:
        with pytest.raises((TypeError, ValueError, OverflowError)):
            scrivel.handle_command(request)


@pytest.mark.parametrize(("action", "param", "kind", "name"), list(cases(VALUES)))
def test_handle_command_sweep(scratch, action, param, kind, name):
    run_in_process(action, param, kind, name)


@pytest.mark.parametrize(("action", "param", "kind", "name"), list(cases(HUGE)))
def test_handle_command_huge_values(scratch, action, param, kind, name):
    run_in_process(action, param, kind, name)


def worker(cwd):
    return subprocess.Popen(
        [sys.executable, "-c", "from talmek.workers import scrivel; scrivel.main()"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=cwd,
    )


@pytest.mark.parametrize("action", list(ACTIONS))
def test_worker_process_sweep(scratch, action):
    """Accepted variants go to one long-lived worker; each contract break to a worker of its own."""
    accepted_lines, broken = [], []
    for param, kind in ACTIONS[action].items():
        for name in list(VALUES) + list(HUGE):
            request = dict(BASE[action], action=action)
            request[param] = "__DEEP_VALUE__" if name == "deep_200k" else value_of(name)
            value = [] if name == "deep_200k" else request[param]
            line = encode(name, request)
            (accepted_lines if accepted(kind, value) else broken).append((param, name, line))

    proc = worker(scratch)
    payload = "".join(line + "\n" for _, _, line in accepted_lines).encode()
    out, err = proc.communicate(payload, timeout=120)
    assert proc.returncode == 0, err.decode(errors="replace")[-2000:]
    replies = out.decode("ascii").splitlines()
    assert len(replies) == len(accepted_lines)
    for reply in replies:
        check_record(json.loads(reply))

    # One contract break per parameter kind is enough to see the process path end cleanly.
    seen = set()
    for param, name, line in broken:
        key = (ACTIONS[action][param], name)
        if key in seen:
            continue
        seen.add(key)
        proc = worker(scratch)
        out, err = proc.communicate((line + "\n" + '{"action": "quit"}\n').encode(), timeout=120)
        assert proc.returncode == 1, (param, name, proc.returncode, err[-500:])
        assert out == b"", (param, name)
        assert err.strip(), (param, name)
