"""The executor's tool versions: definitions, each version's actions and parameters, zoom on a
real X server, and a long task's screenshots against the request limit."""

from __future__ import annotations

import base64
import gc
import io
import sys
import warnings

import pytest
from desktop_support import SCREEN, BusyDesktop
from PIL import Image, ImageChops, ImageStat

from talmek.pc.computer_use import TOOL_VERSIONS, ComputerUseExecutor, fit_size

pytestmark = pytest.mark.x11

V1, V2, TOOLSET = TOOL_VERSIONS


@pytest.fixture
def make_executor(xvfb):
    made = []

    def make(version=V2, box=(1280, 800)):
        executor = ComputerUseExecutor(max_size=box, tool_version=version)
        made.append(executor)
        return executor

    yield make
    for executor in made:
        executor.close()


def ok(outcome):
    assert outcome["type"] != "error", outcome
    return outcome


def decode(outcome) -> Image.Image:
    assert outcome["type"] == "image" and outcome["media_type"] == "image/webp"
    return Image.open(io.BytesIO(base64.b64decode(outcome["base64"]))).convert("RGB")


# ---- definitions and versions -------------------------------------------------------------


@pytest.mark.parametrize(
    "version, definition",
    [
        (V1, {"type": V1, "name": "computer", "display_width_px": 1280, "display_height_px": 800}),
        (
            V2,
            {
                "type": V2,
                "name": "computer",
                "display_width_px": 1280,
                "display_height_px": 800,
                "enable_zoom": True,
            },
        ),
        (TOOLSET, {"type": TOOLSET}),
    ],
)
def test_the_definition_declares_the_version(make_executor, version, definition):
    executor = make_executor(V1)
    executor.tool_version = version
    assert executor.tool_version == version
    assert executor.get_tool_definition() == definition


@pytest.mark.parametrize(
    "value, error",
    [
        ("computer_20241022", ValueError),
        ("", ValueError),
        (None, TypeError),
        (2025, TypeError),
    ],
)
def test_an_unknown_version_is_refused(value, error):
    with pytest.raises(error):
        ComputerUseExecutor(tool_version=value)
    executor = ComputerUseExecutor()
    with pytest.raises(error):
        executor.tool_version = value
    assert executor.tool_version == V1


# ---- each version's parameters (checked before the display is reached) --------------------


@pytest.mark.parametrize(
    "version, action, kwargs, message",
    [
        (V1, "zoom", {"region": [0, 0, 5, 5]}, "Unknown action: zoom"),
        (
            TOOLSET,
            "left_mouse_down",
            {"coordinate": [1, 1]},
            "left_mouse_down does not take 'coordinate' (computer_toolset_20260801); it takes no "
            "parameters",
        ),
        (TOOLSET, "left_mouse_up", {"coordinate": [1, 1]}, "does not take 'coordinate'"),
        (V1, "key", {"text": "a", "repeat": 2}, "key does not take 'repeat' (computer_20250124)"),
        (V2, "key", {"text": "a", "repeat": 2}, "key does not take 'repeat'"),
        (
            V1,
            "left_click_drag",
            {"start_coordinate": [1, 1], "coordinate": [2, 2], "text": "shift"},
            "left_click_drag does not take 'text'",
        ),
        (V2, "screenshot", {"region": [0, 0, 1, 1]}, "screenshot does not take 'region'"),
        (
            V2,
            "left_click",
            {"coordinate": [1, 1], "button": "left"},
            "left_click does not take 'button' (computer_20251124); it takes coordinate, text",
        ),
        (TOOLSET, "wait", {"duration": 1, "seconds": 2}, "wait does not take 'seconds'"),
        (TOOLSET, "nosuch", {}, "Unknown action: nosuch"),
    ],
    ids=lambda v: v if isinstance(v, str) and " " not in v else None,
)
def test_parameters_of_another_version_are_errors(version, action, kwargs, message):
    outcome = ComputerUseExecutor(display=":9999", tool_version=version).execute_action(
        action, **kwargs
    )
    assert outcome["type"] == "error" and message in outcome["error"], outcome


def test_a_parameter_sent_as_null_is_not_sent():
    # The check passes; the action then fails only for want of a display.
    outcome = ComputerUseExecutor(display=":9999", tool_version=TOOLSET).execute_action(
        "left_mouse_down", coordinate=None
    )
    assert outcome["error"].startswith("No display"), outcome


