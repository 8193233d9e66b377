"""`talmek-agent "task"`: runs the desktop agent on this display and prints its events.

The key comes from ANTHROPIC_API_KEY. The first Ctrl-C asks the agent to stop: a request or a
tool call under way finishes, and the run ends with the "cancelled" event at the next step;
a second Ctrl-C quits at once. `--demo` runs a scripted task against a local fake Messages
API, so the whole loop can be seen working without a key or a network.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import json
import os
import signal
import struct
import sys
from collections.abc import Callable
from typing import Any

DEFAULT_MODEL = "claude-sonnet-4-6"

# Exit statuses: the task completed; it ended with an error; bad usage or setup; stopped.
EXIT_DONE, EXIT_ERROR, EXIT_USAGE, EXIT_CANCELLED = 0, 1, 2, 130


def _clip(text: str, limit: int = 100) -> str:
    text = text.replace("\n", "\\n")
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _point(value: Any) -> str:
    if isinstance(value, (list, tuple)) and len(value) == 2:
        return f"({value[0]}, {value[1]})"
    return repr(value)


EDITOR_NAMES = ("str_replace_based_edit_tool", "str_replace_editor")


def describe_call(tool: str, tool_input: Any, toolset: str | None = None) -> str:
    """One line saying what a tool call asks for. A member of the computer toolset (`tool` is
    the member, `toolset` "computer") reads like the single computer tool's action."""
    if not isinstance(tool_input, dict):
        return f"{tool} {tool_input!r}"
    if toolset == "computer":
        tool_input = {"action": tool, **{k: v for k, v in tool_input.items() if k != "action"}}
        tool = "computer"
    if tool == "computer":
        action = tool_input.get("action", "")
        parts = [str(action)]
        if "start_coordinate" in tool_input:
            parts.append(f"from {_point(tool_input['start_coordinate'])}")
        if "coordinate" in tool_input:
            prep = "to" if "start_coordinate" in tool_input or action == "mouse_move" else "at"
            parts.append(f"{prep} {_point(tool_input['coordinate'])}")
        if action == "scroll":
            parts.insert(
                1,
                f"{tool_input.get('scroll_direction', '?')} "
                f"{tool_input.get('scroll_amount', '')}".rstrip(),
            )
        if "text" in tool_input:
            text = tool_input["text"]
            parts.append(
                json.dumps(_clip(text, 60), ensure_ascii=False) if action == "type" else f"[{text}]"
            )
        if "duration" in tool_input:
            parts.append(f"for {tool_input['duration']} s")
        if "region" in tool_input:
            parts.append(f"on {tool_input['region']}")
        if tool_input.get("repeat") not in (None, 1):
            parts.append(f"{tool_input['repeat']} times")
        return "computer: " + " ".join(parts)
    if tool == "bash":
        return "bash: $ " + _clip(str(tool_input.get("command", "")))
    if tool in EDITOR_NAMES:
        command = tool_input.get("command", "")
        line = f"editor: {command} {tool_input.get('path', '')}"
        if command == "str_replace":
            line += (
                f"  {json.dumps(_clip(str(tool_input.get('old_str', '')), 40), ensure_ascii=False)}"
                f" -> {json.dumps(_clip(str(tool_input.get('new_str', '')), 40), ensure_ascii=False)}"  # noqa: E501
            )
        elif command == "view" and tool_input.get("view_range"):
            line += f" lines {tool_input['view_range']}"
        elif command == "insert":
            line += f" at line {tool_input.get('insert_line', 0)}"
        return line
    return f"{tool}: {_clip(json.dumps(tool_input, ensure_ascii=False, default=str))}"


def _image_size(data: bytes) -> tuple[int, int] | None:
    """Width and height of a PNG, WebP or JPEG image, read from its header."""
    if data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        chunk = data[12:16]
        if chunk == b"VP8 " and data[23:26] == b"\x9d\x01\x2a":
            w, h = struct.unpack("<HH", data[26:30])
            return w & 0x3FFF, h & 0x3FFF
        if chunk == b"VP8L" and data[20:21] == b"\x2f":
            bits = int.from_bytes(data[21:25], "little")
            return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
        if chunk == b"VP8X":
            return (
                int.from_bytes(data[24:27], "little") + 1,
                int.from_bytes(data[27:30], "little") + 1,
            )
        return None
    if data[:2] == b"\xff\xd8":
        i = 2
        while i + 9 <= len(data) and data[i] == 0xFF:
            marker, length = data[i + 1], int.from_bytes(data[i + 2 : i + 4], "big")
            if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
                h, w = struct.unpack(">HH", data[i + 5 : i + 9])
                return w, h
            i += 2 + length
    return None


def describe_result(result: Any, max_lines: int = 6) -> list[str]:
    """A few lines summing a tool outcome up: images by size, text by its first lines."""
    if not isinstance(result, dict):
        return [f"result: {result!r}"]
    kind = result.get("type")
    if kind == "image":
        try:
            data = base64.b64decode(result.get("base64", ""), validate=False)
        except ValueError, TypeError:
            data = b""
        size = _image_size(data)
        shape = f"{size[0]}x{size[1]} " if size else ""
        media = str(result.get("media_type", "image")).split("/")[-1].upper()
        return [f"screenshot: {shape}{media}, {len(data) / 1024:.0f} KB"]
    if kind == "error":
        return ["error: " + str(result.get("error", "Unknown error"))]
    text = str(result.get("text", result))
    lines = text.split("\n")
    if len(lines) > 1 and not lines[-1]:
        lines.pop()  # the final line feed of command output ends a line, adds none
    shown = [_clip(line, 160) for line in lines[:max_lines]]
    if len(lines) > max_lines:
        shown.append(f"… ({len(lines) - max_lines} more lines)")
    return shown


