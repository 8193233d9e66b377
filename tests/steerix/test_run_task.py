"""The task loop against the fake `anthropic` package: events, history, requests, endings."""

import asyncio
import sys

import pytest

from support.agents import FastSteerix
from support.executors import COMPUTER_TOOL, RecordingExecutor
from support.fake_anthropic import APIError, response, text, tool_use
from support.streams import collect, kinds
from talmek.core.steerix import ComputerUseEvent, Steerix

pytestmark = pytest.mark.asyncio

MISSING = (
    "The 'anthropic' package is required for computer use. Install it with: pip install anthropic"
)


@pytest.fixture
def pauses(monkeypatch):
    """Records the delay of every pause the loop takes (asyncio.sleep is looked up per pause)."""
    seen = []
    real_sleep = asyncio.sleep

    def sleep(delay, *args):
        seen.append(delay)
        return real_sleep(0, *args)

    monkeypatch.setattr(asyncio, "sleep", sleep)
    return seen


async def test_text_only_response(agent, fake):
    fake.script.append(response(text("All done")))
    events = await collect(agent.run_task("open the editor"))
    assert [(e.type, e.data) for e in events] == [
        ("thinking", {"message": "Starting task: open the editor"}),
        ("iteration", {"number": 1, "max": 50}),
        ("text", {"content": "All done"}),
        ("done", {"iterations": 1, "message": "Task completed"}),
    ]
    assert all(type(e) is ComputerUseEvent for e in events)
    assert [list(e.data) for e in events] == [
        ["message"],
        ["number", "max"],
        ["content"],
        ["iterations", "message"],
    ]
    assert agent._messages == [{"role": "user", "content": "open the editor"}]
    assert agent.iteration_count == 1
    assert agent.is_running is True
    assert [c.kwargs for c in fake.clients] == [{"api_key": "test-key"}]


async def test_request_arguments(agent, fake, executor):
    fake.script.append(response(text("ok")))
    await collect(agent.run_task("t"))
    (call,) = fake.calls
    assert list(call.kwargs) == ["model", "max_tokens", "system", "tools", "messages", "betas"]
    assert call.kwargs["model"] == "claude-sonnet-4-6"
    assert call.kwargs["max_tokens"] == 4096
    assert call.kwargs["system"] == agent._build_system_prompt()
    assert call.kwargs["tools"] == [
        {**COMPUTER_TOOL, "type": "computer_20251124"},
        {"type": "bash_20250124", "name": "bash"},
        {"type": "text_editor_20250728", "name": "str_replace_based_edit_tool"},
    ]
    assert call.kwargs["messages"] is agent._messages  # the live history itself
    assert call.kwargs["betas"] == ["computer-use-2025-11-24"]
    assert executor.definition_calls == 1


@pytest.mark.parametrize("pin", [None, "computer_20250124_legacy"])
async def test_the_original_request_for_its_models(fake, executor, pin):
    # Claude Sonnet 3.7 (or a pin of its set) gets the request the agent was first written
    # with, to the key: the executor's own definition, the 2025-01-24 editor, its beta flag.
    model = "claude-3-7-sonnet-20250219" if pin is None else "claude-sonnet-4-6"
    agent = FastSteerix("k", model=model, executor=executor, tool_set=pin)
    fake.script.append(response(text("ok")))
    await collect(agent.run_task("t"))
    (call,) = fake.calls
    assert list(call.kwargs) == ["model", "max_tokens", "system", "tools", "messages", "betas"]
    assert call.kwargs["tools"] == [
        COMPUTER_TOOL,
        {"type": "bash_20250124", "name": "bash"},
        {"type": "text_editor_20250124", "name": "str_replace_editor"},
    ]
    assert call.kwargs["betas"] == ["computer-use-2025-01-24"]
    assert len(call.kwargs["system"]) == 1359
    assert "- `str_replace_editor`: View and edit text files\n" in call.kwargs["system"]


