"""_emit, _execute_tool, _execute_bash and _execute_text_editor: their routing and delivery, and
the coroutine protocol of the native awaitables they return."""

import asyncio
import collections.abc
import inspect

import pytest

from talmek.core import steerix
from talmek.core.steerix import ComputerUseEvent, Steerix


def run(coro):
    """Drives a coroutine that must not suspend, outside any loop."""
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


# ---------------------------------------------------------------------------------------------
# _emit


@pytest.mark.asyncio
async def test_emit_delivers_in_order_and_awaits_coroutines(agent):
    log = []

    def plain(event):
        log.append(("plain", event))
        return "ignored"

    async def slow(event):
        log.append(("slow-start", event))
        await asyncio.sleep(0)
        log.append(("slow-end", event))

    def last(event):
        log.append(("last", event))

    for h in (plain, slow, last):
        agent.on_event(h)
    ev = ComputerUseEvent("text", {"content": "x"})
    assert await agent._emit(ev) is None
    assert log == [("plain", ev), ("slow-start", ev), ("slow-end", ev), ("last", ev)]
    assert all(item[1] is ev for item in log)


def test_emit_with_no_handlers_returns_at_once(agent):
    assert run(agent._emit(ComputerUseEvent("done"))) is None


def test_emit_is_a_coroutine_for_asyncio(agent):
    coro = agent._emit(ComputerUseEvent("done"))
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro)
    assert inspect.isawaitable(coro)
    assert asyncio.run(coro) is None


@pytest.mark.asyncio
async def test_emit_stops_at_a_raising_handler(agent):
    got = []
    agent.on_event(got.append)
    agent.on_event(lambda e: 1 / 0)
    agent.on_event(got.append)
    with pytest.raises(ZeroDivisionError):
        await agent._emit(ComputerUseEvent("done"))
    assert len(got) == 1


@pytest.mark.asyncio
async def test_emit_propagates_a_failing_coroutine_handler(agent):
    after = []

    async def bad(event):
        await asyncio.sleep(0)
        raise KeyError("late")

    agent.on_event(bad)
    agent.on_event(after.append)
    with pytest.raises(KeyError):
        await agent._emit(ComputerUseEvent("done"))
    assert after == []


@pytest.mark.asyncio
async def test_emit_walks_the_live_list_and_keeps_duplicates(agent):
    got = []

    def registering(event):
        got.append("first")
        agent.on_event(lambda e: got.append("added during delivery"))

    agent.on_event(registering)
    agent.on_event(registering)
    await agent._emit(ComputerUseEvent("done"))
    assert got == ["first", "first", "added during delivery", "added during delivery"]


@pytest.mark.asyncio
async def test_emit_does_not_await_futures(agent):
    fut = asyncio.get_running_loop().create_future()
    agent.on_event(lambda e: fut)
    await agent._emit(ComputerUseEvent("done"))  # would hang if the future were awaited
    assert not fut.done()


def test_on_event_accepts_anything(agent):
    agent.on_event(42)
    assert agent._event_handlers == [42]
    assert agent.on_event(handler=print) is None


# ---------------------------------------------------------------------------------------------
# _execute_tool


@pytest.mark.parametrize(
    "tool_input, call",
    [
        (
            {"action": "left_click", "coordinate": [1, 2], "text": "x"},
            ("left_click", {"coordinate": [1, 2], "text": "x"}),
        ),
        ({"coordinate": [3, 4]}, ("", {"coordinate": [3, 4]})),
        ({"action": "screenshot"}, ("screenshot", {})),
        ({"b": 1, "action": "key", "a": 2}, ("key", {"b": 1, "a": 2})),
    ],
    ids=["action-and-arguments", "no-action", "action-only", "action-in-the-middle"],
)
def test_computer_calls_reach_the_executor(agent, executor, tool_input, call):
    assert run(agent._execute_tool("computer", tool_input)) == {
        "type": "text",
        "text": f"did {call[0]}",
    }
    assert executor.calls == [call]
    assert list(executor.calls[0][1]) == list(call[1])  # keyword order kept


def test_executor_outcome_is_returned_unchanged(agent, executor):
    outcome = {"type": "image", "media_type": "image/png", "base64": "AA", "extra": [1]}
    executor.outcomes = [outcome]
    assert run(agent._execute_tool("computer", {"action": "screenshot"})) is outcome


@pytest.mark.parametrize("name", ["Computer", "BASH", "Str_Replace_Editor", "", "shell", 3])
def test_unknown_tools(agent, executor, name):
    assert run(agent._execute_tool(name, {"action": "x"})) == {
        "type": "error",
        "error": f"Unknown tool: {name}",
    }
    assert executor.calls == []


