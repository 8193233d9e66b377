"""The X11 executor against a real X server (Xvfb) and a real Tk window."""

from __future__ import annotations

import base64
import io

import pytest
from desktop_support import SCREEN, start_xvfb, stop_xvfb
from PIL import Image

from talmek.pc.computer_use import ComputerUseExecutor, fit_size

pytestmark = pytest.mark.x11

# Boxes the model's view must fit: none needed (the screen as it is), and a scaled one.
BOXES = pytest.mark.parametrize("box", [(1280, 800), (1024, 768)], ids=["unscaled", "scaled"])


@pytest.fixture
def make_executor(xvfb):
    made = []

    def make(box=(1280, 800)):
        executor = ComputerUseExecutor(max_size=box)
        made.append(executor)
        return executor

    yield make
    for executor in made:
        executor.close()


def to_model(point, box):
    """A real screen point in the model's coordinates."""
    mw, mh = fit_size(*SCREEN, box)
    return [point[0] * mw // SCREEN[0], point[1] * mh // SCREEN[1]]


def ok(outcome):
    assert outcome["type"] != "error", outcome
    return outcome


def decode(outcome) -> Image.Image:
    assert outcome["type"] == "image" and outcome["media_type"] == "image/webp"
    image = Image.open(io.BytesIO(base64.b64decode(outcome["base64"])))
    assert image.format == "WEBP"
    return image.convert("RGB")


def near(pixel, colour, tolerance=12):
    """Lossy compression moves flat colours by a few levels at most."""
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))  # noqa: B905


@pytest.mark.parametrize(
    "box, size",
    [
        ((1280, 800), (1280, 800)),
        ((1024, 768), (1024, 640)),
        ((1366, 768), (1229, 768)),
        ((4000, 4000), (1280, 800)),  # never enlarged
    ],
)
def test_tool_definition_is_the_screen_fitted_to_the_box(make_executor, box, size):
    assert make_executor(box).get_tool_definition() == {
        "type": "computer_20250124",
        "name": "computer",
        "display_width_px": size[0],
        "display_height_px": size[1],
    }


@BOXES
def test_clicks_reach_the_button(make_executor, tk_app, box):
    executor = make_executor(box)
    button = to_model(tk_app.centre("button"), box)
    ok(executor.execute_action("left_click", coordinate=button))
    ok(executor.execute_action("right_click", coordinate=button))
    state = tk_app.wait_for(lambda s: s["clicks"] == 1 and s["right_clicks"] == 1)
    assert (state["clicks"], state["right_clicks"]) == (1, 1)


def test_click_without_coordinate_clicks_where_the_pointer_is(make_executor, tk_app):
    executor = make_executor()
    ok(executor.execute_action("mouse_move", coordinate=list(tk_app.centre("button"))))
    ok(executor.execute_action("left_click"))
    assert tk_app.wait_for(lambda s: s["clicks"] == 1)["clicks"] == 1


def test_double_click(make_executor, tk_app):
    executor = make_executor()
    ok(executor.execute_action("double_click", coordinate=list(tk_app.centre("entry"))))
    assert tk_app.wait_for(lambda s: s["double_clicks"] == 1)["double_clicks"] == 1


@pytest.mark.parametrize(
    "text",
    [
        "plain words 123",
        'Shifted: Hello, World! @#$%^&*()_+{}|:"<>?~',
        "Latin-1: wörld ñ ß é",
        "beyond the keymap: ł € ✓ Ω 日本 😀",
        "x" * 130,  # several chunks
    ],
    ids=["ascii", "shifted", "latin1", "remapped", "long"],
)
def test_typed_text_arrives_in_the_entry(make_executor, tk_app, text):
    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    assert ok(executor.execute_action("type", text=text))["text"] == f"Typed {len(text)} characters"
    assert tk_app.wait_for(lambda s: s["entry"] == text)["entry"] == text


def test_key_sequences_and_combinations(make_executor, tk_app):
    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    ok(executor.execute_action("type", text="abcdef"))
    # Two separate presses, then Tk's ctrl+a (start of line) and a typed capital via shift+x.
    ok(executor.execute_action("key", text="BackSpace backspace"))
    ok(executor.execute_action("key", text="ctrl+a"))
    ok(executor.execute_action("key", text="shift+x"))
    assert tk_app.wait_for(lambda s: s["entry"] == "Xabcd")["entry"] == "Xabcd"


