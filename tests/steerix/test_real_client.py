"""Whole tasks through the real `anthropic` package, against the local fake Messages API server."""

import gc
import sys
import warnings

import pytest

from support.agents import FastSteerix
from support.executors import SCREENSHOT, RecordingExecutor, VersionedExecutor
from support.fake_messages_server import (
    COMPUTER_USE_BETA,
    FakeMessagesServer,
    check_request,
    error,
    message,
    text_block,
    tool_use_block,
)
from support.streams import collect, kinds

pytestmark = pytest.mark.asyncio


@pytest.fixture
def real_anthropic(monkeypatch):
    """Makes sure the installed package is used, whatever other tests put in sys.modules."""
    monkeypatch.delitem(sys.modules, "anthropic", raising=False)
    monkeypatch.delenv("ANTHROPIC_API_KEY", raising=False)
    monkeypatch.delenv("ANTHROPIC_AUTH_TOKEN", raising=False)


@pytest.fixture
def server(monkeypatch, real_anthropic):
    with FakeMessagesServer() as srv:
        monkeypatch.setenv("ANTHROPIC_BASE_URL", srv.base_url)
        yield srv
    # Each task makes its own client, which nobody closes: its connection is dropped when the
    # client is collected, with a ResourceWarning. Collect here, so that the warning does not
    # land in whichever later test happens to run the collector.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        gc.collect()


async def test_whole_task(server):
    server.script += [
        message(
            text_block("Let me look."),
            tool_use_block("toolu_1", "computer", {"action": "screenshot"}),
            tool_use_block("toolu_2", "computer", {"action": "left_click", "coordinate": [10, 20]}),
        ),
        message(tool_use_block("toolu_3", "mystery", {"x": 1})),
        message(text_block("Finished.")),
    ]
    executor = RecordingExecutor(
        [
            {"type": "image", "media_type": "image/png", "base64": "iVBORw0KGgo="},
            {"type": "error", "error": "click missed"},
        ]
    )
    agent = FastSteerix("sk-test-key", executor=executor)
    events = await collect(agent.run_task("check the screen"))

    assert server.problems == []
    assert kinds(events) == [
        "thinking",
        "iteration",
        "text",
        "tool_call",
        "tool_result",
        "tool_call",
        "tool_result",
        "iteration",
        "tool_call",
        "tool_result",
        "iteration",
        "text",
        "done",
    ]
    assert events[3].data == {
        "id": "toolu_1",
        "tool": "computer",
        "input": {"action": "screenshot"},
    }
    assert events[9].data["result"] == {"type": "error", "error": "Unknown tool: mystery"}
    assert events[-1].data == {"iterations": 3, "message": "Task completed"}
    assert executor.calls == [("screenshot", {}), ("left_click", {"coordinate": [10, 20]})]

    assert len(server.requests) == 3
    for req in server.requests:
        assert req.path.startswith("/v1/messages")
        assert COMPUTER_USE_BETA in req.headers["anthropic-beta"]
        key = req.headers.get("x-api-key") or req.headers["authorization"].removeprefix("Bearer ")
        assert key == "sk-test-key"
        body = req.body
        assert body["model"] == "claude-sonnet-4-6"
        assert body["max_tokens"] == 4096
        assert body["system"] == agent._build_system_prompt()
        assert body["tools"] == agent.get_tool_definitions()
    assert server.bodies[0]["messages"] == [{"role": "user", "content": "check the screen"}]
    assert server.bodies[1]["messages"][1:] == [
        {
            "role": "assistant",
            "content": [
                {"type": "text", "text": "Let me look."},
                {
                    "type": "tool_use",
                    "id": "toolu_1",
                    "name": "computer",
                    "input": {"action": "screenshot"},
                },
                {
                    "type": "tool_use",
                    "id": "toolu_2",
                    "name": "computer",
                    "input": {"action": "left_click", "coordinate": [10, 20]},
                },
            ],
        },
        {
            "role": "user",
            "content": [
                {
                    "type": "tool_result",
                    "tool_use_id": "toolu_1",
                    "content": [
                        {
                            "type": "image",
                            "source": {
                                "type": "base64",
                                "media_type": "image/png",
                                "data": "iVBORw0KGgo=",
                            },
                        }
                    ],
                },
                {
                    "type": "tool_result",
                    "tool_use_id": "toolu_2",
                    "content": "click missed",
                    "is_error": True,
                },
            ],
        },
    ]
    assert server.bodies[2]["messages"][-1] == {
        "role": "user",
        "content": [
            {
                "type": "tool_result",
                "tool_use_id": "toolu_3",
                "content": "Unknown tool: mystery",
                "is_error": True,
            }
        ],
    }
    assert agent._messages == server.bodies[2]["messages"]