def test_bash_and_editor_go_through_the_instance(executor):
    seen = []

    class Custom(Steerix):
        async def _execute_bash(self, tool_input):
            seen.append(("bash", tool_input))
            await asyncio.sleep(0)
            return {"type": "text", "text": "bash done"}

        async def _execute_text_editor(self, tool_input):
            seen.append(("editor", tool_input))
            return {"type": "text", "text": "edited"}

    agent = Custom("k", executor=executor)
    assert asyncio.run(agent._execute_tool("bash", {"command": "ls"})) == {
        "type": "text",
        "text": "bash done",
    }
    inp = {"command": "view", "path": "/x"}
    assert asyncio.run(agent._execute_tool("str_replace_editor", inp)) == {
        "type": "text",
        "text": "edited",
    }
    assert seen == [("bash", {"command": "ls"}), ("editor", inp)]
    assert seen[1][1] is inp


@pytest.mark.parametrize("tool_input", [{}, {"command": ""}, {"command": None}, {"other": 1}])
def test_bash_coroutine_gives_the_shell_tools_outcome(agent, tool_input):
    assert run(agent._execute_bash(tool_input)) == steerix._run_bash_tool(tool_input)
    assert run(agent._execute_tool("bash", tool_input)) == steerix._run_bash_tool(tool_input)


@pytest.mark.parametrize("tool_input", [{}, {"path": ""}, {"command": "view"}])
def test_editor_coroutine_gives_the_editor_tools_outcome(agent, tool_input):
    assert run(agent._execute_text_editor(tool_input)) == steerix._run_editor_tool(tool_input)
    assert run(agent._execute_tool("str_replace_editor", tool_input)) == steerix._run_editor_tool(
        tool_input
    )


def test_executor_exceptions_propagate(agent, executor):
    executor.outcomes = [OSError("display lost")]
    with pytest.raises(OSError, match="display lost"):
        run(agent._execute_tool("computer", {"action": "x"}))


@pytest.mark.parametrize("bad", [["list"], "text", 3])
def test_executor_must_return_a_dict(agent, executor, bad):
    executor.outcomes = [bad]
    with pytest.raises(TypeError, match="must return a dict"):
        run(agent._execute_tool("computer", {"action": "x"}))


def test_executor_none_passes_through(agent, executor):
    executor.outcomes = [None]
    assert run(agent._execute_tool("computer", {"action": "x"})) is None


def test_execute_tool_never_suspends_on_its_own(agent):
    # One send() finishes it: no pause, no timer.
    run(agent._execute_tool("computer", {"action": "x"}))
    run(agent._execute_tool("nope", {}))


# ---------------------------------------------------------------------------------------------
# Coroutine protocol of the native awaitables


def test_coroutine_protocol(agent):
    coro = agent._execute_tool("nope", {})
    it = coro.__await__()
    assert iter(it) is it and it is not coro
    with pytest.raises(TypeError, match="not an iterator"):
        next(coro)
    assert "Steerix._execute_tool" in repr(coro)
    with pytest.raises(TypeError, match="just-started coroutine"):
        coro.send(1)
    assert run(coro)["type"] == "error"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.throw(ValueError())
    assert coro.close() is None


def test_throw_and_close_before_start(agent, executor):
    coro = agent._execute_tool("computer", {"action": "x"})
    with pytest.raises(ValueError, match="in"):
        coro.throw(ValueError("in"))
    assert executor.calls == []
    coro = agent._execute_tool("computer", {"action": "x"})
    assert coro.close() is None
    with pytest.raises(RuntimeError):
        coro.send(None)
    assert executor.calls == []


def test_throw_and_close_while_awaiting_a_handler(agent):
    state = []

    async def handler(event):
        try:
            await asyncio.sleep(0)
        finally:
            state.append("handler unwound")

    agent.on_event(handler)
    coro = agent._emit(ComputerUseEvent("done"))
    assert coro.send(None) is None  # suspended inside the handler's sleep(0)
    assert coro.close() is None
    assert state == ["handler unwound"]

    coro = agent._emit(ComputerUseEvent("done"))
    coro.send(None)
    with pytest.raises(KeyError):
        coro.throw(KeyError("k"))
    assert state == ["handler unwound"] * 2


def test_await_of_a_non_awaitable_result_fails(executor):
    class Custom(Steerix):
        def _execute_bash(self, tool_input):
            return {"type": "text", "text": "not awaitable"}

    agent = Custom("k", executor=executor)
    with pytest.raises(TypeError, match="can't be awaited"):
        run(agent._execute_tool("bash", {}))


def test_executor_keyword_names_must_be_text(agent):
    with pytest.raises(TypeError):
        run(agent._execute_tool("computer", {1: "x"}))


def test_dropping_a_coroutine_that_never_ran_warns(agent):
    with pytest.warns(RuntimeWarning, match="coroutine 'Steerix._emit' was never awaited"):
        agent._emit(ComputerUseEvent("done"))
    coro = agent._execute_tool("x", {})
    coro.close()
    del coro  # closed before it ran: nothing to warn about