async def test_request_of_a_thinking_model(fake, executor):
    # The toolset takes no beta flag; the model is asked for its summarised thinking.
    agent = FastSteerix("k", model="claude-opus-5-5", executor=executor)
    fake.script.append(response(text("ok")))
    await collect(agent.run_task("t"))
    (call,) = fake.calls
    assert list(call.kwargs) == ["model", "max_tokens", "system", "tools", "messages", "thinking"]
    assert call.kwargs["tools"][0] == {
        "type": "computer_toolset_20260801",
        "configs": {"zoom": {"enabled": False}},
    }
    assert call.kwargs["thinking"] == {"type": "adaptive", "display": "summarized"}


async def test_mixed_response(agent, fake, executor, pauses):
    a = tool_use("toolu_A", "computer", {"action": "screenshot"})
    b = tool_use("toolu_B", "computer", {"action": "left_click", "coordinate": [5, 6]})
    fake.script += [response(text("first"), a, text("second"), b), response(text("finished"))]
    executor.outcomes = [{"type": "text", "text": "shot"}, {"type": "text", "text": "clicked"}]
    events = await collect(agent.run_task("go"))
    assert kinds(events) == [
        "thinking",
        "iteration",
        "text",
        "text",
        "tool_call",
        "tool_result",
        "tool_call",
        "tool_result",
        "iteration",
        "text",
        "done",
    ]
    assert events[4].data == {
        "id": "toolu_A",
        "tool": "computer",
        "input": {"action": "screenshot"},
    }
    assert events[4].data["input"] is a.input
    assert events[5].data == {
        "id": "toolu_A",
        "tool": "computer",
        "result": {"type": "text", "text": "shot"},
    }
    assert events[7].data["result"] == {"type": "text", "text": "clicked"}
    assert executor.calls == [("screenshot", {}), ("left_click", {"coordinate": [5, 6]})]
    assert pauses == [0, 0]
    assert events[-1].data == {"iterations": 2, "message": "Task completed"}
    assert agent._messages == [
        {"role": "user", "content": "go"},
        {
            "role": "assistant",
            "content": [
                {"type": "text", "text": "first"},
                {
                    "type": "tool_use",
                    "id": "toolu_A",
                    "name": "computer",
                    "input": {"action": "screenshot"},
                },
                {"type": "text", "text": "second"},
                {
                    "type": "tool_use",
                    "id": "toolu_B",
                    "name": "computer",
                    "input": {"action": "left_click", "coordinate": [5, 6]},
                },
            ],
        },
        {
            "role": "user",
            "content": [
                {"type": "tool_result", "tool_use_id": "toolu_A", "content": "shot"},
                {"type": "tool_result", "tool_use_id": "toolu_B", "content": "clicked"},
            ],
        },
    ]
    # The second request carried the whole history as it stood then.
    assert fake.calls[1].messages_snapshot == agent._messages


async def test_event_is_handed_out_before_the_work_that_follows(agent, fake, executor):
    fake.script += [response(tool_use("t1", "computer", {"action": "a"})), response(text("x"))]
    stream = agent.run_task("t")
    assert fake.calls == [] and agent._running is False  # nothing runs before the first pull
    assert (await anext(stream)).type == "thinking"
    assert fake.clients == []  # the client is created only on the next pull
    assert (await anext(stream)).type == "iteration"
    assert fake.calls == []
    assert (await anext(stream)).type == "tool_call"
    assert executor.calls == []
    assert (await anext(stream)).type == "tool_result"
    assert len(executor.calls) == 1
    await stream.aclose()