@pytest.mark.parametrize(
    "version, action, kwargs, message",
    [
        (V2, "zoom", {}, "region [x0, y0, x1, y1] is required for zoom"),
        (V2, "zoom", {"region": [0, 0, 10]}, "region must be a list of four numbers"),
        (V2, "zoom", {"region": "0,0,9,9"}, "region must be a list of four numbers"),
        (V2, "zoom", {"region": [0, 0, True, 9]}, "region must be a list of four numbers"),
        (V2, "zoom", {"region": [0, 0, float("nan"), 9]}, "region must be a list of four numbers"),
        (V2, "zoom", {"region": [10, 10, 5, 20]}, "region [10, 10, 5, 20] is empty or inverted"),
        (V2, "zoom", {"region": [10, 10, 10, 20]}, "is empty or inverted"),
        (
            TOOLSET,
            "zoom",
            {"region": [0, 0, 1281, 10]},
            "region [0, 0, 1281, 10] is outside the screen, which is 1280x800",
        ),
        (TOOLSET, "zoom", {"region": [-1, 0, 10, 10]}, "is outside the screen"),
        (V2, "scroll", {"scroll_direction": "up"}, "scroll_amount (wheel clicks) is required"),
        (TOOLSET, "key", {"text": "a", "repeat": 0}, "repeat for key must be a whole number"),
        (TOOLSET, "key", {"text": "a", "repeat": 1.5}, "repeat for key must be a whole number"),
        (TOOLSET, "key", {"text": "a", "repeat": 101}, "repeat for key must be a whole number"),
        (TOOLSET, "hold_key", {"text": "a"}, "duration (seconds) is required for hold_key"),
    ],
    ids=lambda v: v if isinstance(v, str) and " " not in v else None,
)
def test_model_mistakes_of_the_newer_versions(make_executor, version, action, kwargs, message):
    outcome = make_executor(version).execute_action(action, **kwargs)
    assert outcome["type"] == "error" and message in outcome["error"], outcome


# ---- the toolset's members on the real display --------------------------------------------


def test_toolset_members_act_on_the_window(make_executor, tk_app):
    executor = make_executor(TOOLSET)
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    ok(executor.execute_action("type", text="abcdef"))
    assert (
        ok(executor.execute_action("key", text="BackSpace", repeat=3))["text"]
        == "Pressed BackSpace 3 times"
    )
    assert tk_app.wait_for(lambda s: s["entry"] == "abc")["entry"] == "abc"
    # Press and release take no coordinate in the toolset: they act where the pointer is.
    cx, cy, _, _ = tk_app.places["canvas"]
    ok(executor.execute_action("mouse_move", coordinate=[cx + 50, cy + 50]))
    ok(executor.execute_action("left_mouse_down"))
    ok(executor.execute_action("mouse_move", coordinate=[cx + 150, cy + 70]))
    ok(executor.execute_action("left_mouse_up"))
    state = tk_app.wait_for(lambda s: s["square"][0] == 120)
    assert state["square"][:2] == [120.0, 40.0]


def test_a_drag_with_modifier_keys_still_drags(make_executor, tk_app):
    executor = make_executor(TOOLSET)
    cx, cy, _, _ = tk_app.places["canvas"]
    ok(
        executor.execute_action(
            "left_click_drag",
            start_coordinate=[cx + 50, cy + 50],
            coordinate=[cx + 100, cy + 50],
            text="shift",
        )
    )
    state = tk_app.wait_for(lambda s: s["square"][0] > 50)
    assert abs(state["square"][0] - 70) <= 2, state
    # Nothing stays held: typing afterwards gives lower case.
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    ok(executor.execute_action("type", text="q"))
    assert tk_app.wait_for(lambda s: s["entry"] == "q")["entry"] == "q"


# ---- zoom ----------------------------------------------------------------------------------


def real_screen() -> Image.Image:
    """The whole screen at full resolution, read straight from the X server."""
    from Xlib import X, display

    d = display.Display()
    try:
        raw = d.screen().root.get_image(0, 0, SCREEN[0], SCREEN[1], X.ZPixmap, 0xFFFFFFFF)
        return Image.frombuffer("RGB", SCREEN, raw.data, "raw", "BGRX", 0, 1)
    finally:
        d.close()


def mean_difference(a: Image.Image, b: Image.Image) -> float:
    return sum(ImageStat.Stat(ImageChops.difference(a, b)).mean) / 3


