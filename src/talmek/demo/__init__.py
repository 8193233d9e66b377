"""`talmek-agent --demo`: the whole agent loop on this display, with no key and no network.

A scripted stand-in for the model (served by `fake_api`) asks for a screenshot, clicks into the
demo's own window, types a greeting, runs a shell command that writes a temporary file, views
that file and edits it, zooms into the window where the computer tool of the model has zoom,
and takes a last screenshot. The real agent, the real executor and the real `anthropic` client
carry out every step; only the model's answers are scripted, and the fake service gives them
the shape the chosen model would (toolset member calls, thinking blocks) after checking each
request as the live service does.
"""

from __future__ import annotations

import os
import shlex
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

from talmek.demo.fake_api import FakeMessagesServer, message

TYPED = "Hello from talmek! Grüße ✓"
FIRST = "written by the shell tool"
EDITED = "edited by the text editor tool"


class DemoScript:
    """The scripted model: answers request number n (counted by the history's length) with
    step n, and reads the computer tool's display size from each request."""

    def __init__(
        self,
        file: Path,
        window_centre: Callable[[], tuple[int, int]],
        screen_size: Callable[[], tuple[int, int]],
        view_size: Callable[[], tuple[int, int]],
    ):
        self._file = str(file)
        self._centre = window_centre
        self._screen = screen_size
        self._view = view_size
        self.tool_errors: list[str] = []

    def __call__(self, request: dict[str, Any]) -> dict[str, Any]:
        messages = request["messages"]
        step = len(messages) // 2
        if step:
            for block in messages[-1]["content"]:
                if block.get("is_error"):
                    self.tool_errors.append(str(block.get("content")))
        computer = next(t for t in request["tools"] if str(t.get("type")).startswith("computer"))
        # A toolset declares no display size: its coordinates are those of the screenshots.
        size = (
            computer.get("display_width_px") or self._view()[0],
            computer.get("display_height_px") or self._view()[1],
        )
        zoom = computer.get("enable_zoom") is True or (
            computer["type"].startswith("computer_toolset")
            and (computer.get("configs") or {}).get("zoom", {}).get("enabled", True)
        )
        steps = self._steps(size, zoom)
        if step >= len(steps):
            return message([_text("I have nothing more to do.")], number=step)
        return message(steps[step](), number=step)

    def _steps(self, size: tuple[int, int], zoom: bool) -> list[Callable[[], list[dict[str, Any]]]]:
        path = self._file

        def centre() -> list[int]:
            # The window's centre as the model sees the screen: scaled like the screenshots.
            x, y = self._centre()
            sw, sh = self._screen()
            return [min(size[0] - 1, x * size[0] // sw), min(size[1] - 1, y * size[1] // sh)]

        def click() -> list[dict[str, Any]]:
            return [
                _text("I can see the demo window. I'll click into it."),
                _tool(2, "computer", {"action": "left_click", "coordinate": centre()}),
            ]

        def zoom_in() -> list[dict[str, Any]]:
            x, y = centre()
            region = [max(0, x - 160), max(0, y - 60), min(size[0], x + 160), min(size[1], y + 60)]
            return [
                _text("Let me zoom in to read the typed text."),
                _tool(8, "computer", {"action": "zoom", "region": region}),
            ]

        def finish() -> list[dict[str, Any]]:
            if self.tool_errors:
                return [_text("Some steps failed: " + "; ".join(self.tool_errors))]
            return [
                _text(
                    "Done: I clicked into the demo window, typed a greeting, wrote a "
                    "file with a shell command, viewed it and edited it."
                )
            ]

        return [
            lambda: [
                _text("Let me take a screenshot to see what is on the screen."),
                _tool(1, "computer", {"action": "screenshot"}),
            ],
            click,
            lambda: [
                _text("Now I'll type a greeting."),
                _tool(3, "computer", {"action": "type", "text": TYPED}),
            ],
            lambda: [
                _text("Next, a shell command that writes a small file."),
                _tool(
                    4,
                    "bash",
                    {
                        "command": f"printf 'line one\\n{FIRST}\\n' > "
                        f"{shlex.quote(path)} && cat {shlex.quote(path)}"
                    },
                ),
            ],
            lambda: [
                _text("Let me look at the file."),
                _tool(5, "str_replace_editor", {"command": "view", "path": path}),
            ],
            lambda: [
                _text("I'll change its second line."),
                _tool(
                    6,
                    "str_replace_editor",
                    {"command": "str_replace", "path": path, "old_str": FIRST, "new_str": EDITED},
                ),
            ],
            *([zoom_in] if zoom else []),
            lambda: [
                _text("A last screenshot to check the typed text."),
                _tool(7, "computer", {"action": "screenshot"}),
            ],
            finish,
        ]


def _text(text: str) -> dict[str, Any]:
    return {"type": "text", "text": text}


def _tool(number: int, name: str, tool_input: dict[str, Any]) -> dict[str, Any]:
    return {"type": "tool_use", "id": f"toolu_demo_{number:02d}", "name": name, "input": tool_input}


def run_demo(
    run_agent: Callable[[Any, str], str],
    print_line: Callable[[str], None],
    model: str,
    max_iterations: int,
) -> int:
    """Runs the scripted task with `run_agent(agent, task)`, which returns the last event's
    type; checks what reached the window and the file; returns the exit status."""
    from talmek.demo.window import DemoWindow
    from talmek.pc.computer_use import ComputerUseExecutor

    if not os.environ.get("DISPLAY"):
        print_line(
            "The demo needs an X display. Where there is none, run it under Xvfb:\n"
            "    xvfb-run -a talmek-agent --demo"
        )
        return 2
    try:
        from talmek.core.steerix import Steerix
    except ImportError as exc:
        print_line(f"The desktop agent is not available in this installation: {exc}")
        return 2

    executor = ComputerUseExecutor()
    probe = executor.execute_action("cursor_position")
    if probe["type"] == "error":
        print_line(probe["error"])
        return 2
    with tempfile.TemporaryDirectory(prefix="talmek-demo-") as tmp, DemoWindow() as window:
        file = Path(tmp) / "notes.txt"
        script = DemoScript(
            file, window.centre, lambda: executor.screen_size, lambda: executor.model_size
        )
        saved = {k: os.environ.get(k) for k in ("ANTHROPIC_BASE_URL", "NO_PROXY", "no_proxy")}
        with FakeMessagesServer(script) as server:
            os.environ["ANTHROPIC_BASE_URL"] = server.url
            # The fake server is local: no proxy may stand in between.
            os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"
            try:
                agent = Steerix(
                    "demo-key-not-secret",
                    model=model,
                    executor=executor,
                    max_iterations=max_iterations,
                )
                last = run_agent(
                    agent,
                    "Demo: click into the demo window, type a greeting, "
                    "then write, view and edit a file.",
                )
            finally:
                for key, value in saved.items():
                    if value is None:
                        os.environ.pop(key, None)
                    else:
                        os.environ[key] = value
                executor.close()
        contents = file.read_text() if file.exists() else None
        typed = window.text
    if last == "cancelled":
        return 130
    print_line("")
    print_line("Demo check:")
    checks = [
        ("the task completed", last == "done"),
        (f"the demo window received {TYPED!r} (got {typed!r})", typed == TYPED),
        ("the file was written and edited", contents == f"line one\n{EDITED}\n"),
        ("no tool call failed", not script.tool_errors),
    ]
    for label, ok in checks:
        print_line(f"  [{'ok' if ok else 'FAILED'}] {label}")
    return 0 if all(ok for _, ok in checks) else 1