@pytest.mark.parametrize(
    "status, kind",
    [(400, "invalid_request_error"), (401, "authentication_error"), (404, "not_found_error")],
)
async def test_api_errors_end_the_task(server, status, kind):
    server.script += [
        message(tool_use_block("t1", "computer", {"action": "screenshot"})),
        error(status, "the fake says no", kind),
    ]
    agent = FastSteerix("k", executor=RecordingExecutor())
    events = await collect(agent.run_task("t"))
    assert kinds(events)[-2:] == ["iteration", "error"]
    assert events[-1].data["message"].startswith("API error: ")
    assert "the fake says no" in events[-1].data["message"]
    assert agent.iteration_count == 2


async def test_server_rejects_a_history_that_does_not_answer_the_tool_calls(server):
    class Forgetful(FastSteerix):
        def _serialize_block(self, block):
            d = super()._serialize_block(block)
            if d["type"] == "tool_use":
                d["id"] = "someone-else"
            return d

    server.script += [
        message(tool_use_block("t1", "computer", {"action": "screenshot"})),
        message(text_block("unreachable")),
    ]
    events = await collect(Forgetful("k", executor=RecordingExecutor()).run_task("t"))
    assert events[-1].type == "error"
    assert (
        "without `tool_result` blocks immediately after: someone-else" in events[-1].data["message"]
    )
    assert server.problems and "someone-else" in server.problems[0]


@pytest.mark.parametrize(
    "headers, body, problem",
    [
        (
            {},
            {"model": "m", "max_tokens": 1, "messages": [{"role": "user", "content": "x"}]},
            "missing beta header",
        ),
        (
            {"anthropic-beta": COMPUTER_USE_BETA},
            {"model": "m", "messages": [{"role": "user", "content": "x"}]},
            "missing key 'max_tokens'",
        ),
        (
            {"anthropic-beta": COMPUTER_USE_BETA},
            {"model": "m", "max_tokens": 1, "messages": []},
            "non-empty list",
        ),
        (
            {"anthropic-beta": f"other, {COMPUTER_USE_BETA}"},
            {"model": "m", "max_tokens": 1, "messages": [{"role": "assistant", "content": "x"}]},
            "end with a user turn",
        ),
    ],
    ids=["beta", "max_tokens", "empty", "last-turn"],
)
async def test_server_request_checks(headers, body, problem):
    problems = check_request(headers, body, COMPUTER_USE_BETA)
    assert any(problem in p for p in problems), problems


async def test_task_with_the_shell_and_editor_tools(server, tmp_path):
    target = tmp_path / "notes" / "todo.txt"
    server.script += [
        message(
            tool_use_block(
                "t1",
                "str_replace_editor",
                {"command": "create", "path": str(target), "file_text": "buy milk\n"},
            ),
            tool_use_block("t2", "bash", {"command": f"cat {target}"}),
        ),
        message(
            tool_use_block("t3", "str_replace_editor", {"command": "view", "path": str(target)})
        ),
        message(text_block("Noted.")),
    ]
    events = await collect(FastSteerix("k", executor=RecordingExecutor()).run_task("note it"))
    assert server.problems == []
    results = [e.data["result"] for e in events if e.type == "tool_result"]
    assert results == [
        {"type": "text", "text": f"Created {target}"},
        {"type": "text", "text": "buy milk\n"},
        {"type": "text", "text": f"Contents of {target}:\n   1 | buy milk"},
    ]
    assert target.read_text() == "buy milk\n"
    assert [b["content"] for b in server.bodies[1]["messages"][-1]["content"]] == [
        f"Created {target}",
        "buy milk\n",
    ]


# ---------------------------------------------------------------------------------------------
# One model of each row of the tool table, and each 5.5 model, end to end

