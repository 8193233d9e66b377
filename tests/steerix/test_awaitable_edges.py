"""Edges of the native awaitables against CPython's own: every argument form of throw() and
athrow(), at rest and suspended, and awaitables dropped unawaited while warnings are errors."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from support.agents import FastSteerix
from support.executors import RecordingExecutor
from support.fake_anthropic import response, text
from talmek.core.steerix import ComputerUseEvent

try:
    raise ZeroDivisionError
except ZeroDivisionError:
    TB = sys.exc_info()[2]


class NotAnException(Exception):
    def __new__(cls, *args):
        return 42


class Pair(Exception):
    pass


# One line per argument form of throw(typ[, val[, tb]]).
THROW_ARGS = [
    pytest.param((KeyError,), id="class"),
    pytest.param((KeyError, "v"), id="class-value"),
    pytest.param((Pair, ("a", "b")), id="class-tuple-value"),
    pytest.param((KeyError, KeyError("own")), id="class-own-instance"),
    pytest.param((KeyError, ValueError("other")), id="class-other-instance"),
    pytest.param((ValueError("i"),), id="instance"),
    pytest.param((ValueError("i"), 1), id="instance-with-value"),
    pytest.param((KeyError, None, TB), id="traceback"),
    pytest.param((KeyError, None, 3), id="bad-traceback"),
    pytest.param((1,), id="not-an-exception"),
    pytest.param((NotAnException,), id="class-returning-non-exception"),
    pytest.param((StopIteration,), id="stop-iteration"),
    pytest.param((StopAsyncIteration,), id="stop-async-iteration"),
    pytest.param((GeneratorExit,), id="generator-exit"),
]


def outcome(fn):
    try:
        value = fn()
        return ("value", getattr(value, "type", value))
    except StopIteration as stop:
        return ("stop", getattr(stop.value, "type", stop.value))
    except BaseException as exc:  # noqa: BLE001 (every exception is part of the comparison)
        tb, frames = exc.__traceback__, []
        while tb is not None:
            frames.append(tb is TB)
            tb = tb.tb_next
        return (
            "raise",
            type(exc).__name__,
            str(exc),
            any(frames),
            type(exc.__cause__).__name__ if exc.__cause__ else None,
        )


async def reference_coroutine():
    await asyncio.sleep(0)
    await asyncio.sleep(0)


async def reference_stream():
    yield "thinking"
    yield "iteration"


def native_emit(agent):
    async def handler(event):
        await asyncio.sleep(0)
        await asyncio.sleep(0)

    agent.on_event(handler)
    return agent._emit(ComputerUseEvent("done"))


def started(coro):
    coro.send(None)
    return coro


def pulled(stream):
    with pytest.raises(StopIteration):
        stream.asend(None).send(None)
    return stream


# Where throw() lands: (the native and the reference object, what is done to them).
PLACES = {
    "coroutine-at-rest": (
        lambda a: (native_emit(a), reference_coroutine()),
        lambda c, args: c.throw(*args),
    ),
    "coroutine-suspended": (
        lambda a: (started(native_emit(a)), started(reference_coroutine())),
        lambda c, args: c.throw(*args),
    ),
    "athrow-at-rest": (
        lambda a: (a.run_task("t"), reference_stream()),
        lambda g, args: g.athrow(*args).send(None),
    ),
    "athrow-suspended": (
        lambda a: (pulled(a.run_task("t")), pulled(reference_stream())),
        lambda g, args: g.athrow(*args).send(None),
    ),
    "asend-throw": (
        lambda a: (pulled(a.run_task("t")), pulled(reference_stream())),
        lambda g, args: g.asend(None).throw(*args),
    ),
}


# The three-argument forms are deprecated, and an awaitable refused its arguments is dropped
# unawaited: both warn, and neither is what this compares.
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning")
@pytest.mark.parametrize("args", THROW_ARGS)
@pytest.mark.parametrize("where", sorted(PLACES))
def test_throw_arguments_as_cpython_takes_them(agent, fake, where, args):
    fake.script.append(response(text("x")))
    make, act = PLACES[where]
    native, reference = make(agent)
    assert outcome(lambda: act(native, args)) == outcome(lambda: act(reference, args))
    for c in (native, reference):
        if where.startswith("coroutine"):
            c.close()
        else:
            asyncio.run(c.aclose())


# ---------------------------------------------------------------------------------------------
# Dropped unawaited while warnings are errors: the warning cannot be raised from a
# deallocation, so it is reported to the unraisable hook, which receives the awaitable itself
# and may keep it. This runs in a child: the fault it guards against ended the process.

DROP_SCRIPT = textwrap.dedent("""
    import gc, sys, warnings
    from support.agents import FastSteerix
    from support.executors import RecordingExecutor
    from talmek.core.steerix import ComputerUseEvent

    async def ref_c():
        pass

    async def ref_g():
        yield 1

    kept, seen = [], []

    def hook(u):
        seen.append((type(u.exc_value).__name__, str(u.exc_value)))
        kept.append(u.object)  # resurrects what is being finalized

    sys.unraisablehook = hook
    warnings.simplefilter("error")
    agent = FastSteerix("k", executor=RecordingExecutor())
    stream = agent.run_task("t")
    for make in [lambda: agent._emit(ComputerUseEvent("done")), lambda: stream.asend(None),
                 lambda: stream.athrow(KeyError), lambda: stream.aclose()]:
        make()
    ours = [(k, m.replace("Steerix._emit", "ref_c").replace("Steerix.run_task", "ref_g"))
            for k, m in seen]
    del seen[:]
    ours_kept = kept[:]
    gen = ref_g()
    for make in [ref_c, lambda: gen.asend(None), lambda: gen.athrow(KeyError),
                 lambda: gen.aclose()]:
        make()
        gc.collect()
    assert ours == seen and len(seen) == 4, (ours, seen)
    # What the hook kept of ours is the awaitable itself, whole: it can still be used, and
    # goes away for good afterwards.
    assert [type(o).__name__ for o in ours_kept] == [
        "coroutine", "async_generator_asend", "async_generator_athrow", "async_generator_athrow"]
    for obj in ours_kept:
        obj.close()
    del ours_kept, kept[:]
    gc.collect()
    print("ok")
""")


def test_unawaited_awaitables_under_warnings_as_errors(tmp_path):
    tests = str(Path(__file__).resolve().parent.parent)
    proc = subprocess.run(
        [sys.executable, "-c", DROP_SCRIPT],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": tests},
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "ok"


def test_unawaited_coroutine_in_a_cycle_warns_when_collected():
    # As CPython's coroutines do: the collector finalizes it before it breaks the cycle.
    agent = FastSteerix("k", executor=RecordingExecutor())
    holder = [agent._emit(ComputerUseEvent("done"))]
    agent.on_event(holder)  # agent -> handlers -> holder -> coroutine -> its frame -> agent
    del agent, holder
    with pytest.warns(RuntimeWarning, match="coroutine 'Steerix._emit' was never awaited"):
        gc.collect()