@pytest.mark.parametrize("version", [V2, TOOLSET])
@pytest.mark.parametrize(
    "box, region",
    [
        ((1280, 800), [20, 130, 180, 230]),  # the canvas and its square, unscaled
        ((1024, 768), [16, 104, 144, 184]),  # the same place in a scaled view
        ((1280, 800), [0, 0, 1280, 800]),  # all of it
        ((1280, 800), [1270, 790, 1280, 800]),  # a corner, enlarged a long way
    ],
    ids=["unscaled", "scaled", "whole", "corner"],
)
def test_zoom_returns_the_pixels_of_the_region(make_executor, tk_app, version, box, region):
    executor = make_executor(version, box)
    image = decode(ok(executor.execute_action("zoom", region=region)))
    mw, mh = fit_size(*SCREEN, box)
    sx, sy = SCREEN[0] / mw, SCREEN[1] / mh
    real = (
        round(region[0] * sx),
        round(region[1] * sy),
        round(region[2] * sx),
        round(region[3] * sy),
    )
    width, height = real[2] - real[0], real[3] - real[1]
    # Fitted into the model's view, aspect kept, enlarged when the region is small.
    scale = min(mw / width, mh / height)
    assert image.size == (round(width * scale), round(height * scale))
    expected = real_screen().crop(real).resize(image.size, Image.Resampling.LANCZOS)
    assert mean_difference(image, expected) < 3
    # And what the region shows is really there: the red square fills the zoomed canvas's
    # top-left part, white the rest.
    if region == [20, 130, 180, 230] or region == [16, 104, 144, 184]:
        w, h = image.size
        assert all(abs(a - b) <= 16 for a, b in zip(image.getpixel((w // 4, h // 3)), (255, 0, 0)))  # noqa: B905
        assert all(v >= 235 for v in image.getpixel((w * 3 // 4, h * 3 // 4)))


def test_coordinates_after_a_zoom_still_mean_the_whole_screen(make_executor, tk_app):
    executor = make_executor(V2, (1024, 768))
    ok(executor.execute_action("zoom", region=[0, 0, 100, 100]))
    button = [c * 1024 // 1280 for c in tk_app.centre("button")]
    ok(executor.execute_action("left_click", coordinate=button))
    assert tk_app.wait_for(lambda s: s["clicks"] == 1)["clicks"] == 1


# ---- a long task's screenshots against the request limit ----------------------------------


@pytest.mark.slow
@pytest.mark.asyncio
async def test_fifty_screenshots_of_a_busy_desktop_stay_under_the_request_limit(
    xvfb, tk_python, tmp_path, monkeypatch
):
    """Every request re-sends every earlier screenshot; the service refuses requests over
    32 MB. Fifty steps with a screenshot each, then the answer, through the real client."""
    from support.agents import FastSteerix
    from support.fake_messages_server import FakeMessagesServer, message, text_block, tool_use_block
    from support.streams import collect
    from talmek.demo.service import MAX_REQUEST_BYTES

    monkeypatch.delitem(sys.modules, "anthropic", raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    desktop = BusyDesktop(tk_python, SCREEN, tmp_path)
    executor = ComputerUseExecutor()
    try:
        script = [
            message(tool_use_block(f"s{i}", "computer", {"action": "screenshot"}))
            for i in range(50)
        ] + [message(text_block("Seen it all."))]
        with FakeMessagesServer(script) as server:
            monkeypatch.setenv("ANTHROPIC_BASE_URL", server.base_url)
            agent = FastSteerix("k", executor=executor, max_iterations=60)
            events = await collect(agent.run_task("watch the screen"))
    finally:
        executor.close()
        desktop.close()
        # The task's client goes here, with its ResourceWarning, not in a later test.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            gc.collect()
    assert server.problems == []
    assert events[-1].data == {"iterations": 51, "message": "Task completed"}
    sizes = [r.size for r in server.requests]
    images = [e.data["result"] for e in events if e.type == "tool_result"]
    assert len(images) == 50 and all(r["media_type"] == "image/webp" for r in images)
    print(
        f"\nlast request {sizes[-1] / 1e6:.1f} MB for 50 screenshots of "
        f"{sum(len(r['base64']) for r in images) / 50 / 1024:.0f} KB (base64) on average"
    )
    # With room to spare: half the limit, for zooms and longer tasks.
    assert max(sizes) == sizes[-1] < MAX_REQUEST_BYTES / 2