@pytest.mark.parametrize(
    "outcome, block",
    [
        (
            {"type": "image", "media_type": "image/png", "base64": "QUJD", "extra": 1},
            {
                "type": "tool_result",
                "tool_use_id": "t1",
                "content": [
                    {
                        "type": "image",
                        "source": {"type": "base64", "media_type": "image/png", "data": "QUJD"},
                    }
                ],
            },
        ),
        (
            {"type": "error", "error": "no display"},
            {"type": "tool_result", "tool_use_id": "t1", "content": "no display", "is_error": True},
        ),
        (
            {"type": "error"},
            {
                "type": "tool_result",
                "tool_use_id": "t1",
                "content": "Unknown error",
                "is_error": True,
            },
        ),
        (
            {"type": "text", "text": "fine", "extra": 2},
            {"type": "tool_result", "tool_use_id": "t1", "content": "fine"},
        ),
        ({"text": "no type"}, {"type": "tool_result", "tool_use_id": "t1", "content": "no type"}),
        (
            {"type": "other", "n": 1},
            {"type": "tool_result", "tool_use_id": "t1", "content": "{'type': 'other', 'n': 1}"},
        ),
        ({}, {"type": "tool_result", "tool_use_id": "t1", "content": "{}"}),
    ],
    ids=["image", "error", "error-without-text", "text", "no-type", "printed-form", "empty"],
)
async def test_tool_result_blocks(agent, fake, executor, outcome, block):
    fake.script += [response(tool_use("t1", "computer", {"action": "x"})), response(text("ok"))]
    executor.outcomes = [outcome]
    events = await collect(agent.run_task("t"))
    assert events[3].data["result"] is outcome
    assert agent._messages[2] == {"role": "user", "content": [block]}
    assert list(agent._messages[2]["content"][0]) == list(block)


async def test_stop_after_tool_call_finishes_the_response_then_cancels(
    agent, fake, executor, pauses
):
    fake.script.append(
        response(
            tool_use("a", "computer", {"action": "one"}),
            tool_use("b", "computer", {"action": "two"}),
        )
    )
    seen = []
    async for event in agent.run_task("t"):
        seen.append(event)
        if event.type == "tool_call" and event.data["id"] == "a":
            agent.stop()
    assert kinds(seen) == [
        "thinking",
        "iteration",
        "tool_call",
        "tool_result",
        "tool_call",
        "tool_result",
        "cancelled",
    ]
    assert seen[-1].data == {"message": "Task cancelled by user"}
    assert [c[0] for c in executor.calls] == ["one", "two"]
    assert pauses == [0, 0]
    assert len(fake.calls) == 1
    assert agent.is_running is False
    assert len(agent._messages) == 3


async def test_stop_before_the_task_starts_is_undone(agent, fake):
    agent.stop()
    fake.script.append(response(text("x")))
    assert kinds(await collect(agent.run_task("t")))[-1] == "done"


async def test_api_error_in_third_iteration(agent, fake):
    fake.script += [
        response(tool_use("t1", "computer", {"action": "a"})),
        response(tool_use("t2", "computer", {"action": "b"})),
        APIError("overloaded"),
    ]
    events = await collect(agent.run_task("t"))
    assert kinds(events)[-2:] == ["iteration", "error"]
    assert events[-2].data == {"number": 3, "max": 50}
    assert events[-1].data == {"message": "API error: overloaded"}
    assert agent.iteration_count == 3
    assert [m["role"] for m in agent._messages] == [
        "user",
        "assistant",
        "user",
        "assistant",
        "user",
    ]
    assert agent.is_running is True


@pytest.mark.parametrize(
    "exc, message",
    [
        (RuntimeError("socket closed"), "Unexpected error: socket closed"),
        (ValueError(), "Unexpected error: "),
        (KeyError("k"), "Unexpected error: 'k'"),
        (APIError("a", "b"), "API error: ('a', 'b')"),
    ],
)
async def test_request_failures_become_error_events(agent, fake, exc, message):
    fake.script.append(exc)
    events = await collect(agent.run_task("t"))
    assert kinds(events) == ["thinking", "iteration", "error"]
    assert events[-1].data == {"message": message}


async def test_api_error_is_looked_up_only_when_a_request_fails(agent, fake):
    del fake.module.APIError
    fake.script.append(response(text("fine")))
    assert kinds(await collect(agent.run_task("t")))[-1] == "done"
    fake.script.append(RuntimeError("boom"))
    with pytest.raises(AttributeError) as info:
        await collect(agent.run_task("t"))
    assert isinstance(info.value.__context__, RuntimeError)


