"""The agent's task loop under malformed responses, bad tool outcomes, raising executors and
handlers, streams abandoned at every suspension point, two agents on one loop, and the
references and memory that all of this must not keep."""

from __future__ import annotations

import asyncio
import gc
import sys
import tracemalloc
import types
import warnings
import weakref
from typing import Any

import pytest

from support.fake_anthropic import FakeAnthropic, Response, text, tool_use
from support.streams import TWO_TOOLS, TWO_TOOLS_POINTS
from talmek.core.steerix import ComputerUseEvent, Steerix

TASK = {"role": "user", "content": "t"}


class Quick(Steerix):
    ACTION_DELAY = 0


class Executor:
    """Answers every action with `outcome` (or raises it); keeps no history beyond a count."""

    def __init__(self, outcome: Any = None, *, raises: bool = False) -> None:
        self.outcome = {"type": "text", "text": "ok"} if outcome is None and not raises else outcome
        self.raises = raises
        self.calls = 0

    def get_tool_definition(self) -> dict:
        return {"type": "computer_20250124", "name": "computer"}

    def execute_action(self, action: str, **kwargs: Any) -> Any:
        self.calls += 1
        if self.raises:
            raise self.outcome
        return self.outcome


class NoneExecutor(Executor):
    def execute_action(self, action: str, **kwargs: Any) -> Any:
        self.calls += 1
        return None


class Abort(BaseException):
    """Not an Exception: nothing in the agent may swallow it."""


@pytest.fixture
def fake(monkeypatch):
    f = FakeAnthropic([])
    f.install(monkeypatch)
    return f


def response(*blocks: Any) -> Response:
    # The stop reason never decides anything; blocks may lack even their type here.
    return Response(content=list(blocks))


def run(coro):
    return asyncio.run(coro)


async def drive(stream) -> tuple[list[str], BaseException | None]:
    """Pulls to the end; returns the event types and the exception that escaped (if any)."""
    seen = []
    try:
        async for event in stream:
            seen.append(event.type)
    except BaseException as exc:  # noqa: BLE001 (every escape is checked by the caller)
        return seen, exc
    return seen, None


async def finished(stream) -> bool:
    try:
        await anext(stream)
    except StopAsyncIteration:
        return True
    return False


def state(agent) -> tuple[bool, int, list]:
    return agent._running, agent._iteration_count, agent._messages


def ns(**attrs) -> types.SimpleNamespace:
    return types.SimpleNamespace(**attrs)


# ---------------------------------------------------------------------------------------------
# Malformed responses: the AttributeError escapes from the running pull, the stream is over,
# the fields keep what they reached and the run flag stays up.

USE = tool_use("u1", "computer", {"action": "a"})
ASSISTANT_USE = {
    "role": "assistant",
    "content": [{"type": "tool_use", "id": "u1", "name": "computer", "input": {"action": "a"}}],
}
RESULTS_USE = {
    "role": "user",
    "content": [{"type": "tool_result", "tool_use_id": "u1", "content": "ok"}],
}

BAD_RESPONSES = [
    # (id, responses, events before the escape, exception, message part, history length, count)
    (
        "block-without-type",
        [response(ns(text="x"))],
        ["thinking", "iteration"],
        AttributeError,
        "type",
        1,
        1,
    ),
    (
        "second-block-without-type",
        [response(text("a"), ns(text="x"))],
        ["thinking", "iteration"],
        AttributeError,
        "type",
        1,
        1,
    ),
    (
        "text-without-text",
        [response(text("a"), ns(type="text"))],
        ["thinking", "iteration", "text"],
        AttributeError,
        "text",
        1,
        1,
    ),
    (
        "tool-use-without-id",
        [response(text("a"), ns(type="tool_use", name="computer", input={}))],
        ["thinking", "iteration", "text"],
        AttributeError,
        "id",
        1,
        1,
    ),
    (
        "tool-use-without-name",
        [response(ns(type="tool_use", id="x", input={}))],
        ["thinking", "iteration"],
        AttributeError,
        "name",
        1,
        1,
    ),
    (
        "tool-use-without-input",
        [response(ns(type="tool_use", id="x", name="computer"))],
        ["thinking", "iteration"],
        AttributeError,
        "input",
        1,
        1,
    ),
    (
        "response-without-content",
        [ns(stop_reason="end_turn")],
        ["thinking", "iteration"],
        AttributeError,
        "content",
        1,
        1,
    ),
    (
        "content-not-iterable",
        [ns(content=None)],
        ["thinking", "iteration"],
        TypeError,
        "not iterable",
        1,
        1,
    ),
    (
        "second-response-without-content",
        [response(USE), ns()],
        ["thinking", "iteration", "tool_call", "tool_result", "iteration"],
        AttributeError,
        "content",
        3,
        2,
    ),
    (
        "second-response-text-without-text",
        [response(USE), response(ns(type="text"))],
        ["thinking", "iteration", "tool_call", "tool_result", "iteration"],
        AttributeError,
        "text",
        3,
        2,
    ),
]


