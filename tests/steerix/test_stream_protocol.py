"""run_task's stream as an async generator: asend/athrow/aclose at every suspension point,
the awaitables' states, the loop's hooks, and the release of everything an abandoned stream held."""

import asyncio
import collections.abc
import gc
import sys
import weakref

import pytest

from support.agents import FastSteerix
from support.executors import RecordingExecutor
from support.fake_anthropic import response, text
from support.streams import TWO_TOOLS, collect, kinds, pull
from support.streams import TWO_TOOLS_POINTS as POINTS
from talmek.core.steerix import Steerix


def walk(stream):
    """Pulls by hand to the end, reporting every suspension."""
    seen = []
    aw = None
    while True:
        if aw is None:
            kind, value = pull(stream)
        else:
            try:
                aw.send(None)
                kind, value = "pause", (aw, None)
            except StopIteration as stop:
                kind, value = "event", stop.value
        if kind == "end":
            return seen
        if kind == "event":
            seen.append(value.type)
            aw = None
        else:
            seen.append("pause")
            aw = value[0]


def advance_to(stream, n):
    """Pulls by hand through the first n suspension points; returns the pending awaitable when
    the n-th point is a pause, else None."""
    aw = None
    for _ in range(n):
        if aw is None:
            kind, value = pull(stream)
            aw = value[0] if kind == "pause" else None
        else:
            try:
                aw.send(None)
            except StopIteration:
                aw = None
    return aw


def test_manual_walk_sees_every_suspension(agent, fake):
    fake.script += TWO_TOOLS
    assert walk(agent.run_task("t")) == POINTS


@pytest.mark.parametrize("n", range(1, len(POINTS)), ids=POINTS[:-1])
@pytest.mark.parametrize("how", ["aclose", "athrow", "asend-close", "asend-throw"])
def test_abandon_at_each_suspension_point(agent, fake, executor, n, how):
    fake.script += TWO_TOOLS
    stream = agent.run_task("t")
    aw = advance_to(stream, n)
    requests, actions = len(fake.calls), len(executor.calls)
    if aw is not None:  # suspended in a pause: act on the pending __anext__ awaitable
        if how in ("aclose", "asend-close"):
            assert aw.close() is None
        else:
            with pytest.raises(ValueError, match="stop here"):
                aw.throw(ValueError("stop here"))
    elif how == "aclose":
        with pytest.raises(StopIteration):
            stream.aclose().send(None)
    elif how == "athrow":
        with pytest.raises(ValueError, match="stop here"):
            stream.athrow(ValueError("stop here")).send(None)
    elif how == "asend-close":
        assert stream.asend(None).close() is None
    else:
        with pytest.raises(ValueError, match="stop here"):
            stream.asend(None).throw(ValueError("stop here"))
    # Nothing further ran, and the stream is finished for good.
    assert (len(fake.calls), len(executor.calls)) == (requests, actions)
    assert pull(stream) == ("end", None)
    with pytest.raises(StopIteration):
        stream.aclose().send(None)


def test_abandon_before_the_first_pull_changes_nothing(agent, fake):
    stream = agent.run_task("t")
    with pytest.raises(StopIteration):
        stream.aclose().send(None)
    assert agent._running is False and agent._messages == [] and fake.clients == []
    assert pull(stream) == ("end", None)


def test_athrow_before_the_first_pull_raises_at_once(agent):
    stream = agent.run_task("t")
    with pytest.raises(KeyError):
        stream.athrow(KeyError("x")).send(None)
    assert agent._running is False
    assert pull(stream) == ("end", None)


def test_awaitable_states(agent, fake):
    fake.script.append(response(text("x")))
    stream = agent.run_task("t")
    assert isinstance(stream, collections.abc.AsyncGenerator)
    assert aiter(stream) is stream
    first = stream.__anext__()
    with pytest.raises(TypeError, match="just-started async generator"):
        stream.asend(1).send(None)
    with pytest.raises(StopIteration):
        first.send(None)
    with pytest.raises(RuntimeError, match=r"cannot reuse already awaited __anext__\(\)/asend\(\)"):
        first.send(None)
    assert first.close() is None
    assert [e.type for e in [pull(stream)[1], pull(stream)[1], pull(stream)[1]]] == [
        "iteration",
        "text",
        "done",
    ]
    assert pull(stream) == ("end", None)
    closer = stream.aclose()
    with pytest.raises(StopIteration):
        closer.send(None)
    with pytest.raises(RuntimeError, match=r"cannot reuse already awaited aclose\(\)/athrow\(\)"):
        closer.send(None)


def test_sent_values_are_ignored(agent, fake):
    fake.script.append(response(text("x")))
    stream = agent.run_task("t")
    pull(stream)
    with pytest.raises(StopIteration) as stop:
        stream.asend("ignored").send(None)
    assert stop.value.value.type == "iteration"