async def test_base_exceptions_of_the_request_escape(agent, fake):
    fake.script.append(KeyboardInterrupt())
    stream = agent.run_task("t")
    assert kinds([await anext(stream), await anext(stream)]) == ["thinking", "iteration"]
    with pytest.raises(KeyboardInterrupt):
        await anext(stream)
    with pytest.raises(StopAsyncIteration):
        await anext(stream)


@pytest.mark.parametrize("limit", [0, -3, False])
async def test_no_iterations(executor, fake, limit):
    agent = FastSteerix("k", executor=executor, max_iterations=limit)
    events = await collect(agent.run_task("t"))
    assert [(e.type, e.data) for e in events] == [
        ("thinking", {"message": "Starting task: t"}),
        (
            "error",
            {"message": f"Reached maximum iterations ({int(limit)}). Task may be incomplete."},
        ),
    ]
    assert len(fake.clients) == 1  # the client is still created first
    assert agent.iteration_count == 0


async def test_iteration_limit_reached(executor, fake):
    agent = FastSteerix("k", executor=executor, max_iterations=2)
    fake.script += [response(tool_use(f"t{i}", "computer", {"action": "a"})) for i in range(2)]
    events = await collect(agent.run_task("t"))
    assert [e.data for e in events if e.type == "iteration"] == [
        {"number": 1, "max": 2},
        {"number": 2, "max": 2},
    ]
    assert events[-1].data == {"message": "Reached maximum iterations (2). Task may be incomplete."}


async def test_limit_is_read_once_but_reported_as_currently_stored(agent, fake):
    agent._max_iterations = 1
    fake.script.append(response(tool_use("t", "computer", {"action": "a"})))
    stream = agent.run_task("t")
    assert (await anext(stream)).type == "thinking"
    assert (await anext(stream)).data == {"number": 1, "max": 1}
    agent._max_iterations = 7
    rest = await collect(stream)
    assert rest[-1].data == {"message": "Reached maximum iterations (7). Task may be incomplete."}


async def test_missing_client_package(agent, monkeypatch):
    monkeypatch.setitem(sys.modules, "anthropic", None)
    events = await collect(agent.run_task("do it"))
    assert [(e.type, e.data) for e in events] == [
        ("thinking", {"message": "Starting task: do it"}),
        ("error", {"message": MISSING}),
    ]
    assert agent._messages == [{"role": "user", "content": "do it"}]


async def test_end_turn_with_tool_use_still_runs_the_tools(agent, fake, executor):
    fake.script += [
        response(tool_use("t", "computer", {"action": "a"}), stop_reason="end_turn"),
        response(text("done"), stop_reason="tool_use"),
    ]
    events = await collect(agent.run_task("t"))
    assert kinds(events)[-1] == "done" and len(executor.calls) == 1


async def test_a_new_task_starts_a_new_history(agent, fake):
    fake.script += [response(text("a")), response(text("b"))]
    await collect(agent.run_task("first"))
    old = agent._messages
    await collect(agent.run_task("second"))
    assert agent._messages is not old
    assert old == [{"role": "user", "content": "first"}]
    assert agent._messages == [{"role": "user", "content": "second"}]
    assert len(fake.clients) == 2  # a client per task


@pytest.mark.parametrize("bad", [b"bytes", None, 3, type("S", (str,), {})("sub")])
async def test_run_task_requires_exact_text(agent, bad):
    with pytest.raises(TypeError):
        agent.run_task(bad)


async def test_subclass_overrides_are_honoured(executor, fake, pauses):
    order = []

    class Custom(Steerix):
        ACTION_DELAY = 0.25

        def get_tool_definitions(self):
            order.append("tools")
            return ["custom-tools"]

        def _build_system_prompt(self):
            order.append("prompt")
            return "custom prompt"

        async def _execute_tool(self, tool_name, tool_input):
            order.append(("tool", tool_name))
            await asyncio.sleep(0)  # a real suspension inside the tool step
            return {"type": "text", "text": f"custom {tool_name}"}

        def _serialize_block(self, block):
            return {"custom": block.type}

    agent = Custom("k", executor=executor)
    fake.script += [response(text("hi"), tool_use("t", "mytool", {})), response(text("bye"))]
    events = await collect(agent.run_task("t"))
    assert order == ["tools", "prompt", ("tool", "mytool")]
    assert fake.calls[0].kwargs["tools"] == ["custom-tools"]
    assert fake.calls[0].kwargs["system"] == "custom prompt"
    assert events[4].data["result"] == {"type": "text", "text": "custom mytool"}
    assert agent._messages[1] == {
        "role": "assistant",
        "content": [{"custom": "text"}, {"custom": "tool_use"}],
    }
    assert pauses == [0, 0.25]  # the tool's own sleep, then the pause
    assert executor.calls == []


