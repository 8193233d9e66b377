"""The native event stream against a CPython async generator with the same suspension points:
any sequence of asend/athrow/aclose and send/throw/close on their awaitables must give the
same results and the same exceptions."""

import asyncio
import sys
import warnings

from hypothesis import given, settings
from hypothesis import strategies as st

from support.agents import FastSteerix
from support.executors import RecordingExecutor
from support.fake_anthropic import FakeAnthropic
from support.streams import TWO_TOOLS
from support.streams import TWO_TOOLS_POINTS as POINTS


async def reference():
    for point in POINTS:
        if point == "pause":
            await asyncio.sleep(0)
        else:
            yield point


def native():
    fake = FakeAnthropic([*TWO_TOOLS])
    saved = sys.modules.get("anthropic")
    sys.modules["anthropic"] = fake.module
    try:
        agent = FastSteerix("k", executor=RecordingExecutor())
        return agent.run_task("t"), saved
    except BaseException:
        restore(saved)
        raise


def restore(saved):
    if saved is None:
        sys.modules.pop("anthropic", None)
    else:
        sys.modules["anthropic"] = saved


def shown(value):
    return getattr(value, "type", value)


def outcome(fn):
    try:
        return ("value", shown(fn()))
    except StopIteration as stop:
        return ("stop", shown(stop.value))
    except BaseException as exc:  # noqa: BLE001 (every exception is part of the comparison)
        return ("raise", type(exc).__name__, str(exc).replace("talmek.core.steerix.", ""))


MAKERS = {
    "anext": lambda g: g.__anext__(),
    "asend_none": lambda g: g.asend(None),
    "asend_x": lambda g: g.asend("x"),
    "athrow": lambda g: g.athrow(ValueError("boom")),
    "athrow_stop": lambda g: g.athrow(StopAsyncIteration),
    "athrow_exit": lambda g: g.athrow(GeneratorExit()),
    "aclose": lambda g: g.aclose(),
}
ACTIONS = {
    "send_none": lambda aw: aw.send(None),
    "send_x": lambda aw: aw.send("x"),
    "throw": lambda aw: aw.throw(KeyError("k")),
    "close": lambda aw: aw.close(),
    "next": lambda aw: next(aw),
}

CORO_ACTIONS = {
    **ACTIONS,
    "throw_class": lambda c: c.throw(KeyError),
    "throw_stop": lambda c: c.throw(StopIteration("s")),
    "throw_exit": lambda c: c.throw(GeneratorExit),
    "await_iter": lambda c: next(c.__await__()),
}

ops = st.lists(
    st.tuples(st.sampled_from(sorted(MAKERS) + sorted(CORO_ACTIONS)), st.integers(0, 2)),
    max_size=40,
)


def play(gen, program, name):
    """Runs `program` on `gen`; returns the outcomes and the warnings about awaitables that
    were dropped unawaited (with the generator's name left out)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        awaitables = []
        log = []
        aw = None
        for op, slot in program:
            if op in MAKERS:
                log.append(outcome(lambda: awaitables.append(MAKERS[op](gen))))  # noqa: B023, F821
            elif awaitables:
                aw = awaitables[slot % len(awaitables)]
                log.append(outcome(lambda: CORO_ACTIONS[op](aw)))  # noqa: B023, F821
            if len(awaitables) > 3:
                awaitables.pop(0)
        del awaitables, aw
    return log, [str(w.message).replace(name, "<gen>") for w in caught]


@settings(max_examples=300, deadline=None)
@given(ops)
def test_stream_matches_a_python_async_generator(program):
    stream, saved = native()
    try:
        got = play(stream, program, "Steerix.run_task")
    finally:
        restore(saved)
    assert got == play(reference(), program, "reference")


@settings(max_examples=50, deadline=None)
@given(st.integers(0, len(POINTS)))
def test_walk_to_each_point_then_drain(n):
    # A long pull sequence that reaches a given point and then goes to the end.
    program = [("anext", 0), ("send_none", 2)] * n + [("aclose", 0), ("send_none", 2)]
    stream, saved = native()
    try:
        got = play(stream, program, "Steerix.run_task")
    finally:
        restore(saved)
    assert got == play(reference(), program, "reference")


# ---------------------------------------------------------------------------------------------
# The coroutines: _emit with one handler that suspends twice, against the same coroutine
# written in Python.


async def reference_emit():
    await asyncio.sleep(0)
    await asyncio.sleep(0)


def native_emit():
    from talmek.core.steerix import ComputerUseEvent

    agent = FastSteerix("k", executor=RecordingExecutor())

    async def handler(event):
        await asyncio.sleep(0)
        await asyncio.sleep(0)

    agent.on_event(handler)
    return agent._emit(ComputerUseEvent("done"))


def play_coro(make, program, name):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = make()
        log = [outcome(lambda: CORO_ACTIONS[op](coro)) for op in program]  # noqa: B023, F821
        del coro
    return log, [str(w.message).replace(name, "<coro>") for w in caught]


@given(st.lists(st.sampled_from(sorted(CORO_ACTIONS)), max_size=12))
@settings(max_examples=300, deadline=None)
def test_coroutine_matches_a_python_coroutine(program):
    assert play_coro(native_emit, program, "Steerix._emit") == play_coro(
        reference_emit, program, "reference_emit"
    )