@pytest.mark.parametrize(
    "responses, before, exc, part, history, count",
    [c[1:] for c in BAD_RESPONSES],
    ids=[c[0] for c in BAD_RESPONSES],
)
def test_malformed_responses_escape_and_end_the_stream(
    fake, responses, before, exc, part, history, count
):
    fake.script += responses
    executor = Executor()
    agent = Quick("k", executor=executor)

    async def go():
        stream = agent.run_task("t")
        seen, escaped = await drive(stream)
        return seen, escaped, await finished(stream), await finished(stream)

    seen, escaped, end1, end2 = run(go())
    assert seen == before
    assert type(escaped) is exc
    assert (f"attribute '{part}'" if exc is AttributeError else part) in str(escaped)
    assert end1 and end2
    assert state(agent) == (True, count, [TASK, ASSISTANT_USE, RESULTS_USE][:history])
    assert len(fake.calls) == count and fake.script == []
    assert executor.calls == count - 1


def test_a_tool_use_block_without_id_runs_no_tool(fake):
    # The block is serialised (and fails) before any tool of the response runs.
    fake.script.append(response(USE, ns(type="tool_use", name="computer", input={})))
    executor = Executor()
    agent = Quick("k", executor=executor)
    seen, escaped = run(drive(agent.run_task("t")))
    assert seen == ["thinking", "iteration"] and type(escaped) is AttributeError
    assert executor.calls == 0 and agent._messages == [TASK]


# ---------------------------------------------------------------------------------------------
# Bad tool outcomes


def image(**keys):
    return {"type": "image", **keys}


OUTCOMES = [
    # (id, executor, events before, exception, message part)
    ("list", Executor(["a"]), ["tool_call"], TypeError, "must return a dict, not list"),
    ("str", Executor("text"), ["tool_call"], TypeError, "must return a dict, not str"),
    ("int", Executor(3), ["tool_call"], TypeError, "must return a dict, not int"),
    ("none", NoneExecutor(), ["tool_call", "tool_result"], AttributeError, "get"),
    (
        "image-without-media-type",
        Executor(image(base64="QQ==")),
        ["tool_call", "tool_result"],
        KeyError,
        "media_type",
    ),
    (
        "image-without-base64",
        Executor(image(media_type="image/png")),
        ["tool_call", "tool_result"],
        KeyError,
        "base64",
    ),
    (
        "image-without-either",
        Executor(image()),
        ["tool_call", "tool_result"],
        KeyError,
        "media_type",
    ),
    (
        "executor-value-error",
        Executor(ValueError("no display"), raises=True),
        ["tool_call"],
        ValueError,
        "no display",
    ),
    (
        "executor-base-exception",
        Executor(Abort("user gone"), raises=True),
        ["tool_call"],
        Abort,
        "user gone",
    ),
]


@pytest.mark.parametrize(
    "executor, after, exc, part", [c[1:] for c in OUTCOMES], ids=[c[0] for c in OUTCOMES]
)
def test_bad_outcomes_escape_after_the_tool_call(fake, executor, after, exc, part):
    first = {"action": "one"}
    fake.script.append(
        response(
            text("go"),
            tool_use("a", "computer", first),
            tool_use("b", "computer", {"action": "two"}),
        )
    )
    executor.calls = 0
    agent = Quick("k", executor=executor)

    async def go():
        stream = agent.run_task("t")
        seen, escaped = await drive(stream)
        return seen, escaped, await finished(stream)

    seen, escaped, end = run(go())
    assert seen == ["thinking", "iteration", "text"] + after
    assert type(escaped) is exc and part in str(escaped)
    assert end
    # Only the first tool ran; the assistant message is in, the tool results never were.
    assert executor.calls == 1 and len(fake.calls) == 1
    assert agent._running is True and agent._iteration_count == 1
    assert agent._messages == [
        TASK,
        {
            "role": "assistant",
            "content": [
                {"type": "text", "text": "go"},
                {"type": "tool_use", "id": "a", "name": "computer", "input": {"action": "one"}},
                {"type": "tool_use", "id": "b", "name": "computer", "input": {"action": "two"}},
            ],
        },
    ]
    assert agent._messages[1]["content"][1]["input"] is first


