"""The talmek desktop agent."""

import asyncio as asyncio
import logging as logging
import os
from collections.abc import Coroutine, Sequence
from pathlib import Path as Path
from typing import Any as Any
from typing import AsyncIterator as AsyncIterator  # noqa: UP035 (the module holds typing's)
from typing import Callable as Callable  # noqa: UP035 (the module holds typing's)
from typing import Literal

# The tool sets a host can pin (Steerix(..., tool_set=...)); without a pin the model's own set
# is used, and a model the agent does not know gets the newest, the first of these.
ToolSetName = Literal[
    "computer_toolset_20260801",
    "computer_20251124",
    "computer_20250124",
    "computer_20250124_legacy",
]

logger: logging.Logger

class ComputerUseEvent:
    """Event emitted during a computer use task."""

    type: str
    data: dict[str, Any]
    def __init__(self, type: str, data: dict[str, Any] | None = None) -> None: ...
    def to_dict(self) -> dict[str, Any]:
        """Convert the event to a dictionary: "type" first, then the payload."""

class Steerix:
    """Computer use agent driving the desktop through the Anthropic API."""

    MAX_ITERATIONS: int
    ACTION_DELAY: float
    _api_key: str
    _model: str
    _max_iterations: int
    _executor: Any
    _event_handlers: list[Callable[..., Any]]
    _messages: list[dict[str, Any]]
    _running: bool
    _iteration_count: int
    _tool_set: ToolSetName | None
    def __init__(
        self,
        api_key: str,
        model: str = "claude-sonnet-4-6",
        executor: Any = None,
        max_iterations: int = 50,
        *,
        tool_set: ToolSetName | None = None,
        roots: Sequence[str | os.PathLike[str]] | None = None,
    ) -> None: ...
    # With roots=, the instance also holds _roots: the resolved roots, a tuple of str.
    def on_event(self, handler: Callable[..., Any]) -> None:
        """Register an event handler."""

    def _emit(self, event: ComputerUseEvent) -> Coroutine[Any, Any, None]:
        """Emit an event to all handlers."""

    def get_tool_definitions(self) -> list[dict[str, Any]]:
        """Get the tool definitions for the Anthropic API.

        Returns the computer use tool plus bash and text editor tools.
        """

    def _build_system_prompt(self) -> str:
        """Build the system prompt for computer use."""

    def run_task(self, user_message: str) -> AsyncIterator[ComputerUseEvent]:
        """Run a computer use task from a user message.

        Yields ComputerUseEvent objects for the UI to display.
        """

    def _execute_tool(
        self, tool_name: str, tool_input: dict[str, Any]
    ) -> Coroutine[Any, Any, dict[str, Any]]:
        """Execute a tool call and return the result."""

    def _execute_bash(self, tool_input: dict[str, Any]) -> Coroutine[Any, Any, dict[str, Any]]:
        """Execute a bash command."""

    def _execute_text_editor(
        self, tool_input: dict[str, Any]
    ) -> Coroutine[Any, Any, dict[str, Any]]:
        """Execute a text editor command."""

    def _serialize_block(self, block: Any) -> dict[str, Any]:
        """Serialize an API content block to a dict for message history."""

    def stop(self) -> None:
        """Stop the current task."""

    @property
    def is_running(self) -> bool:
        """Whether a task has started and not been stopped."""

    @property
    def iteration_count(self) -> int:
        """The current iteration number."""

def _run_bash_tool(tool_input: Any, /) -> dict[str, Any]: ...
def _run_editor_tool(tool_input: Any, /) -> dict[str, Any]: ...