async def test_action_delay_shadowed_per_instance(executor, fake, pauses):
    agent = Steerix("k", executor=executor)
    agent.ACTION_DELAY = 0
    fake.script += [response(tool_use("t", "computer", {"action": "a"})), response(text("x"))]
    await collect(agent.run_task("t"))
    assert pauses == [0]
    assert Steerix.ACTION_DELAY == 0.5


async def test_tool_calls_go_through_execute_tool_of_the_instance(agent, fake, monkeypatch):
    calls = []

    async def fake_execute(tool_name, tool_input):
        calls.append((tool_name, tool_input))
        return {"type": "text", "text": "patched"}

    agent._execute_tool = fake_execute  # an instance attribute shadows the method
    fake.script += [response(tool_use("t", "bash", {"command": "ls"})), response(text("x"))]
    await collect(agent.run_task("t"))
    assert calls == [("bash", {"command": "ls"})]


# ---------------------------------------------------------------------------------------------
# Failures that escape from the pull


@pytest.mark.parametrize(
    "outcome, exc",
    [
        (RuntimeError("display gone"), RuntimeError),
        ({"type": "image", "base64": "x"}, KeyError),
        ({"type": "image", "media_type": "image/png"}, KeyError),
        (None, AttributeError),
        (["not", "a", "dict"], TypeError),
    ],
    ids=["executor-raises", "image-without-media-type", "image-without-data", "none", "list"],
)
async def test_tool_failures_escape_and_end_the_stream(agent, fake, executor, outcome, exc):
    fake.script.append(response(tool_use("t", "computer", {"action": "a"})))
    executor.outcomes = [outcome]
    stream = agent.run_task("t")
    got = []
    with pytest.raises(exc):
        async for event in stream:
            got.append(event.type)
    assert got[-1] in ("tool_call", "tool_result")
    with pytest.raises(StopAsyncIteration):
        await anext(stream)
    assert agent.is_running is True


async def test_block_without_expected_attribute_escapes(agent, fake):
    class Odd:
        type = "text"

    fake.script.append(response(Odd()))
    with pytest.raises(AttributeError):
        await collect(agent.run_task("t"))


async def test_client_creation_failure_escapes(agent, fake):
    def broken(**kwargs):
        raise ValueError("bad key")

    fake.module.Anthropic = broken
    stream = agent.run_task("t")
    assert (await anext(stream)).type == "thinking"
    with pytest.raises(ValueError, match="bad key"):
        await anext(stream)


async def test_executor_exception_from_tool_definitions_escapes(fake):
    class Broken(RecordingExecutor):
        def get_tool_definition(self):
            raise OSError("no screen")

    agent = FastSteerix("k", executor=Broken())
    with pytest.raises(OSError, match="no screen"):
        await collect(agent.run_task("t"))


async def test_stop_iteration_inside_the_body_becomes_runtime_error(agent, fake, executor):
    fake.script.append(response(tool_use("t", "computer", {"action": "a"})))
    executor.outcomes = [StopIteration()]
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        await collect(agent.run_task("t"))


async def test_client_package_is_imported_through_a_replaced_import(agent, fake, monkeypatch):
    import builtins

    seen = []
    real_import = builtins.__import__

    def recording_import(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    fake.script += [response(text("a")), response(text("b"))]
    await collect(agent.run_task("t"))
    await collect(agent.run_task("t"))
    assert seen.count("anthropic") == 2  # once per task
