"""Helpers of the desktop tests: a private Xvfb server and the Tk window to drive."""

from __future__ import annotations

import json
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

SCREEN = (1280, 800)
TK_APP = Path(__file__).with_name("tk_app.py")


def helper_env() -> dict[str, str]:
    """The environment for the X server and the Tk window: they are not under test, so a
    sanitizer runtime preloaded into the test interpreter is not passed on to them."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def start_xvfb(size: str) -> tuple[subprocess.Popen, str] | None:
    """Starts Xvfb on a display number it picks itself (-displayfd); (process, ":N")."""
    binary = shutil.which("Xvfb")
    if binary is None:
        pytest.skip("Xvfb is not installed (Debian package xvfb)")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        [
            binary,
            "-displayfd",
            str(write_end),
            "-screen",
            "0",
            size,
            "-nolisten",
            "tcp",
            "-noreset",
        ],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=helper_env(),
    )
    os.close(write_end)
    # Read up to the line feed: Xvfb treats a failed write of it as fatal.
    number = b""
    deadline = time.monotonic() + 10
    try:
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 0.5)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
    finally:
        os.close(read_end)
    if not number.strip():
        server.kill()
        server.wait()
        return None
    return server, ":" + number.decode().strip()


def stop_xvfb(server: subprocess.Popen) -> None:
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


def python_with_tk() -> str | None:
    candidates = [sys.executable, "/usr/bin/python3", shutil.which("python3")]
    for candidate in dict.fromkeys(c for c in candidates if c):
        probe = subprocess.run(
            [candidate, "-c", "import tkinter"], capture_output=True, check=False, env=helper_env()
        )
        if probe.returncode == 0:
            return candidate
    return None


class TkApp:
    """The running test window: `places` of its widgets, and `state()` of what it has seen."""

    def __init__(self, python: str):
        self.process = subprocess.Popen(
            [python, str(TK_APP)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=helper_env(),
        )
        ready = json.loads(self._line(15))
        self.places = {k: v for k, v in ready.items() if k != "ready"}

    def _line(self, timeout: float) -> str:
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            raise TimeoutError("the Tk window did not answer")
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the Tk window ended")
        return line

    def centre(self, name: str) -> tuple[int, int]:
        x, y, w, h = self.places[name]
        return x + w // 2, y + h // 2

    def state(self) -> dict:
        self.process.stdin.write("state\n")
        self.process.stdin.flush()
        return json.loads(self._line(10))

    def wait_for(self, predicate, timeout: float = 5.0) -> dict:
        """The first state that satisfies `predicate`; the last one seen when time runs out.
        Events reach the window asynchronously, so a state is polled rather than read once."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.state()
            if predicate(state) or time.monotonic() > deadline:
                return state
            time.sleep(0.05)

    def settled(self, key: str, timeout: float = 5.0) -> dict:
        """The state once `key` has stopped changing: events of one action may still be arriving
        when the first of them shows."""
        deadline = time.monotonic() + timeout
        last = self.state()
        while time.monotonic() < deadline:
            time.sleep(0.2)
            state = self.state()
            if state[key] == last[key]:
                return state
            last = state
        return last

    def close(self) -> None:
        self.process.stdin.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


BUSY_DESKTOP = Path(__file__).with_name("busy_desktop.py")


class BusyDesktop:
    """The busy desktop of busy_desktop.py on the current $DISPLAY, `size` pixels, until closed."""

    def __init__(self, python: str, size: tuple[int, int], scratch: Path):
        from busy_desktop import make_photo

        wallpaper, photo = scratch / "wallpaper.png", scratch / "photo.png"
        make_photo(wallpaper, size, seed=1)
        make_photo(photo, (size[0] * 3 // 10, size[1] * 2 // 10), seed=2)
        source = Path(__file__).resolve().parents[2] / "src" / "talmek" / "pc" / "computer_use.py"
        self.process = subprocess.Popen(
            [
                python,
                str(BUSY_DESKTOP),
                str(size[0]),
                str(size[1]),
                str(wallpaper),
                str(photo),
                str(source),
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=helper_env(),
        )
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        if not ready or not self.process.stdout.readline():
            self.close()
            raise RuntimeError("the busy desktop did not start")

    def close(self) -> None:
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
