"""The agent's tools confined to roots (Steerix(..., roots=[...])).

The editor tool follows the worker's rules: a path whose resolved form lies outside every root is
refused and nothing is touched, and its file calls are made beneath the roots. The shell tool
cannot check a command line: its commands run in a Landlock domain that lets them write only
inside the roots, so a write elsewhere gets the system's refusal in the command's output.
"""

import asyncio
import ctypes
import os
import time

import pytest

from support.agents import FastSteerix
from support.filesystems import names_swapped, snapshot

OUTSIDE = "Path outside the allowed directories: "


def landlock_abi():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    abi = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return abi if abi > 0 else 0


needs_landlock = pytest.mark.skipif(not landlock_abi(), reason="this kernel has no Landlock")


@pytest.fixture
def tree(tmp_path, monkeypatch):
    base = tmp_path / "base"
    root, evil, out = base / "root", base / "root_evil", base / "out"
    for d in (root / "sub", evil, out):
        d.mkdir(parents=True)
    (root / "a.txt").write_text("one\ntwo\n")
    (out / "s.txt").write_text("secret\n")
    (evil / "s.txt").write_text("secret evil\n")
    (root / "abs").symlink_to(out)
    (root / "rel").symlink_to("../out")
    (root / "flink").symlink_to(out / "s.txt")
    (root / "c1").symlink_to("c2")
    (root / "c2").symlink_to("../out/s.txt")
    (root / "dangling").symlink_to(out / "new.txt")
    monkeypatch.chdir(root)
    return base


def agent(executor, *roots):
    return FastSteerix("k", executor=executor, roots=[str(r) for r in roots])


def run(coro):
    return asyncio.run(coro)


EDITOR_ESCAPES = [
    ("sibling-prefix", {"command": "view", "path": "@/root_evil/s.txt"}),
    ("dotdot", {"command": "view", "path": "../out/s.txt"}),
    ("dotdot-inner", {"command": "view", "path": "sub/../../out/s.txt"}),
    ("abs-link", {"command": "view", "path": "abs/s.txt"}),
    ("rel-link-create", {"command": "create", "path": "rel/x.txt", "file_text": "pwned"}),
    (
        "file-link-replace",
        {"command": "str_replace", "path": "flink", "old_str": "secret", "new_str": "pwned"},
    ),
    ("chain-insert", {"command": "insert", "path": "c1", "insert_line": 0, "new_str": "pwned"}),
    ("dangling-create", {"command": "create", "path": "dangling", "file_text": "pwned"}),
    ("new-dirs-through-link", {"command": "create", "path": "abs/d1/d2/x.txt", "file_text": "x"}),
    ("absolute", {"command": "create", "path": "@/out/new.txt", "file_text": "pwned"}),
    ("tilde", {"command": "view", "path": "~/.profile"}),
]


@pytest.mark.parametrize("case, tool_input", EDITOR_ESCAPES, ids=[c for c, _ in EDITOR_ESCAPES])
def test_editor_escapes_are_refused(executor, tree, case, tool_input):
    tool_input = {
        k: v.replace("@", str(tree)) if isinstance(v, str) else v for k, v in tool_input.items()
    }
    before = snapshot(tree / "out", tree / "root_evil")
    outcome = run(agent(executor, tree / "root")._execute_text_editor(tool_input))
    assert outcome == {"type": "error", "error": OUTSIDE + tool_input["path"]}
    assert snapshot(tree / "out", tree / "root_evil") == before


def test_editor_inside_works_and_undo_touches_nothing(executor, tree):
    a = agent(executor, tree / "root")
    assert run(
        a._execute_text_editor({"command": "create", "path": "sub/n/m.txt", "file_text": "x\n"})
    ) == {"type": "text", "text": "Created sub/n/m.txt"}
    assert (
        run(
            a._execute_text_editor(
                {"command": "str_replace", "path": "a.txt", "old_str": "one", "new_str": "1"}
            )
        )["type"]
        == "text"
    )
    assert run(a._execute_text_editor({"command": "view", "path": "a.txt"}))["text"].endswith(
        "   1 | 1\n   2 | two"
    )
    # undo_edit (where the model's editor has it) and unknown commands do nothing with the path.
    for command in ("undo_edit", "nope"):
        outcome = run(a._execute_text_editor({"command": command, "path": "/etc"}))
        assert not outcome.get("error", "").startswith(OUTSIDE)