ROWS = [
    # model, computer tool type, beta flag, editor name, thinks by default
    (
        "claude-3-7-sonnet-20250219",
        "computer_20250124",
        "computer-use-2025-01-24",
        "str_replace_editor",
        False,
    ),
    (
        "claude-sonnet-4-5-20250929",
        "computer_20250124",
        "computer-use-2025-01-24",
        "str_replace_based_edit_tool",
        False,
    ),
    (None, "computer_20251124", "computer-use-2025-11-24", "str_replace_based_edit_tool", False),
    ("claude-sonnet-5-5", "computer_toolset_20260801", None, "str_replace_based_edit_tool", True),
    ("claude-opus-5-5", "computer_toolset_20260801", None, "str_replace_based_edit_tool", True),
    ("claude-haiku-5-5", "computer_toolset_20260801", None, "str_replace_based_edit_tool", True),
]


def scripted_task(path):
    """Screenshot, click, create and insert with the editor, a shell command; in the single
    computer tool's form, which the fake shapes for the model of each request."""
    return [
        message(
            text_block("Let me look at the screen."),
            tool_use_block("t1", "computer", {"action": "screenshot"}),
        ),
        message(
            text_block("I'll click the field."),
            tool_use_block("t2", "computer", {"action": "left_click", "coordinate": [10, 20]}),
        ),
        message(
            tool_use_block(
                "t3",
                "editor",
                {"command": "create", "path": str(path), "file_text": "one\nthree\n"},
            )
        ),
        message(
            text_block("Adding the missing line."),
            tool_use_block(
                "t4",
                "editor",
                {"command": "insert", "path": str(path), "insert_line": 1, "new_str": "two"},
            ),
            tool_use_block("t5", "bash", {"command": f"cat {path}"}),
        ),
        message(text_block("The file now counts to three.")),
    ]


@pytest.mark.parametrize("executor_kind", ["versioned", "host"])
@pytest.mark.parametrize(
    "model, computer, beta, editor, thinks", ROWS, ids=[r[0] or "default" for r in ROWS]
)
async def test_each_row_of_the_table_end_to_end(
    server, tmp_path, model, computer, beta, editor, thinks, executor_kind
):
    target = tmp_path / "count.txt"
    server.script += scripted_task(target)
    executor = (
        VersionedExecutor()
        if executor_kind == "versioned"
        else RecordingExecutor([dict(SCREENSHOT)])
    )
    agent = FastSteerix("k", executor=executor, **({"model": model} if model else {}))
    events = await collect(agent.run_task("count to three in a file"))

    assert server.problems == [], server.problems
    assert events[-1].data == {"iterations": 5, "message": "Task completed"}
    assert [c[0] for c in executor.calls] == ["screenshot", "left_click"]
    assert executor.calls[1][1] == {"coordinate": [10, 20]}
    assert target.read_text() == "one\ntwo\nthree\n"
    results = [e.data["result"] for e in events if e.type == "tool_result"]
    assert all(r["type"] != "error" for r in results), results
    assert results[-1] == {"type": "text", "text": "one\ntwo\nthree\n"}

    for req in server.requests:
        body = req.body
        assert body["model"] == (model or "claude-sonnet-4-6")
        assert [t["type"] for t in body["tools"]] == [
            computer,
            "bash_20250124",
            body["tools"][2]["type"],
        ]
        assert body["tools"][2]["name"] == editor
        flags = req.headers.get("anthropic-beta", "")
        assert (beta in flags) if beta else ("computer-use" not in flags)
        assert body["system"] == agent._build_system_prompt()
        assert ("thinking" in body) == thinks
    calls = [e.data for e in events if e.type == "tool_call"]
    if computer.startswith("computer_toolset"):
        assert [(c["tool"], c.get("toolset")) for c in calls[:2]] == [
            ("screenshot", "computer"),
            ("left_click", "computer"),
        ]
        assert calls[2]["tool"] == editor and "toolset" not in calls[2]
    else:
        assert [c["tool"] for c in calls] == ["computer", "computer", editor, editor, "bash"]
    notes = [e.data for e in events if e.type == "text"]
    if thinks:
        # The notes between tool calls come in the thinking, summarised on request.
        assert notes[:2] == [
            {"content": "Let me look at the screen.", "source": "thinking"},
            {"content": "I'll click the field.", "source": "thinking"},
        ]
        assert notes[-1] == {"content": "The file now counts to three."}
        history = agent._messages
        assert history[1]["content"][0]["type"] == "thinking"
        assert history[1]["content"][0]["signature"]
    else:
        assert notes == [
            {"content": t}
            for t in (
                "Let me look at the screen.",
                "I'll click the field.",
                "Adding the missing line.",
                "The file now counts to three.",
            )
        ]