def format_event(event: Any) -> list[str]:
    """The lines a person reads for one agent event."""
    kind, data = event.type, event.data
    if kind == "thinking":
        return [data.get("message", "Starting")]
    if kind == "iteration":
        return [f"── step {data.get('number')} of {data.get('max')} ──"]
    if kind == "text":
        # A thinking model's notes between tool calls come in its thinking: they read as its
        # words, set apart by the label.
        label = "Claude (notes): " if data.get("source") == "thinking" else "Claude: "
        return [
            label + line if i == 0 else " " * len(label) + line
            for i, line in enumerate(str(data.get("content", "")).split("\n"))
        ]
    if kind == "tool_call":
        return [
            "  → " + describe_call(data.get("tool", ""), data.get("input"), data.get("toolset"))
        ]
    if kind == "tool_result":
        lines = describe_result(data.get("result"))
        return ["  ← " + lines[0]] + ["    " + line for line in lines[1:]]
    if kind == "done":
        return [
            f"✔ {data.get('message', 'Task completed')} after {data.get('iterations')} step(s)."
        ]
    if kind == "cancelled":
        return [f"✖ {data.get('message', 'Task cancelled')}."]
    if kind == "error":
        return [f"✖ Error: {data.get('message', '')}"]
    return [f"[{kind}] {_clip(json.dumps(data, ensure_ascii=False, default=str), 200)}"]


def _printer(stream) -> Callable[[str], None]:
    def print_line(line: str) -> None:
        try:
            stream.write(line + "\n")
        except UnicodeEncodeError:
            enc = stream.encoding or "ascii"
            stream.write(line.encode(enc, "replace").decode(enc) + "\n")
        stream.flush()

    return print_line


def run_agent(agent: Any, task: str, print_line: Callable[[str], None]) -> str:
    """Pulls the agent's event stream, printing every event as it arrives; returns the type
    of the last event ("" when the stream ended without one)."""
    stopping = {"asked": False}

    def on_interrupt(signum: int, frame: Any) -> None:
        if stopping["asked"]:
            raise KeyboardInterrupt
        stopping["asked"] = True
        agent.stop()
        print_line("(Stopping after the current step; press Ctrl-C again to quit now.)")

    async def pull() -> str:
        last = ""
        async for event in agent.run_task(task):
            for line in format_event(event):
                print_line(line)
            last = event.type
        return last

    # A plain signal handler, not the event loop's: the request and the tool calls hold the
    # loop, and this one runs as soon as Python code runs again.
    previous = signal.signal(signal.SIGINT, on_interrupt)
    try:
        return asyncio.run(pull())
    finally:
        signal.signal(signal.SIGINT, previous)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="talmek-agent",
        description="Let the talmek desktop agent carry out a task on this computer's display.",
        epilog="The API key is read from ANTHROPIC_API_KEY. Ctrl-C stops the agent after the "
        "current step; a second Ctrl-C quits at once.",
    )
    parser.add_argument("task", nargs="?", help="what the agent should do, in plain words")
    parser.add_argument(
        "--model", default=DEFAULT_MODEL, help=f"model identifier (default: {DEFAULT_MODEL})"
    )
    parser.add_argument(
        "--max-iterations",
        type=int,
        default=50,
        metavar="N",
        help="give up after N requests to the model (default: 50)",
    )
    parser.add_argument(
        "--demo",
        action="store_true",
        help="run a scripted task against a built-in local fake API "
        "(no key, no network) on the current display",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    print_line = _printer(sys.stdout)
    say = _printer(sys.stderr)
    if args.max_iterations < 1:
        say("talmek-agent: --max-iterations must be at least 1")
        return EXIT_USAGE
    exits = {"done": EXIT_DONE, "cancelled": EXIT_CANCELLED}
    try:
        if args.demo:
            from talmek.demo import run_demo

            return run_demo(
                lambda agent, task: run_agent(agent, task, print_line),
                print_line,
                args.model,
                args.max_iterations,
            )
        if not args.task:
            say(
                "talmek-agent: give the task in plain words, for example:\n"
                '    talmek-agent "Open a terminal and show the date"\n'
                "or see the whole loop work with: talmek-agent --demo"
            )
            return EXIT_USAGE
        key = os.environ.get("ANTHROPIC_API_KEY")
        if not key:
            say(
                "talmek-agent: set ANTHROPIC_API_KEY to your Anthropic API key first "
                "(or try talmek-agent --demo, which needs none)"
            )
            return EXIT_USAGE
        try:
            from talmek.core.steerix import Steerix
        except ImportError as exc:
            say(f"talmek-agent: the desktop agent is not available in this installation: {exc}")
            return EXIT_USAGE
        from talmek.pc.computer_use import ComputerUseExecutor

        executor = ComputerUseExecutor()
        probe = executor.execute_action("cursor_position")
        if probe["type"] == "error":
            say(
                f"talmek-agent: note: {probe['error']}; the agent can still use the shell and "
                "the text editor"
            )
        try:
            agent = Steerix(
                key, model=args.model, executor=executor, max_iterations=args.max_iterations
            )
            last = run_agent(agent, args.task, print_line)
        finally:
            executor.close()
        return exits.get(last, EXIT_ERROR)
    except KeyboardInterrupt:
        say("talmek-agent: interrupted")
        return EXIT_CANCELLED
    except Exception as exc:  # noqa: BLE001
        # The stream ends with an exception only when something outside the model's reach
        # broke (an unexpected response, a failing executor): say so plainly.
        say(f"talmek-agent: the run failed: {type(exc).__name__}: {exc}")
        return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