@pytest.mark.parametrize(
    "outcome, part",
    [
        (["x"], "'list' object has no attribute 'get'"),
        ("s", "'str' object has no attribute 'get'"),
        (7, "'int' object has no attribute 'get'"),
    ],
)
def test_non_dict_outcome_of_an_overridden_execute_tool(fake, outcome, part):
    class Own(Quick):
        async def _execute_tool(self, tool_name, tool_input):
            return outcome

    fake.script.append(response(USE))
    agent = Own("k", executor=Executor())

    async def go():
        stream = agent.run_task("t")
        events = []
        try:
            async for e in stream:
                events.append(e)
        except AttributeError as e:
            return events, str(e), await finished(stream)

    events, message, end = run(go())
    assert [e.type for e in events][-1] == "tool_result"
    assert events[-1].data["result"] is outcome
    assert part in message and end


def test_a_mapping_outcome_is_read_through_its_own_methods(fake):
    # A dict subclass is a dictionary: its own get and __getitem__ answer.
    class Outcome(dict):
        def get(self, key, default=None):
            return "image" if key == "type" else super().get(key, default)

        def __getitem__(self, key):
            return key.upper()

    fake.script += [response(USE), response(text("fin"))]
    agent = Quick("k", executor=Executor(Outcome()))
    seen, escaped = run(drive(agent.run_task("t")))
    assert escaped is None and seen[-1] == "done"
    assert agent._messages[2]["content"][0]["content"] == [
        {
            "type": "image",
            "source": {"type": "base64", "media_type": "MEDIA_TYPE", "data": "BASE64"},
        }
    ]


# ---------------------------------------------------------------------------------------------
# Handlers that raise while the consumer delivers events through _emit


class Boom(Exception):
    pass


@pytest.mark.parametrize("kind", ["plain", "coroutine", "base"])
@pytest.mark.parametrize("at", ["thinking", "iteration", "tool_call", "tool_result"])
def test_raising_handler_stops_delivery_and_the_stream_can_be_closed(fake, kind, at):
    fake.script += [response(USE), response(text("fin"))]
    executor = Executor()
    agent = Quick("k", executor=executor)
    got_first, got_last = [], []
    error = Abort("handler") if kind == "base" else Boom("handler")

    def first(event):
        got_first.append(event.type)

    def raising(event):
        if event.type != at:
            return None
        if kind == "coroutine":

            async def later():
                await asyncio.sleep(0)
                raise error

            return later()
        raise error

    agent.on_event(first)
    agent.on_event(raising)
    agent.on_event(got_last.append)

    async def go():
        stream = agent.run_task("t")
        try:
            async for event in stream:
                await agent._emit(event)
        except BaseException as exc:  # noqa: BLE001
            caught = exc
        requests, actions = len(fake.calls), executor.calls
        await stream.aclose()
        return caught, requests, actions, await finished(stream)

    caught, requests, actions, end = run(go())
    assert caught is error and end
    assert got_first[-1] == at and at not in [e.type for e in got_last]
    # Closing ran nothing further.
    assert (len(fake.calls), executor.calls) == (requests, actions)
    assert executor.calls == (at == "tool_result")


# ---------------------------------------------------------------------------------------------
# Closing and throwing into the stream at each event, on a real loop

EVENTS = [p for p in TWO_TOOLS_POINTS if p != "pause"]


@pytest.mark.parametrize("n", range(0, len(EVENTS)), ids=["created"] + EVENTS[:-1])
@pytest.mark.parametrize("how", ["aclose", "athrow", "athrow-base"])
def test_close_or_throw_after_each_event(fake, n, how):
    fake.script += TWO_TOOLS
    executor = Executor()
    agent = Quick("k", executor=executor)
    base = sys.getrefcount(agent)

    async def go():
        stream = agent.run_task("t")
        for _ in range(n):
            await anext(stream)
        requests, actions = len(fake.calls), executor.calls
        fields = (agent._running, agent._iteration_count, list(agent._messages))
        if how == "aclose":
            await stream.aclose()
        else:
            exc = Boom("in") if how == "athrow" else Abort("in")
            with pytest.raises(type(exc)):
                await stream.athrow(exc)
        assert (len(fake.calls), executor.calls) == (requests, actions)
        assert (agent._running, agent._iteration_count, agent._messages) == fields
        assert await finished(stream)
        await stream.aclose()  # closing a finished stream is a no-op

    run(go())
    assert sys.getrefcount(agent) == base


