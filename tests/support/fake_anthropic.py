"""A stand-in for the `anthropic` client package, for precise tests of the agent's task loop.

`FakeAnthropic` builds a module object with the three names the agent uses (`Anthropic`,
`APIError`, and the client's `beta.messages.create`). Each `create` call records its keyword
arguments (in call order, with a snapshot of the history as it was sent) and answers with the
next scripted item: a `Response` is returned, an exception instance is raised.

    fake = FakeAnthropic([response(text("hi"))])
    fake.install(monkeypatch)          # sys.modules["anthropic"] = fake.module
"""

from __future__ import annotations

import copy
import sys
import types
from dataclasses import dataclass, field
from typing import Any


class APIError(Exception):
    """The fake package's error for failed requests."""


@dataclass
class Block:
    """A response content block: the attributes the agent reads, nothing more."""

    type: str
    text: str | None = None
    id: str | None = None
    name: str | None = None
    input: Any = None
    toolset_name: str | None = None
    thinking: str | None = None
    signature: str | None = None
    data: str | None = None


@dataclass
class Response:
    content: list[Any]
    stop_reason: str = "end_turn"


def text(t: str) -> Block:
    return Block(type="text", text=t)


def tool_use(id: str, name: str, input: Any, toolset_name: str | None = None) -> Block:
    return Block(type="tool_use", id=id, name=name, input=input, toolset_name=toolset_name)


def thinking(text: str, signature: str = "sig") -> Block:
    return Block(type="thinking", thinking=text, signature=signature)


def response(*blocks: Any, stop_reason: str | None = None) -> Response:
    if stop_reason is None:
        stop_reason = "tool_use" if any(b.type == "tool_use" for b in blocks) else "end_turn"
    return Response(content=list(blocks), stop_reason=stop_reason)


@dataclass
class Call:
    """One recorded request: the keyword arguments as passed, and the history as sent."""

    kwargs: dict[str, Any]
    messages_snapshot: list[Any]


@dataclass
class FakeAnthropic:
    script: list[Any]
    calls: list[Call] = field(default_factory=list)
    clients: list[Any] = field(default_factory=list)

    def __post_init__(self) -> None:
        self.module = self._build_module()

    def install(self, monkeypatch: Any) -> None:
        monkeypatch.setitem(sys.modules, "anthropic", self.module)

    def _next(self, kwargs: dict[str, Any]) -> Any:
        self.calls.append(
            Call(kwargs=kwargs, messages_snapshot=copy.deepcopy(kwargs.get("messages")))
        )
        if not self.script:
            raise AssertionError("unscripted request")
        item = self.script.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item

    def _build_module(self) -> types.ModuleType:
        fake = self
        mod = types.ModuleType("anthropic")

        class _Messages:
            def create(self, **kwargs: Any) -> Any:
                return fake._next(kwargs)

        class _Beta:
            def __init__(self) -> None:
                self.messages = _Messages()

        class Anthropic:
            def __init__(self, **kwargs: Any) -> None:
                self.kwargs = kwargs
                self.beta = _Beta()
                fake.clients.append(self)

        mod.Anthropic = Anthropic
        mod.APIError = APIError
        return mod
