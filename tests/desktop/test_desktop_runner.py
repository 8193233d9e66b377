"""The talmek-agent runner: its output, its demo end to end, Ctrl-C, and the fake API."""

from __future__ import annotations

import base64
import importlib
import io
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from PIL import Image

from talmek.agent_cli import describe_call, describe_result, format_event
from talmek.demo.fake_api import FakeAPIError, FakeMessagesServer, message


def _agent_missing() -> str | None:
    try:
        module = importlib.import_module("talmek.core.steerix")
    except ImportError as exc:
        return f"talmek.core.steerix.Steerix is not available yet ({exc})"
    if not hasattr(module, "Steerix"):
        return "talmek.core.steerix has no Steerix class yet"
    return None


needs_agent = pytest.mark.skipif(_agent_missing() is not None, reason=str(_agent_missing()))
RUNNER = [sys.executable, "-m", "talmek.agent_cli"]


def run_cli(args, env_changes, timeout=60):
    env = dict(os.environ)
    for key, value in env_changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.run(
        RUNNER + args, capture_output=True, text=True, env=env, timeout=timeout, check=False
    )


# ---- what a person reads -----------------------------------------------------------------


class Event:
    def __init__(self, type, data):
        self.type, self.data = type, data


@pytest.mark.parametrize(
    "tool, tool_input, line",
    [
        ("computer", {"action": "screenshot"}, "computer: screenshot"),
        (
            "computer",
            {"action": "left_click", "coordinate": [10, 20]},
            "computer: left_click at (10, 20)",
        ),
        ("computer", {"action": "type", "text": "héllo\n"}, 'computer: type "héllo\\\\n"'),
        ("computer", {"action": "key", "text": "ctrl+s"}, "computer: key [ctrl+s]"),
        (
            "computer",
            {"action": "left_click_drag", "start_coordinate": [1, 2], "coordinate": [3, 4]},
            "computer: left_click_drag from (1, 2) to (3, 4)",
        ),
        (
            "computer",
            {
                "action": "scroll",
                "coordinate": [5, 6],
                "scroll_direction": "down",
                "scroll_amount": 3,
            },
            "computer: scroll down 3 at (5, 6)",
        ),
        ("bash", {"command": "ls -l"}, "bash: $ ls -l"),
        ("str_replace_editor", {"command": "view", "path": "/tmp/x"}, "editor: view /tmp/x"),
        (
            "str_replace_based_edit_tool",
            {"command": "insert", "path": "/tmp/x", "insert_line": 2, "insert_text": "y"},
            "editor: insert /tmp/x at line 2",
        ),
        (
            "computer",
            {"action": "zoom", "region": [0, 0, 64, 40]},
            "computer: zoom on [0, 0, 64, 40]",
        ),
        ("mystery", {"a": 1}, 'mystery: {"a": 1}'),
    ],
)
def test_tool_calls_are_one_readable_line(tool, tool_input, line):
    assert describe_call(tool, tool_input) == line


@pytest.mark.parametrize(
    "member, tool_input, line",
    [
        ("left_click", {"coordinate": [3, 4]}, "computer: left_click at (3, 4)"),
        ("screenshot", {}, "computer: screenshot"),
        ("key", {"text": "Return", "repeat": 3}, "computer: key [Return] 3 times"),
    ],
)
def test_toolset_member_calls_read_like_computer_actions(member, tool_input, line):
    assert describe_call(member, tool_input, "computer") == line


@pytest.mark.parametrize(
    "result, lines",
    [
        ({"type": "error", "error": "File not found: x"}, ["error: File not found: x"]),
        ({"type": "error"}, ["error: Unknown error"]),
        ({"type": "text", "text": "a\nb"}, ["a", "b"]),
        (
            {"type": "text", "text": "\n".join(f"l{i}" for i in range(10))},
            [f"l{i}" for i in range(6)] + ["… (4 more lines)"],
        ),
    ],
)
def test_tool_results_are_summarised(result, lines):
    assert describe_result(result) == lines


@pytest.mark.parametrize(
    "fmt, media, options",
    [
        ("PNG", "image/png", {}),
        ("WEBP", "image/webp", {"quality": 85}),
        ("WEBP", "image/webp", {"lossless": True}),
        ("JPEG", "image/jpeg", {"quality": 80}),
    ],
)
@pytest.mark.parametrize("size", [(1280, 800), (317, 45)])
def test_screenshots_are_noted_by_size(fmt, media, options, size):
    out = io.BytesIO()
    Image.effect_noise(size, 40).convert("RGB").save(out, format=fmt, **options)
    data = base64.b64encode(out.getvalue()).decode()
    kilobytes = round(len(out.getvalue()) / 1024)
    assert describe_result({"type": "image", "media_type": media, "base64": data}) == [
        f"screenshot: {size[0]}x{size[1]} {media.split('/')[1].upper()}, {kilobytes} KB"
    ]


def test_events_read_as_plain_words():
    assert format_event(Event("done", {"iterations": 3, "message": "Task completed"})) == [
        "✔ Task completed after 3 step(s)."
    ]
    assert format_event(Event("error", {"message": "API error: boom"})) == [
        "✖ Error: API error: boom"
    ]
    assert format_event(Event("text", {"content": "two\nlines"})) == [
        "Claude: two",
        "        lines",
    ]
    assert format_event(Event("text", {"content": "a\nb", "source": "thinking"})) == [
        "Claude (notes): a",
        "                b",
    ]