@pytest.mark.parametrize("tool", [1, 2])
def test_cancel_during_the_pause(fake, tool):
    fake.script += TWO_TOOLS

    class Slow(Steerix):
        ACTION_DELAY = 0.05

    executor = Executor()
    agent = Slow("k", executor=executor)
    base = sys.getrefcount(agent)
    seen = []
    in_pause = asyncio.Event()

    async def consume(stream):
        async for event in stream:
            seen.append(event.type)
            if event.type == "tool_result" and seen.count("tool_result") == tool:
                in_pause.set()

    async def go():
        stream = agent.run_task("t")
        task = asyncio.create_task(consume(stream))
        # The consumer set the flag and pulled again in the same step of its task, so the stream
        # sleeps in its pause by the time this coroutine runs again.
        await in_pause.wait()
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        requests, actions = len(fake.calls), executor.calls
        assert await finished(stream)
        await asyncio.sleep(0.08)  # the pause would have ended by now
        assert (len(fake.calls), executor.calls) == (requests, actions)
        return requests, actions

    requests, actions = run(go())
    assert (requests, actions) == (1, tool)
    assert seen == EVENTS[: 3 + 2 * tool]
    assert len(agent._messages) == 2 and agent._running is True
    gc.collect()
    assert sys.getrefcount(agent) == base


def test_cancel_during_the_pause_then_stop_does_not_revive(fake):
    # After a cancelled pause the stream is over: stop() and a new pull change nothing.
    fake.script += TWO_TOOLS

    class Slow(Steerix):
        ACTION_DELAY = 0.05

    agent = Slow("k", executor=Executor())

    async def go():
        stream = agent.run_task("t")
        for _ in range(5):
            await anext(stream)
        pending = asyncio.ensure_future(anext(stream))
        await asyncio.sleep(0)  # the pull's task runs first and enters the pause
        pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        agent.stop()
        return await finished(stream)

    assert run(go())
    assert agent._running is False and len(fake.calls) == 1


# ---------------------------------------------------------------------------------------------
# Two agents on one loop


class Switchboard:
    """One fake `anthropic` module serving one scripted fake per API key."""

    def __init__(self, monkeypatch, fakes: dict[str, FakeAnthropic]) -> None:
        mod = types.ModuleType("anthropic")
        mod.APIError = next(iter(fakes.values())).module.APIError

        def Anthropic(**kwargs):
            return fakes[kwargs["api_key"]].module.Anthropic(**kwargs)

        mod.Anthropic = Anthropic
        monkeypatch.setitem(sys.modules, "anthropic", mod)


def test_two_agents_side_by_side(monkeypatch):
    def script(tag, n):
        rounds = [
            response(text(f"{tag}{i}"), tool_use(f"{tag}-{i}", "computer", {"action": tag}))
            for i in range(n)
        ]
        return rounds + [response(text(f"{tag}-end"))]

    fakes = {"A": FakeAnthropic(script("A", 3)), "B": FakeAnthropic(script("B", 4))}
    Switchboard(monkeypatch, fakes)

    class Paced(Steerix):
        ACTION_DELAY = 0.01

    order = []

    class Tagged(Executor):
        def __init__(self, tag):
            super().__init__({"type": "text", "text": tag})
            self.tag = tag

        def execute_action(self, action, **kwargs):
            assert action == self.tag
            order.append(self.tag)
            return super().execute_action(action, **kwargs)

    agents = {tag: Paced(tag, executor=Tagged(tag)) for tag in fakes}

    async def consume(tag):
        return [(e.type, e.data) async for e in agents[tag].run_task(f"task {tag}")]

    async def both():
        return await asyncio.gather(consume("A"), consume("B"))

    a, b = run(both())
    assert "".join(order).startswith("ABAB")  # the pauses interleave the two tasks

    for tag, events, n in (("A", a, 3), ("B", b, 4)):
        expected = [("thinking", {"message": f"Starting task: task {tag}"})]
        for i in range(n):
            expected += [
                ("iteration", {"number": i + 1, "max": 50}),
                ("text", {"content": f"{tag}{i}"}),
                ("tool_call", {"id": f"{tag}-{i}", "tool": "computer", "input": {"action": tag}}),
                (
                    "tool_result",
                    {
                        "id": f"{tag}-{i}",
                        "tool": "computer",
                        "result": {"type": "text", "text": tag},
                    },
                ),
            ]
        expected += [
            ("iteration", {"number": n + 1, "max": 50}),
            ("text", {"content": f"{tag}-end"}),
            ("done", {"iterations": n + 1, "message": "Task completed"}),
        ]
        assert events == expected
        agent = agents[tag]
        assert agent._iteration_count == n + 1 and len(agent._messages) == 1 + 2 * n
        for i in range(n):
            assert agent._messages[1 + 2 * i]["content"][1]["id"] == f"{tag}-{i}"
            assert agent._messages[2 + 2 * i]["content"] == [
                {"type": "tool_result", "tool_use_id": f"{tag}-{i}", "content": tag}
            ]
        fake = fakes[tag]
        assert fake.script == [] and len(fake.calls) == n + 1
        assert all(c.kwargs["model"] == "claude-sonnet-4-6" for c in fake.calls)
        assert all(c.messages_snapshot[0]["content"] == f"task {tag}" for c in fake.calls)


