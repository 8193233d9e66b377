"""Desktop executors for tests: they record every call and answer scripted outcomes."""

from __future__ import annotations

from typing import Any

COMPUTER_TOOL = {"type": "computer_20250124", "name": "computer",
                 "display_width_px": 800, "display_height_px": 600}


class RecordingExecutor:
    """Answers execute_action with the next scripted outcome (or a fixed text outcome).

    A scripted item that is an exception instance is raised instead.
    """

    def __init__(self, outcomes: list[Any] | None = None) -> None:
        self.outcomes = list(outcomes or [])
        self.calls: list[tuple[str, dict[str, Any]]] = []
        self.definition_calls = 0

    def get_tool_definition(self) -> dict[str, Any]:
        self.definition_calls += 1
        return dict(COMPUTER_TOOL)

    def execute_action(self, action: str, **kwargs: Any) -> Any:
        self.calls.append((action, kwargs))
        if not self.outcomes:
            return {"type": "text", "text": f"did {action}"}
        item = self.outcomes.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item
