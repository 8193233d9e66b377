"""Fixtures for the desktop tests: a private Xvfb server and a Tk window to drive."""

from __future__ import annotations

import os

import pytest
from desktop_support import SCREEN, TkApp, python_with_tk, start_xvfb, stop_xvfb


@pytest.fixture(scope="session")
def xvfb():
    """A private Xvfb server of SCREEN's size, as $DISPLAY for the whole session."""
    started = start_xvfb(f"{SCREEN[0]}x{SCREEN[1]}x24")
    if started is None:
        pytest.skip("Xvfb did not start")
    server, name = started
    previous = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = name
    yield name
    if previous is None:
        os.environ.pop("DISPLAY", None)
    else:
        os.environ["DISPLAY"] = previous
    stop_xvfb(server)


@pytest.fixture(scope="session")
def tk_python():
    python = python_with_tk()
    if python is None:
        pytest.skip("no Python interpreter with tkinter (Debian package python3-tk)")
    return python


@pytest.fixture
def tk_app(xvfb, tk_python):
    app = TkApp(tk_python)
    yield app
    app.close()