# ---------------------------------------------------------------------------------------------
# References: many runs of each scenario leave every count where it was

ROUNDS = 200


def leak_scenarios():
    """(id, responses, executor outcome or exception, how the consumer ends the stream)."""

    def use(inp):
        return response(text("x"), tool_use("i", "computer", inp))

    return [
        ("done", lambda inp: [use(inp), response(text("fin"))], None, "drain"),
        ("block-without-type", lambda inp: [use(inp), response(ns(text="x"))], None, "drain"),
        (
            "tool-use-without-id",
            lambda inp: [response(ns(type="tool_use", name="c", input=inp))],
            None,
            "drain",
        ),
        ("text-without-text", lambda inp: [use(inp), response(ns(type="text"))], None, "drain"),
        ("no-content", lambda inp: [use(inp), ns()], None, "drain"),
        ("list-outcome", lambda inp: [use(inp)], ["l"], "drain"),
        (
            "image-without-base64",
            lambda inp: [use(inp)],
            {"type": "image", "media_type": "p"},
            "drain",
        ),
        ("executor-raises", lambda inp: [use(inp)], ValueError("v"), "drain"),
        ("executor-base-exception", lambda inp: [use(inp)], Abort("a"), "drain"),
        ("api-error", lambda inp: [use(inp), RuntimeError("down")], None, "drain"),
        ("close-after-tool-call", lambda inp: [use(inp)], None, "close@4"),
        ("throw-after-tool-result", lambda inp: [use(inp)], None, "throw@5"),
        ("abandon-after-tool-call", lambda inp: [use(inp)], None, "drop@4"),
        ("abandon-created", lambda inp: [], None, "drop@0"),
    ]


async def one_task(agent, stream_end):
    stream = agent.run_task("t")
    if stream_end == "drain":
        try:
            async for _ in stream:
                pass
        except BaseException:  # noqa: BLE001
            pass
        return None
    how, n = stream_end.split("@")
    for _ in range(int(n)):
        await anext(stream)
    if how == "close":
        await stream.aclose()
    elif how == "throw":
        try:
            await stream.athrow(Boom())
        except Boom:
            pass
    return weakref.ref(stream)


SCEN = leak_scenarios()


@pytest.mark.parametrize("responses, outcome, end", [s[1:] for s in SCEN], ids=[s[0] for s in SCEN])
def test_repeated_scenarios_leave_no_references(fake, responses, outcome, end):
    sentinel_input = {"action": "click", "x": 1}
    raises = isinstance(outcome, BaseException)
    sentinel_outcome = outcome if outcome is not None else {"type": "text", "text": "ok"}
    executor = Executor(sentinel_outcome, raises=raises)
    agent = Quick("k", executor=executor)
    refs = []

    async def rounds(n):
        for _ in range(n):
            fake.script[:] = responses(sentinel_input)
            refs.append(await one_task(agent, end))  # noqa: F821
            # A dropped stream is closed by the loop's finaliser hook, in a task of its own.
            await asyncio.sleep(0)
            fake.calls.clear()
            fake.clients.clear()
            clear_tb()

    def clear_tb():
        # The one exception instance is raised again each round; its traceback would hold the
        # frames of the last round (the test's, not the agent's).
        if raises:
            sentinel_outcome.__traceback__ = None
            sentinel_outcome.__context__ = None

    def counts():
        gc.collect()
        return [sys.getrefcount(o) for o in (agent, executor, sentinel_input, sentinel_outcome)]  # noqa: F821

    async def go():
        await rounds(3)  # warm up: the history of the last task stays in the agent
        before = counts()
        await rounds(ROUNDS)
        return before, counts()

    before, after = run(go())
    assert after == before
    assert all(r is None or r() is None for r in refs)
    ref = weakref.ref(agent)
    del agent
    gc.collect()
    assert ref() is None


