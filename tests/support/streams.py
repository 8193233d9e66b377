"""Helpers for consuming the agent's event streams in tests."""

from __future__ import annotations

from typing import Any

from support.fake_anthropic import response, text, tool_use

# A task of two computer calls in one response, then a closing text.
TWO_TOOLS = [
    response(
        text("look"),
        tool_use("a", "computer", {"action": "one"}),
        tool_use("b", "computer", {"action": "two"}),
    ),
    response(text("done")),
]
# The suspension points of that task, in order, as pull() reports them: its events, and a
# pause after each tool call.
TWO_TOOLS_POINTS = [
    "thinking",
    "iteration",
    "text",
    "tool_call",
    "tool_result",
    "pause",
    "tool_call",
    "tool_result",
    "pause",
    "iteration",
    "text",
    "done",
]


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