@pytest.mark.parametrize(
    "model, pin, words",
    [
        (
            "claude-opus-5-5",
            "computer_20251124",
            "'claude-opus-5-5' does not support tool types: computer_20251124. Did you mean one of "
            "bash_20250124, computer_toolset_20260801, text_editor_20250728, web_search_20250305?",
        ),
        (
            "claude-sonnet-4-5",
            "computer_20250124_legacy",
            "'claude-sonnet-4-5' does not support tool types: text_editor_20250124.",
        ),
        (
            "claude-3-7-sonnet-latest",
            "computer_toolset_20260801",
            "does not support tool types: computer_toolset_20260801, text_editor_20250728.",
        ),
    ],
    ids=["toolset-model", "claude-4", "legacy"],
)
async def test_a_set_the_model_refuses_ends_the_task_as_the_service_words_it(
    server, model, pin, words
):
    agent = FastSteerix("k", model=model, executor=VersionedExecutor(), tool_set=pin)
    events = await collect(agent.run_task("t"))
    assert events[-1].type == "error"
    assert events[-1].data["message"].startswith("API error: 400 ")
    assert words in events[-1].data["message"]
    assert "type: invalid_request_error" in events[-1].data["message"]


def tamper(kind):
    """An agent whose history breaks one rule of sending thinking and toolset calls back."""

    class Tampering(FastSteerix):
        def _serialize_block(self, block):
            d = super()._serialize_block(block)
            if kind == "strip-thinking" and d["type"] == "thinking":
                return {"type": "thinking"}  # what keeping only the type sends
            if kind == "change-thinking" and d["type"] == "thinking":
                d["thinking"] += " (edited)"
            if kind == "drop-toolset-name" and d["type"] == "tool_use":
                d.pop("toolset_name", None)
            return d

    return Tampering


@pytest.mark.parametrize(
    "kind, words",
    [
        ("strip-thinking", "messages.1.content.0.thinking.signature: Field required"),
        (
            "change-thinking",
            "messages.1.content.0: Invalid `signature` in `thinking` block. The "
            "block is bound to a different conversation.",
        ),
        ("drop-toolset-name", 'must carry "toolset_name": "computer"'),
    ],
    ids=lambda v: v if " " not in v else None,
)
async def test_the_service_refuses_a_history_that_changed_what_it_returned(server, kind, words):
    server.script += [
        message(text_block("Looking."), tool_use_block("t1", "computer", {"action": "screenshot"})),
        message(text_block("unreachable")),
    ]
    agent = tamper(kind)("k", model="claude-sonnet-5-5", executor=VersionedExecutor())
    events = await collect(agent.run_task("t"))
    assert events[-1].type == "error" and words in events[-1].data["message"], events[-1].data


async def test_changing_an_earlier_message_invalidates_the_thinking_after_it(server):
    server.script += [
        message(tool_use_block("t1", "computer", {"action": "screenshot"})),
        message(tool_use_block("t2", "computer", {"action": "screenshot"})),
        message(text_block("unreachable")),
    ]
    agent = FastSteerix("k", model="claude-opus-5-5", executor=VersionedExecutor())
    events = []
    async for event in agent.run_task("look twice"):
        events.append(event)
        if event.type == "tool_result" and event.data["id"] == "t2":
            agent._messages[0]["content"] = "look three times"  # rewriting history
    assert events[-1].type == "error"
    assert (
        "messages.1.content.0: Invalid `signature` in `thinking` block"
        in events[-1].data["message"]
    )


async def test_dropping_the_thinking_block_of_a_turn_is_refused(server):
    class Dropping(FastSteerix):
        def _serialize_block(self, block):
            d = super()._serialize_block(block)
            return {"type": "text", "text": "(thinking left out)"} if d["type"] == "thinking" else d

    server.script += [
        message(tool_use_block("t1", "computer", {"action": "screenshot"})),
        message(text_block("unreachable")),
    ]
    events = await collect(
        Dropping("k", model="claude-haiku-5-5", executor=VersionedExecutor()).run_task("t")
    )
    assert (
        "Expected `thinking` or `redacted_thinking`, but found `tool_use`"
        in events[-1].data["message"]
    )