def test_abandoned_streams_and_finished_agents_are_freed(fake):
    """Agents and streams left in every state, then dropped, are all collected."""
    agent_refs, stream_refs = [], []

    async def go():
        for i in range(ROUNDS):
            agent = Quick("k", executor=Executor())
            agent.on_event(agent)  # a cycle through the handler list
            fake.script[:] = TWO_TOOLS
            stream = agent.run_task("t")
            for _ in range(i % (len(EVENTS) + 1)):
                await anext(stream)
            agent.keep = stream  # and a cycle through the stream
            agent_refs.append(weakref.ref(agent))
            stream_refs.append(weakref.ref(stream))
            fake.calls.clear()
            fake.clients.clear()

    run(go())
    gc.collect()
    assert [r() for r in agent_refs] == [None] * ROUNDS
    assert [r() for r in stream_refs] == [None] * ROUNDS


def test_memory_does_not_grow_across_many_tasks(fake):
    executor = Executor()
    agent = Quick("k", executor=executor)
    inp = {"action": "click"}

    async def tasks(n):
        for i in range(n):
            fake.script[:] = (
                [response(text("a"), tool_use("i", "computer", inp)), response(ns(type="text"))]
                if i % 2
                else [response(tool_use("i", "computer", inp)), response(text("b"))]
            )
            try:
                async for _ in agent.run_task("t"):
                    pass
            except AttributeError:
                pass
            fake.calls.clear()
            fake.clients.clear()

    async def go():
        await tasks(200)
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            await tasks(2000)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        return before, after

    before, after = run(go())
    assert after - before < 64 * 1024


def test_events_of_abandoned_streams_keep_only_what_they_show(fake):
    # An event handed out before the stream was dropped holds its payload, not the agent.
    fake.script += TWO_TOOLS
    agent = Quick("k", executor=Executor())
    base = sys.getrefcount(agent)

    async def go():
        stream = agent.run_task("t")
        return [await anext(stream) for _ in range(4)]

    events = run(go())
    assert [e.type for e in events] == EVENTS[:4]
    assert all(type(e) is ComputerUseEvent for e in events)
    gc.collect()
    assert sys.getrefcount(agent) == base


# ---------------------------------------------------------------------------------------------
# Odder escapes: each passes through unchanged (or as a generator turns it) and ends the stream


class BadEq:
    def __eq__(self, other):
        raise ZeroDivisionError("compare")

    __hash__ = None


def delay(value):
    return type("Delayed", (Steerix,), {"ACTION_DELAY": value})


def swap_history(agent, value):
    agent._messages = value
    return {"type": "text", "text": "ok"}


def serialize_interrupted(self, block):
    raise KeyboardInterrupt("serialise")


ODD = [
    # (id, agent class, outcome (callable: of the agent), response, events after "iteration",
    #  exception, message part, history length)
    ("delay-text", delay("x"), None, None, ["tool_call", "tool_result"], TypeError, "<=", 2),
    ("delay-none", delay(None), None, None, ["tool_call", "tool_result"], TypeError, "<=", 2),
    (
        "delay-nan",
        delay(float("nan")),
        None,
        None,
        ["tool_call", "tool_result"],
        ValueError,
        "NaN",
        2,
    ),
    (
        "executor-stop-async-iteration",
        Quick,
        StopAsyncIteration("s"),
        None,
        ["tool_call"],
        RuntimeError,
        "async generator raised StopAsyncIteration",
        2,
    ),
    (
        "executor-generator-exit",
        Quick,
        GeneratorExit("g"),
        None,
        ["tool_call"],
        GeneratorExit,
        "g",
        2,
    ),
    (
        "executor-cancelled",
        Quick,
        asyncio.CancelledError("c"),
        None,
        ["tool_call"],
        asyncio.CancelledError,
        "c",
        2,
    ),
    (
        "history-replaced-by-none",
        Quick,
        lambda a: swap_history(a, None),
        None,
        ["tool_call", "tool_result"],
        AttributeError,
        "append",
        None,
    ),
    (
        "history-replaced-by-tuple",
        Quick,
        lambda a: swap_history(a, ()),
        None,
        ["tool_call", "tool_result"],
        AttributeError,
        "append",
        0,
    ),
    (
        "serialise-interrupted",
        type("S", (Quick,), {"_serialize_block": serialize_interrupted}),
        None,
        None,
        [],
        KeyboardInterrupt,
        "serialise",
        1,
    ),
    (
        "block-type-compare-fails",
        Quick,
        None,
        response(ns(type=BadEq())),
        [],
        ZeroDivisionError,
        "compare",
        1,
    ),
]