# ---- command line ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, env, status, words",
    [
        ([], {}, 2, "give the task in plain words"),
        (["do it"], {"ANTHROPIC_API_KEY": None}, 2, "set ANTHROPIC_API_KEY"),
        (["--demo"], {"DISPLAY": None}, 2, "xvfb-run -a talmek-agent --demo"),
        (["--max-iterations", "0", "x"], {}, 2, "at least 1"),
    ],
    ids=["no-task", "no-key", "demo-without-display", "bad-limit"],
)
def test_usage_mistakes_are_explained(args, env, status, words):
    done = run_cli(args, env)
    assert done.returncode == status
    assert words in done.stdout + done.stderr


def test_the_console_script_is_installed():
    assert (Path(sys.executable).parent / "talmek-agent").exists()


# ---- the fake Messages API ---------------------------------------------------------------


def test_fake_api_serves_the_real_client():
    anthropic = pytest.importorskip("anthropic")

    def reply(request):
        if request["messages"][-1]["content"] == "fail":
            raise FakeAPIError("scripted failure")
        return message([{"type": "text", "text": f"model was {request['model']}"}])

    with FakeMessagesServer(reply) as server:
        client = anthropic.Anthropic(api_key="k", base_url=server.url, max_retries=0)
        response = client.beta.messages.create(
            model="claude-sonnet-4-5",
            max_tokens=10,
            messages=[{"role": "user", "content": "hi"}],
            betas=["computer-use-2025-01-24"],
        )
        assert [(b.type, b.text) for b in response.content] == [
            ("text", "model was claude-sonnet-4-5")
        ]
        with pytest.raises(anthropic.APIError, match="scripted failure"):
            client.beta.messages.create(
                model="claude-sonnet-4-5",
                max_tokens=10,
                messages=[{"role": "user", "content": "fail"}],
            )
        # As the live service does, it refuses models it does not have.
        with pytest.raises(anthropic.NotFoundError, match="model: m"):
            client.beta.messages.create(
                model="m", max_tokens=10, messages=[{"role": "user", "content": "hi"}]
            )
        assert [r["messages"][-1]["content"] for r in server.requests] == ["hi", "fail"]


# ---- whole runs (need the native agent) --------------------------------------------------


@needs_agent
def test_a_task_runs_against_the_api_and_prints_its_events(xvfb):
    def reply(request):
        return message([{"type": "text", "text": "Nothing to do here."}])

    with FakeMessagesServer(reply) as server:
        done = run_cli(
            ["say hello", "--model", "claude-haiku-4-5", "--max-iterations", "3"],
            {"ANTHROPIC_API_KEY": "k", "ANTHROPIC_BASE_URL": server.url, "NO_PROXY": "127.0.0.1"},
        )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Starting task: say hello",
        "── step 1 of 3 ──",
        "Claude: Nothing to do here.",
        "✔ Task completed after 1 step(s).",
    ]
    assert server.requests[0]["model"] == "claude-haiku-4-5"


@needs_agent
def test_a_failed_request_is_reported_in_plain_words(xvfb):
    def reply(request):
        raise FakeAPIError("the request is malformed")

    with FakeMessagesServer(reply) as server:
        done = run_cli(
            ["say hello"],
            {"ANTHROPIC_API_KEY": "k", "ANTHROPIC_BASE_URL": server.url, "NO_PROXY": "127.0.0.1"},
        )
    assert done.returncode == 1
    last = done.stdout.splitlines()[-1]
    assert last.startswith("✖ Error: ") and "the request is malformed" in last


@needs_agent
@pytest.mark.slow
@pytest.mark.parametrize("model", [None, "claude-opus-5-5"], ids=["default", "toolset"])
def test_the_demo_runs_end_to_end(xvfb, model):
    done = run_cli(["--demo", *(["--model", model] if model else [])], {"ANTHROPIC_API_KEY": None})
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    # The default model says what it does in text; a thinking model in its thinking notes.
    said = "Claude (notes): " if model else "Claude: "
    for line in [
        "  → computer: screenshot",
        "  ← screenshot: 1280x800 WEBP",
        "  → computer: left_click at",
        '  → computer: type "Hello from talmek! Grüße ✓"',
        "  → bash: $ printf",
        "  → editor: view ",
        "  → editor: str_replace ",
        "  → computer: zoom on [",
        "✔ Task completed after 9 step(s).",
        f"{said}I can see the demo window. I'll click into it.",
        "  [ok] the demo window received",
    ]:
        assert line in out
    assert "FAILED" not in out


@needs_agent
def test_ctrl_c_stops_the_agent_with_the_cancelled_event(xvfb):
    process = subprocess.Popen(
        RUNNER + ["--demo"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    # A watchdog instead of timeouts on each read: a hung runner must not hang the suite.
    watchdog = threading.Timer(60, process.kill)
    watchdog.start()
    seen = []
    try:
        for line in process.stdout:
            seen.append(line)
            if "→ computer: left_click" in line:
                break
        process.send_signal(signal.SIGINT)
        out, err = process.communicate()
    finally:
        watchdog.cancel()
        if process.poll() is None:
            process.kill()
            process.wait()
    seen += out.splitlines(keepends=True)
    assert process.returncode == 130, "".join(seen) + err
    assert "✖ Task cancelled by user." in "".join(seen)
    # The click under way still finished and was reported; nothing after it ran.
    assert any("← Clicked the left button" in line for line in seen)
    assert not any("→ computer: type" in line for line in seen)