def test_a_keymap_remap_survives_many_distinct_symbols(make_executor, tk_app):
    # More distinct unmapped symbols than the server has spare keycodes: old bindings are
    # recycled, and every character still arrives.
    text = "".join(chr(c) for c in range(0x0410, 0x0410 + 40))  # Cyrillic А..
    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    ok(executor.execute_action("type", text=text))
    assert tk_app.wait_for(lambda s: s["entry"] == text)["entry"] == text


@BOXES
def test_drag_moves_the_square(make_executor, tk_app, box):
    executor = make_executor(box)
    cx, cy, _, _ = tk_app.places["canvas"]
    start = to_model((cx + 50, cy + 50), box)
    end = to_model((cx + 200, cy + 150), box)
    ok(executor.execute_action("left_click_drag", start_coordinate=start, coordinate=end))
    state = tk_app.wait_for(lambda s: s["square"][0] > 100)
    moved = (state["square"][0] - 20, state["square"][1] - 20)
    # The square follows the pointer; scaling may shift the ends by a pixel or so.
    assert abs(moved[0] - 150) <= 3 and abs(moved[1] - 100) <= 3, state["square"]


def test_mouse_down_move_up_drags(make_executor, tk_app):
    executor = make_executor()
    cx, cy, _, _ = tk_app.places["canvas"]
    ok(executor.execute_action("left_mouse_down", coordinate=[cx + 50, cy + 50]))
    ok(executor.execute_action("mouse_move", coordinate=[cx + 100, cy + 60]))
    ok(executor.execute_action("mouse_move", coordinate=[cx + 150, cy + 70]))
    ok(executor.execute_action("left_mouse_up"))
    state = tk_app.wait_for(lambda s: s["square"][0] == 120)
    assert state["square"][:2] == [120.0, 40.0]


def test_scroll_scrolls_the_text(make_executor, tk_app):
    executor = make_executor()
    where = list(tk_app.centre("text"))
    ok(
        executor.execute_action(
            "scroll", coordinate=where, scroll_direction="down", scroll_amount=5
        )
    )
    tk_app.wait_for(lambda s: s["yview"] > 0)
    down = tk_app.settled("yview")["yview"]
    assert down > 0
    ok(executor.execute_action("scroll", coordinate=where, scroll_direction="up", scroll_amount=2))
    tk_app.wait_for(lambda s: s["yview"] < down)
    up = tk_app.settled("yview")["yview"]
    assert 0 < up < down


@BOXES
def test_screenshot_shows_the_window(make_executor, tk_app, box):
    executor = make_executor(box)
    image = decode(ok(executor.execute_action("screenshot")))
    assert image.size == fit_size(*SCREEN, box)
    cx, cy, _, _ = tk_app.places["canvas"]
    # The square's centre (canvas 50,50), the window's background, the empty root beyond.
    assert near(image.getpixel(tuple(to_model((cx + 50, cy + 50), box))), (255, 0, 0))
    assert near(image.getpixel(tuple(to_model((590, 390), box))), (0x20, 0x40, 0xC0))
    assert near(image.getpixel(tuple(to_model((900, 600), box))), (0, 0, 0))


@BOXES
@pytest.mark.parametrize("point", [(0, 0), (1, 1), (517, 333), "last"])
def test_scaled_coordinates_land_on_the_right_pixel(make_executor, box, point):
    from Xlib import display

    executor = make_executor(box)
    mw, mh = fit_size(*SCREEN, box)
    model = [mw - 1, mh - 1] if point == "last" else list(point)
    ok(executor.execute_action("mouse_move", coordinate=model))
    real = display.Display().screen().root.query_pointer()
    # The real pixel is the one under the centre of the model's pixel.
    expected = (int((model[0] + 0.5) * SCREEN[0] / mw), int((model[1] + 0.5) * SCREEN[1] / mh))
    assert (real.root_x, real.root_y) == expected
    # And the cursor position reads back as the same model point.
    assert ok(executor.execute_action("cursor_position"))["text"] == f"X={model[0]},Y={model[1]}"


def test_hold_key_and_wait(make_executor, tk_app):
    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    assert ok(executor.execute_action("wait", duration=0.1))["text"] == "Waited 0.1 s"
    assert ok(executor.execute_action("hold_key", text="a", duration=0.05))["type"] == "text"
    # Held far shorter than the auto-repeat delay: exactly one "a".
    assert tk_app.wait_for(lambda s: s["entry"])["entry"] == "a"


