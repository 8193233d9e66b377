"""Whole tasks through the real `anthropic` package, against the local fake Messages API server."""

import sys

import pytest
from support.agents import FastSteerix
from support.executors import RecordingExecutor
from support.fake_messages_server import (COMPUTER_USE_BETA, FakeMessagesServer, check_request,
                                          error, message, text_block, tool_use_block)
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


async def test_whole_task(server):
    server.script += [
        message(text_block("Let me look."),
                tool_use_block("toolu_1", "computer", {"action": "screenshot"}),
                tool_use_block("toolu_2", "computer", {"action": "left_click", "coordinate": [10, 20]})),
        message(tool_use_block("toolu_3", "mystery", {"x": 1})),
        message(text_block("Finished.")),
    ]
    executor = RecordingExecutor([
        {"type": "image", "media_type": "image/png", "base64": "iVBORw0KGgo="},
        {"type": "error", "error": "click missed"},
    ])
    agent = FastSteerix("sk-test-key", executor=executor)
    events = await collect(agent.run_task("check the screen"))

    assert server.problems == []
    assert kinds(events) == ["thinking", "iteration", "text", "tool_call", "tool_result",
                             "tool_call", "tool_result", "iteration", "tool_call", "tool_result",
                             "iteration", "text", "done"]
    assert events[3].data == {"id": "toolu_1", "tool": "computer", "input": {"action": "screenshot"}}
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
        {"role": "assistant", "content": [
            {"type": "text", "text": "Let me look."},
            {"type": "tool_use", "id": "toolu_1", "name": "computer", "input": {"action": "screenshot"}},
            {"type": "tool_use", "id": "toolu_2", "name": "computer",
             "input": {"action": "left_click", "coordinate": [10, 20]}},
        ]},
        {"role": "user", "content": [
            {"type": "tool_result", "tool_use_id": "toolu_1", "content": [
                {"type": "image", "source": {"type": "base64", "media_type": "image/png",
                                             "data": "iVBORw0KGgo="}}]},
            {"type": "tool_result", "tool_use_id": "toolu_2", "content": "click missed",
             "is_error": True},
        ]},
    ]
    assert server.bodies[2]["messages"][-1] == {"role": "user", "content": [
        {"type": "tool_result", "tool_use_id": "toolu_3", "content": "Unknown tool: mystery",
         "is_error": True}]}
    assert agent._messages == server.bodies[2]["messages"]


@pytest.mark.parametrize("status, kind", [(400, "invalid_request_error"),
                                          (401, "authentication_error"),
                                          (404, "not_found_error")])
async def test_api_errors_end_the_task(server, status, kind):
    server.script += [message(tool_use_block("t1", "computer", {"action": "screenshot"})),
                      error(status, "the fake says no", kind)]
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

    server.script += [message(tool_use_block("t1", "computer", {"action": "screenshot"})),
                      message(text_block("unreachable"))]
    events = await collect(Forgetful("k", executor=RecordingExecutor()).run_task("t"))
    assert events[-1].type == "error"
    assert "without `tool_result` blocks immediately after: someone-else" in events[-1].data["message"]
    assert server.problems and "someone-else" in server.problems[0]


@pytest.mark.parametrize("headers, body, problem", [
    ({}, {"model": "m", "max_tokens": 1, "messages": [{"role": "user", "content": "x"}]},
     "missing beta header"),
    ({"anthropic-beta": COMPUTER_USE_BETA}, {"model": "m", "messages": [{"role": "user", "content": "x"}]},
     "missing key 'max_tokens'"),
    ({"anthropic-beta": COMPUTER_USE_BETA}, {"model": "m", "max_tokens": 1, "messages": []},
     "non-empty list"),
    ({"anthropic-beta": f"other, {COMPUTER_USE_BETA}"},
     {"model": "m", "max_tokens": 1, "messages": [{"role": "assistant", "content": "x"}]},
     "end with a user turn"),
], ids=["beta", "max_tokens", "empty", "last-turn"])
async def test_server_request_checks(headers, body, problem):
    problems = check_request(headers, body, COMPUTER_USE_BETA)
    assert any(problem in p for p in problems), problems


async def test_task_with_the_shell_and_editor_tools(server, tmp_path):
    target = tmp_path / "notes" / "todo.txt"
    server.script += [
        message(tool_use_block("t1", "str_replace_editor",
                               {"command": "create", "path": str(target), "file_text": "buy milk\n"}),
                tool_use_block("t2", "bash", {"command": f"cat {target}"})),
        message(tool_use_block("t3", "str_replace_editor", {"command": "view", "path": str(target)})),
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
    assert [b["content"] for b in server.bodies[1]["messages"][-1]["content"]] == \
        [f"Created {target}", "buy milk\n"]
