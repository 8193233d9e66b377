"""Helpers for consuming the agent's event streams in tests."""

from __future__ import annotations

from typing import Any


async def collect(stream: Any) -> list[Any]:
    return [e async for e in stream]


def kinds(events: list[Any]) -> list[str]:
    return [e.type for e in events]


def pull(stream: Any) -> tuple[str, Any]:
    """Advances `stream` by hand, outside any event loop, up to its next suspension.

    Returns ("event", event), ("pause", yielded) when the task suspends in its pause after a
    tool call (asyncio.sleep(0) yields None without a loop), or ("end", None).
    """
    aw = stream.__anext__()
    try:
        yielded = aw.send(None)
    except StopIteration as stop:
        return "event", stop.value
    except StopAsyncIteration:
        return "end", None
    return "pause", (aw, yielded)