@pytest.mark.parametrize(
    "cls, outcome, reply, after, exc, part, history", [c[1:] for c in ODD], ids=[c[0] for c in ODD]
)
def test_odd_failures_escape_and_end_the_stream(
    fake, cls, outcome, reply, after, exc, part, history
):
    fake.script.append(reply or response(USE))

    class Odd(Executor):
        def execute_action(self, action, **kwargs):
            self.calls += 1
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome(agent) if callable(outcome) else {"type": "text", "text": "ok"}

    agent = cls("k", executor=Odd())

    async def go():
        stream = agent.run_task("t")
        seen, escaped = await drive(stream)
        return seen, escaped, await finished(stream)

    seen, escaped, end = run(go())
    assert seen == ["thinking", "iteration"] + after
    assert type(escaped) is exc and part in str(escaped) and end
    if exc is RuntimeError:
        assert escaped.__cause__ is outcome
    if history is not None:
        assert len(agent._messages) == history
    assert agent._running is True and agent._iteration_count == 1 and len(fake.calls) == 1


def test_reentrant_stream_operations_from_a_tool_are_refused(fake):
    fake.script += [response(USE), response(text("fin"))]
    refused = []

    class Meddler(Executor):
        def execute_action(self, action, **kwargs):
            for make in (
                lambda: stream.__anext__(),
                lambda: stream.asend(None),
                lambda: stream.athrow(Boom()),
                lambda: stream.aclose(),
            ):
                with pytest.raises(RuntimeError, match="already running") as info:
                    make().send(None)
                refused.append(str(info.value).split("(")[0])
            return super().execute_action(action, **kwargs)

    agent = Quick("k", executor=Meddler())
    stream = agent.run_task("t")
    seen, escaped = run(drive(stream))
    assert escaped is None and seen[-1] == "done"
    assert refused == ["anext", "anext", "athrow", "aclose"]


def test_failed_streams_kept_alive_hold_nothing(fake):
    # A stream ended by an escaping exception has dropped the agent, the client and the blocks.
    executor = Executor(ValueError("v"), raises=True)
    agent = Quick("k", executor=executor)
    inp = {"action": "a"}
    kept = []

    async def go():
        for _ in range(3):
            fake.script[:] = [response(tool_use("i", "computer", inp))]
            stream = agent.run_task("t")
            await drive(stream)
            kept.append(stream)
            fake.calls.clear()
            fake.clients.clear()
        executor.outcome.__traceback__ = None
        gc.collect()
        before = sys.getrefcount(agent), sys.getrefcount(inp)
        for _ in range(ROUNDS):
            fake.script[:] = [response(tool_use("i", "computer", inp))]
            stream = agent.run_task("t")
            await drive(stream)
            kept.append(stream)
            fake.calls.clear()
            fake.clients.clear()
        executor.outcome.__traceback__ = None
        gc.collect()
        return before, (sys.getrefcount(agent), sys.getrefcount(inp))

    before, after = run(go())
    assert after == before and len(kept) == ROUNDS + 3


def malloc_in_use():
    """Bytes the C allocator has handed out (glibc), or None where that cannot be read.

    tracemalloc sees only Python's allocators; the native frames and drivers of the streams and
    coroutines come from operator new, which this sees. Under the sanitizers malloc is theirs.
    """
    import ctypes
    import os

    if os.environ.get("TALMEK_SANITIZED") or not sys.platform.startswith("linux"):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = MallInfo2
    return lambda: libc.mallinfo2().uordblks


def test_native_heap_does_not_grow_across_many_tasks(fake):
    in_use = malloc_in_use()
    if in_use is None:
        pytest.skip("no glibc heap statistics here")
    agent = Quick("k", executor=Executor())
    failing = Quick("k", executor=Executor(ValueError("v"), raises=True))
    inp = {"action": "click"}

    async def tasks(n):
        for i in range(n):
            fake.script[:] = [
                response(text("a"), tool_use("i", "computer", inp)),
                response(text("b")),
            ]
            stream = (failing if i % 3 == 1 else agent).run_task("t")
            if i % 3 == 2:
                await anext(stream)
                await anext(stream)
                await stream.aclose()
            else:
                await drive(stream)
            failing._executor.outcome.__traceback__ = None
            fake.calls.clear()
            fake.clients.clear()

    async def go():
        await tasks(300)
        gc.collect()
        before = in_use()
        await tasks(3000)
        gc.collect()
        return in_use() - before

    # A leak of even one small block per task would show as tens of kilobytes.
    assert run(go()) < 16 * 1024


def test_a_handler_that_delivers_again_ends_in_recursion_error():
    # The agent's own _emit registered as a handler: each delivery awaits the next one. The
    # native frames nest on the C stack; the interpreter's stack guard must stop them cleanly.
    agent = Quick("k", executor=Executor())
    agent.on_event(agent._emit)

    async def go():
        # Where the guard strikes decides whether the innermost delivery was already created
        # (and so is dropped unawaited, with a warning) or not.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with pytest.raises(RecursionError):
                await agent._emit(ComputerUseEvent("x"))
        agent._event_handlers[:] = [seen.append]
        await agent._emit(ComputerUseEvent("y"))

    seen = []
    run(go())
    assert [e.type for e in seen] == ["y"]


