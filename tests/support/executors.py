"""Desktop executors for tests: they record every call and answer scripted outcomes."""

from __future__ import annotations

from typing import Any

COMPUTER_TOOL = {
    "type": "computer_20250124",
    "name": "computer",
    "display_width_px": 800,
    "display_height_px": 600,
}


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


# The smallest complete WebP image (1x1, lossless): what a screenshot outcome carries here.
WEBP_1X1 = "UklGRhoAAABXRUJQVlA4TA0AAAAvAAAAEAcQERGIiP4HAA=="
SCREENSHOT = {"type": "image", "media_type": "image/webp", "base64": WEBP_1X1}


class VersionedExecutor(RecordingExecutor):
    """A recording executor that takes the tool version as the real one does (`tool_version`)
    and declares it in its definition; screenshots and zooms answer with a real image."""

    def __init__(self, outcomes: list[Any] | None = None) -> None:
        super().__init__(outcomes)
        self.tool_version = "computer_20250124"
        self.versions_told: list[str] = []

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "tool_version" and hasattr(self, "versions_told"):
            self.versions_told.append(value)
        super().__setattr__(name, value)

    def get_tool_definition(self) -> dict[str, Any]:
        self.definition_calls += 1
        if self.tool_version == "computer_toolset_20260801":
            return {"type": self.tool_version}
        definition = {
            "type": self.tool_version,
            "name": "computer",
            "display_width_px": 800,
            "display_height_px": 600,
        }
        if self.tool_version == "computer_20251124":
            definition["enable_zoom"] = True
        return definition

    def execute_action(self, action: str, **kwargs: Any) -> Any:
        if action in ("screenshot", "zoom") and not self.outcomes:
            self.calls.append((action, kwargs))
            return dict(SCREENSHOT)
        return super().execute_action(action, **kwargs)