@pytest.mark.parametrize(
    "action, kwargs, message",
    [
        ("zoom", {}, "Unknown action: zoom"),
        ("", {}, "Unknown action: "),
        ("left_click", {"coordinate": [1280, 10]}, "outside the screen"),
        ("left_click", {"coordinate": [-1, 10]}, "outside the screen"),
        ("left_click", {"coordinate": [10]}, "must be a list of two numbers"),
        ("left_click", {"coordinate": "10,10"}, "must be a list of two numbers"),
        ("left_click", {"coordinate": [True, 1]}, "must be a list of two numbers"),
        ("mouse_move", {}, "coordinate is required"),
        ("left_click_drag", {"coordinate": [5, 5]}, "needs start_coordinate"),
        ("type", {}, "text is required for type"),
        ("type", {"text": ""}, "must be a non-empty string"),
        ("type", {"text": 7}, "must be a non-empty string"),
        ("key", {}, "text is required for key"),
        ("key", {"text": "ctrl+nosuchkey"}, "Unknown key name: 'nosuchkey'"),
        ("key", {"text": "ctrl+"}, "Invalid key combination"),
        ("scroll", {"scroll_direction": "sideways"}, "scroll_direction must be one of"),
        ("scroll", {"scroll_direction": "up", "scroll_amount": -2}, "scroll_amount must be"),
        ("wait", {}, "duration (seconds) is required"),
        ("wait", {"duration": 1000}, "duration for wait must be"),
        ("hold_key", {"text": "a", "duration": "long"}, "duration for hold_key must be"),
        ("left_click", {"coordinate": [5, 5], "text": "nosuchmodifier"}, "Unknown key name"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_model_mistakes_are_error_outcomes(make_executor, action, kwargs, message):
    outcome = make_executor().execute_action(action, **kwargs)
    assert outcome["type"] == "error" and message in outcome["error"], outcome


def test_unknown_key_leaves_nothing_pressed(make_executor, tk_app):
    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    assert executor.execute_action("key", text="shift+a nosuchkey")["type"] == "error"
    ok(executor.execute_action("type", text="b"))
    assert tk_app.wait_for(lambda s: s["entry"] == "b")["entry"] == "b"


@pytest.mark.parametrize("display", [None, ":9999"], ids=["unset", "unreachable"])
def test_without_a_display_every_action_is_an_error(monkeypatch, display):
    monkeypatch.delenv("DISPLAY", raising=False)
    executor = ComputerUseExecutor(display=display)  # no connection is made here
    definition = executor.get_tool_definition()
    assert (definition["name"], definition["type"]) == ("computer", "computer_20250124")
    for action, kwargs in [
        ("screenshot", {}),
        ("left_click", {"coordinate": [1, 1]}),
        ("type", {"text": "x"}),
        ("cursor_position", {}),
    ]:
        outcome = executor.execute_action(action, **kwargs)
        assert outcome["type"] == "error" and outcome["error"].startswith("No display"), outcome
    executor.close()


def test_a_display_that_goes_away_gives_errors_not_exceptions():
    started = start_xvfb("320x200x24")
    if started is None:
        pytest.skip("Xvfb did not start")
    server, name = started
    executor = ComputerUseExecutor(display=name)
    try:
        assert decode(ok(executor.execute_action("screenshot"))).size == (320, 200)
    finally:
        stop_xvfb(server)
    for _ in range(2):  # the broken connection, then the failed reconnection
        outcome = executor.execute_action("screenshot")
        assert outcome["type"] == "error", outcome
    executor.close()


def test_a_16_bit_display_refuses_screenshots_but_still_clicks():
    started = start_xvfb("320x200x16")
    if started is None:
        pytest.skip("Xvfb did not start")
    server, name = started
    executor = ComputerUseExecutor(display=name)
    try:
        outcome = executor.execute_action("screenshot")
        assert outcome["type"] == "error" and "24-bit" in outcome["error"], outcome
        ok(executor.execute_action("left_click", coordinate=[10, 10]))
    finally:
        executor.close()
        stop_xvfb(server)


def test_close_gives_the_bound_keycodes_back(make_executor, tk_app):
    from Xlib import display

    executor = make_executor()
    ok(executor.execute_action("left_click", coordinate=list(tk_app.centre("entry"))))
    ok(executor.execute_action("type", text="€"))
    assert tk_app.wait_for(lambda s: s["entry"] == "€")["entry"] == "€"
    euro = 0x010020AC

    def bound():
        d = display.Display()
        info = d.display.info
        keymap = d.get_keyboard_mapping(info.min_keycode, info.max_keycode - info.min_keycode + 1)
        d.close()
        return any(euro in syms for syms in keymap)

    assert bound()
    executor.close()
    assert not bound()