def test_stop_of_one_agent_from_the_other_agents_consumer(monkeypatch):
    rounds = [response(tool_use(f"u{i}", "computer", {"action": "a"})) for i in range(3)]
    fakes = {"A": FakeAnthropic(list(rounds)), "B": FakeAnthropic([*rounds, response(text("e"))])}
    Switchboard(monkeypatch, fakes)

    class Paced(Steerix):
        ACTION_DELAY = 0.005

    a, b = Paced("A", executor=Executor()), Paced("B", executor=Executor())

    async def consume(agent, other):
        seen = []
        async for event in agent.run_task("t"):
            seen.append(event.type)
            if other is not None and event.type == "tool_result":
                other.stop()  # A is in its pause now, or about to enter it
        return seen

    async def both():
        return await asyncio.gather(consume(a, None), consume(b, a))

    seen_a, seen_b = run(both())
    assert seen_a == ["thinking", "iteration", "tool_call", "tool_result", "cancelled"]
    assert seen_b[-1] == "done" and seen_b.count("tool_call") == 3
    assert (a.is_running, b.is_running) == (False, True)
    assert len(fakes["A"].calls) == 1 and fakes["A"].script == rounds[1:]


@pytest.mark.parametrize("swallow", [False, True])
def test_cancel_inside_a_suspending_execute_tool(fake, swallow):
    # An overriding _execute_tool may really wait on the loop; a cancellation reaches it there.
    # Passed on, it ends the stream; swallowed, the tool's answer is the outcome and the task
    # goes on, as it would for any coroutine.
    fake.script += [response(USE), response(text("fin"))]
    inside = []

    class Waits(Quick):
        async def _execute_tool(self, tool_name, tool_input):
            try:
                await asyncio.sleep(1)
            except asyncio.CancelledError:
                inside.append("cancelled")
                if swallow:
                    return {"type": "text", "text": "cut short"}
                raise
            return {"type": "text", "text": "slept"}

    agent = Waits("k", executor=Executor())
    seen = []

    async def go():
        stream = agent.run_task("t")

        async def consume():
            async for event in stream:
                seen.append(event.type)
                if event.type == "tool_call":
                    started.set()

        started = asyncio.Event()
        task = asyncio.create_task(consume())
        await started.wait()
        await asyncio.sleep(0)  # the consumer's next pull is now inside the tool's sleep
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            return "cancelled", await finished(stream)
        return "finished", await finished(stream)

    how, end = run(go())
    assert inside == ["cancelled"] and end
    if swallow:
        assert how == "finished" and seen[-1] == "done" and len(fake.calls) == 2
        assert agent._messages[2]["content"][0]["content"] == "cut short"
    else:
        assert how == "cancelled" and seen == ["thinking", "iteration", "tool_call"]
        assert len(fake.calls) == 1 and len(agent._messages) == 2


class Fading:
    """A tool-use block whose `id` can be read once only (for the history), not again."""

    type = "tool_use"
    name = "computer"

    def __init__(self) -> None:
        self.input = {"action": "fade"}
        self.reads = 0

    @property
    def id(self):
        self.reads += 1
        if self.reads > 1:
            raise AttributeError("id", name="id", obj=self)
        return "f"


@pytest.mark.parametrize("first_ok", [False, True])
def test_a_block_that_fails_in_the_tool_walk(fake, first_ok):
    # Serialised fine, then failing when its tool is about to run: the assistant message is in
    # the history, the tools before it ran and were reported, no tool-results message follows.
    blocks = ([USE] if first_ok else []) + [Fading()]
    fake.script.append(response(*blocks))
    executor = Executor()
    agent = Quick("k", executor=executor)

    async def go():
        stream = agent.run_task("t")
        seen, escaped = await drive(stream)
        return seen, escaped, await finished(stream)

    seen, escaped, end = run(go())
    assert seen == ["thinking", "iteration"] + ["tool_call", "tool_result"] * first_ok
    assert type(escaped) is AttributeError and escaped.name == "id" and end
    assert executor.calls == first_ok and len(fake.calls) == 1
    assert state(agent)[:2] == (True, 1)
    assert [m["role"] for m in agent._messages] == ["user", "assistant"]
    assert agent._messages[1]["content"][-1] == {
        "type": "tool_use",
        "id": "f",
        "name": "computer",
        "input": {"action": "fade"},
    }