def test_roots_are_checked_when_the_agent_is_made(executor, tree):
    with pytest.raises(ValueError):
        FastSteerix("k", executor=executor, roots=[])
    with pytest.raises(FileNotFoundError):
        FastSteerix("k", executor=executor, roots=[str(tree / "missing")])
    with pytest.raises(TypeError):  # keyword-only
        FastSteerix("k", "claude-sonnet-4-6", executor, 50, None, [str(tree)])
    link = tree / "rootlink"
    link.symlink_to(tree / "root")
    a = FastSteerix("k", executor=executor, roots=[link])
    assert a._roots == (str(tree / "root"),)
    assert not hasattr(FastSteerix("k", executor=executor), "_roots")


def test_editor_with_a_link_swapped_in_mid_call(executor, tree):
    root, out = tree / "root", tree / "out"
    (root / "sw").mkdir()
    (root / "sw" / "s.txt").write_text("inside\n")
    (root / "swlink").symlink_to(out)
    before = snapshot(out)
    a = agent(executor, root)
    seen = {"text": 0, "error": 0}
    with names_swapped(root / "sw", root / "swlink"):
        deadline = time.monotonic() + 15
        for _ in range(800):
            if time.monotonic() > deadline:
                break
            for tool_input in (
                {"command": "view", "path": "sw/s.txt"},
                {"command": "create", "path": "sw/w.txt", "file_text": "x"},
                {"command": "insert", "path": "sw/s.txt", "new_str": "y"},
            ):
                outcome = run(a._execute_text_editor(tool_input))
                assert "secret" not in str(outcome)
                seen[outcome["type"]] += 1
    assert snapshot(out) == before
    assert seen["text"] > 0 and seen["error"] > 0, seen


@needs_landlock
@pytest.mark.parametrize(
    "command, shows",
    [
        ("echo no > @/out/y.txt", "Permission denied"),
        ("touch @/root_evil/t", "Permission denied"),
        ("cat @/out/s.txt", "Permission denied"),
        ("ls @/out", "Permission denied"),
        ("cd / && mkdir @/out/d", "Permission denied"),
        ("ln -s /etc @/out/l", "Permission denied"),
        ("mv @/root/a.txt @/out/a.txt", "Permission denied"),
        ("cat @/root/abs/s.txt", "Permission denied"),  # a link inside that leads out
    ],
)
def test_shell_commands_cannot_reach_outside_their_roots(executor, tree, command, shows):
    before = snapshot(tree / "out", tree / "root_evil")
    outcome = run(
        agent(executor, tree / "root")._execute_bash({"command": command.replace("@", str(tree))})
    )
    assert outcome["type"] == "text" and shows in outcome["text"], outcome
    assert "(exit code: " in outcome["text"]
    assert snapshot(tree / "out", tree / "root_evil") == before
    assert (tree / "root" / "a.txt").exists()


@needs_landlock
@pytest.mark.skipif(
    bool(os.environ.get("TALMEK_SANITIZED")),
    reason="programs with the preloaded sanitizer runtime need /proc, which the "
    "shell's domain does not grant, and end with status 1",
)
def test_shell_commands_work_inside_their_roots(executor, tree):
    a = agent(executor, tree / "root")
    cmd = (
        f"cd {tree / 'root'} && echo hi > b.txt && mkdir -p d/e && mv b.txt d/e/ && "
        "cat d/e/b.txt && sh -c 'echo sub' && head -c 0 /etc/passwd && ls /usr/bin >/dev/null "
        "&& echo fine"
    )
    assert run(a._execute_bash({"command": cmd})) == {"type": "text", "text": "hi\nsub\nfine\n"}
    # Unconfined agents are as before.
    free = FastSteerix("k", executor=executor)
    outcome = run(free._execute_bash({"command": f"cat {tree / 'out' / 's.txt'}"}))
    assert outcome["text"] == "secret\n"


@needs_landlock
def test_a_shell_command_does_not_keep_the_agent_from_going_on(executor, tree):
    # The refusal is the command's outcome; the agent and its own process stay unconfined.
    a = agent(executor, tree / "root")
    run(a._execute_bash({"command": f"echo x > {tree / 'out' / 'x'}"}))
    (tree / "out" / "after.txt").write_text("the agent's process is not confined\n")
    assert run(a._execute_bash({"command": "echo still here"}))["text"] == "still here\n"