@pytest.mark.asyncio
async def test_second_pull_while_one_is_pending_is_refused(executor, fake):
    agent = Steerix("k", executor=executor)
    agent.ACTION_DELAY = 10
    fake.script += TWO_TOOLS
    stream = agent.run_task("t")
    while (await anext(stream)).type != "tool_result":
        pass
    pending = asyncio.ensure_future(anext(stream))
    await asyncio.sleep(0)  # now waiting in the pause
    with pytest.raises(RuntimeError, match="already running"):
        await anext(stream)
    with pytest.raises(
        RuntimeError, match=r"aclose\(\): asynchronous generator is already running"
    ):
        await stream.aclose()
    assert stream.ag_running is False  # suspended in the pause, not executing
    pending.cancel()
    with pytest.raises(asyncio.CancelledError):
        await pending
    assert len(executor.calls) == 1  # the second tool never ran
    with pytest.raises(StopAsyncIteration):
        await anext(stream)


@pytest.mark.asyncio
async def test_other_coroutines_run_only_in_the_pause(executor, fake):
    agent = Steerix("k", executor=executor)
    agent.ACTION_DELAY = 0.01
    fake.script += TWO_TOOLS
    ticks = []

    async def ticker():
        while True:
            ticks.append(None)
            await asyncio.sleep(0)

    task = asyncio.ensure_future(ticker())
    await asyncio.sleep(0)
    seen = []
    async for event in agent.run_task("t"):
        seen.append((event.type, len(ticks)))
    task.cancel()
    # Between two events the loop ran other coroutines only where a pause lies between them.
    grew = [b[1] > a[1] for a, b in zip(seen, seen[1:])]  # noqa: B905, RUF007
    assert grew == [False, False, False, False, True, False, True, False, False]


@pytest.mark.asyncio
async def test_loop_hooks_close_an_abandoned_stream(executor, fake):
    fake.script += TWO_TOOLS
    agent = FastSteerix("k", executor=executor)
    firstiter, finalizer = sys.get_asyncgen_hooks()  # noqa: RUF059
    assert firstiter is not None  # asyncio's hooks
    stream = agent.run_task("t")
    await anext(stream)
    loop = asyncio.get_running_loop()
    assert stream in loop._asyncgens
    ref = weakref.ref(agent)
    del agent, stream
    gc.collect()
    await asyncio.sleep(0.01)  # the finalizer scheduled aclose() on the loop
    gc.collect()
    assert ref() is None


def test_asyncio_run_shuts_down_unfinished_streams(executor, fake):
    fake.script += TWO_TOOLS
    agent = FastSteerix("k", executor=executor)
    holder = []

    async def main():
        stream = agent.run_task("t")
        holder.append(stream)
        await anext(stream)

    asyncio.run(main())
    assert pull(holder[0]) == ("end", None)  # shutdown_asyncgens closed it


# ---------------------------------------------------------------------------------------------
# References


@pytest.mark.parametrize("n", range(0, len(POINTS)), ids=["created"] + POINTS[:-1])
def test_abandoned_stream_releases_the_agent(fake, n):
    fake.script += TWO_TOOLS
    agent = FastSteerix("k", executor=RecordingExecutor())
    base = sys.getrefcount(agent)
    stream = agent.run_task("t")
    aw = advance_to(stream, n)
    assert sys.getrefcount(agent) > base
    ref = weakref.ref(agent)
    del aw, stream
    assert sys.getrefcount(agent) == base  # no cycle needed collecting
    del agent
    assert ref() is None


def test_finished_stream_releases_everything(fake):
    fake.script += TWO_TOOLS
    agent = FastSteerix("k", executor=RecordingExecutor())
    stream = agent.run_task("t")
    base = sys.getrefcount(agent)
    assert walk(stream) == POINTS
    assert sys.getrefcount(agent) == base - 1  # the stream dropped its reference at the end


def test_cycle_through_the_handler_list_is_collected(fake):
    fake.script += TWO_TOOLS
    agent = FastSteerix("k", executor=RecordingExecutor())
    stream = agent.run_task("t")
    advance_to(stream, 6)  # inside the first pause
    agent.on_event(stream)  # agent -> handlers -> stream -> agent
    agent.self_ref = agent
    ref = weakref.ref(agent)
    del agent, stream
    gc.collect()
    assert ref() is None


@pytest.mark.asyncio
async def test_complete_tasks_leave_no_references(executor, fake):
    agent = FastSteerix("k", executor=executor)
    fake.script += TWO_TOOLS
    await collect(agent.run_task("warm-up"))
    base = sys.getrefcount(agent)
    for _ in range(20):
        fake.script += TWO_TOOLS
        assert kinds(await collect(agent.run_task("t")))[-1] == "done"
    gc.collect()
    assert sys.getrefcount(agent) == base
