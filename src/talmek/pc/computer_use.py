"""The desktop executor for X11: screenshots, pointer and keyboard through the X server (XTest).

The model sees the screen scaled down to fit a box of at most 1280x800 pixels, keeping the
aspect ratio; screenshots are sent at that size and every coordinate the model gives is mapped
back to the real screen, so a click lands on the pixel the model pointed at. Mistakes of the
model (an unknown action, coordinates off the screen, a missing text) come back as "error"
outcomes, never as exceptions: an exception would end the agent's whole task.

The executor speaks three versions of the computer tool, set through `tool_version` (the agent
sets it to the version its model takes): "computer_20250124", "computer_20251124" (adds `zoom`)
and the toolset "computer_toolset_20260801", whose members are called by name with their own
parameters. Each version's actions and parameters are checked against that version's schema.

The connection to the X server is opened on first use, not at construction, so an executor can
be built on a machine with no display; every action then answers that there is no display.
"""

from __future__ import annotations

import base64
import io
import math
import os
import threading
import time
from typing import Any

# Pointer buttons of the core protocol: 4 to 7 are the wheel directions.
_BUTTONS = {"left": 1, "middle": 2, "right": 3}
_SCROLL_BUTTONS = {"up": 4, "down": 5, "left": 6, "right": 7}

# Key names the model uses that are not X keysym names (xdotool accepts the same aliases).
_KEY_ALIASES = {
    "ctrl": "Control_L",
    "control": "Control_L",
    "lctrl": "Control_L",
    "rctrl": "Control_R",
    "shift": "Shift_L",
    "lshift": "Shift_L",
    "rshift": "Shift_R",
    "alt": "Alt_L",
    "lalt": "Alt_L",
    "ralt": "Alt_R",
    "altgr": "ISO_Level3_Shift",
    "super": "Super_L",
    "win": "Super_L",
    "windows": "Super_L",
    "cmd": "Super_L",
    "command": "Super_L",
    "meta": "Meta_L",
    "hyper": "Hyper_L",
    "enter": "Return",
    "return": "Return",
    "esc": "Escape",
    "escape": "Escape",
    "backspace": "BackSpace",
    "bksp": "BackSpace",
    "del": "Delete",
    "delete": "Delete",
    "ins": "Insert",
    "insert": "Insert",
    "tab": "Tab",
    "space": "space",
    "pgup": "Prior",
    "pageup": "Prior",
    "page_up": "Prior",
    "pgdn": "Next",
    "pagedown": "Next",
    "page_down": "Next",
    "home": "Home",
    "end": "End",
    "up": "Up",
    "down": "Down",
    "left": "Left",
    "right": "Right",
    "capslock": "Caps_Lock",
    "numlock": "Num_Lock",
    "printscreen": "Print",
    "print": "Print",
    "menu": "Menu",
    "pause": "Pause",
    "minus": "minus",
    "plus": "plus",
    "equal": "equal",
}

# Characters of typed text that are keys rather than symbols.
_TYPED_CONTROLS = {"\n": "Return", "\r": "Return", "\t": "Tab", "\b": "BackSpace", "\x1b": "Escape"}

_TYPE_CHUNK = 50  # characters sent between two flushes of the X connection
_TYPE_CHUNK_PAUSE = 0.012  # seconds between chunks, so slow clients keep up
_REMAP_SETTLE = 0.03  # seconds for clients to fetch a changed keymap before keys come
_DRAG_STEPS = 10  # intermediate pointer positions of a drag
_MAX_DURATION = 100.0  # seconds: the longest hold_key or wait
_MAX_SCROLL = 100  # wheel clicks in one scroll
_MAX_REPEAT = 100  # presses of one key sequence

COMPUTER_20250124 = "computer_20250124"
COMPUTER_20251124 = "computer_20251124"
COMPUTER_TOOLSET = "computer_toolset_20260801"
TOOL_VERSIONS = (COMPUTER_20250124, COMPUTER_20251124, COMPUTER_TOOLSET)

# The parameters each action takes, per tool version, from the version's schema. The two single
# tools share one flat schema (every parameter optional, each meaningful for some actions); the
# toolset gives every member its own, which adds `repeat` to `key` and modifier keys to a drag,
# and takes no coordinate for pressing or releasing the button.
_CLICK = frozenset({"coordinate", "text"})
_ACTIONS_20250124: dict[str, frozenset[str]] = {
    "screenshot": frozenset(),
    "cursor_position": frozenset(),
    "key": frozenset({"text"}),
    "type": frozenset({"text"}),
    "mouse_move": frozenset({"coordinate"}),
    "left_click": _CLICK,
    "right_click": _CLICK,
    "middle_click": _CLICK,
    "double_click": _CLICK,
    "triple_click": _CLICK,
    "left_click_drag": frozenset({"start_coordinate", "coordinate"}),
    "left_mouse_down": frozenset({"coordinate"}),
    "left_mouse_up": frozenset({"coordinate"}),
    "scroll": frozenset({"coordinate", "scroll_direction", "scroll_amount", "text"}),
    "hold_key": frozenset({"text", "duration"}),
    "wait": frozenset({"duration"}),
}
_ACTIONS = {
    COMPUTER_20250124: _ACTIONS_20250124,
    COMPUTER_20251124: {**_ACTIONS_20250124, "zoom": frozenset({"region"})},
    COMPUTER_TOOLSET: {
        **_ACTIONS_20250124,
        "zoom": frozenset({"region"}),
        "key": frozenset({"text", "repeat"}),
        "left_click_drag": frozenset({"start_coordinate", "coordinate", "text"}),
        "left_mouse_down": frozenset(),
        "left_mouse_up": frozenset(),
    },
}

# Screenshots are sent as WebP at this quality (see the README: measured against PNG and JPEG on
# a busy desktop, it keeps 8-point text legible at a fraction of PNG's size, which is what lets a
# long task's history of screenshots stay under the request limit).
SCREENSHOT_FORMAT = ("image/webp", {"format": "WEBP", "quality": 85, "method": 4})


class ActionError(Exception):
    """A request the executor refuses; its message goes to the model as an "error" outcome."""


def fit_size(width: int, height: int, box: tuple[int, int]) -> tuple[int, int]:
    """The size the model sees: the screen scaled to fit `box`, aspect kept, never enlarged."""
    scale = min(1.0, box[0] / width, box[1] / height)
    return max(1, round(width * scale)), max(1, round(height * scale))


def _finite_numbers(value: Any, count: int) -> bool:
    """Whether `value` is a list or tuple of `count` finite numbers (bools are not numbers)."""
    return (
        isinstance(value, (list, tuple))
        and len(value) == count
        and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
            for v in value
        )
    )


def _error(message: str) -> dict[str, Any]:
    return {"type": "error", "error": message}


def _text(message: str) -> dict[str, Any]:
    return {"type": "text", "text": message}


class ComputerUseExecutor:
    """Carries out the `computer` tool's actions on an X11 display.

    `display` names the X display (default: $DISPLAY when the first action runs); `max_size`
    is the box the model's view of the screen must fit in; `tool_version` is the version of the
    computer tool that the definition declares and whose actions are accepted (the agent sets
    it to its model's version before it asks for the definition).
    """

    def __init__(
        self,
        display: str | None = None,
        max_size: tuple[int, int] = (1280, 800),
        tool_version: str = COMPUTER_20250124,
    ):
        self._display_name = display
        self._max_size = (int(max_size[0]), int(max_size[1]))
        self._tool_version = _check_version(tool_version)
        self._dpy = None
        self._screen_size = (0, 0)  # real screen, pixels
        self._model_size = (0, 0)  # what the model sees
        # Keycodes with no symbols, free to bind; and those bound to characters the keymap
        # lacks (keysym -> keycode, least recently used first).
        self._spare_keycodes: list[int] = []
        self._remapped: dict[int, int] = {}
        self._lock = threading.Lock()

    # ---- connection -----------------------------------------------------------------------

    def _connect(self):
        if self._dpy is not None:
            return self._dpy
        name = self._display_name or os.environ.get("DISPLAY")
        if not name:
            raise ActionError("No display: DISPLAY is not set, so there is no screen to act on")
        try:
            from Xlib import XK
            from Xlib import display as xdisplay
            from Xlib.ext import xtest  # noqa: F401  (registers the XTest requests)
        except ImportError as exc:
            raise ActionError(f"No display support: python-xlib is not installed ({exc})") from exc
        try:
            dpy = xdisplay.Display(name)
        except Exception as exc:  # Xlib raises several unrelated types here
            raise ActionError(f"No display: cannot open X display {name!r} ({exc})") from exc
        try:
            if not dpy.has_extension("XTEST"):
                raise ActionError(
                    f"The X display {name!r} has no XTEST extension; "
                    "pointer and keyboard cannot be driven"
                )
            for group in (
                "xf86",
                "latin2",
                "latin3",
                "latin4",
                "greek",
                "cyrillic",
                "publishing",
                "technical",
                "special",
                "miscellany",
            ):
                XK.load_keysym_group(group)
            screen = dpy.screen()
            self._screen_size = (screen.width_in_pixels, screen.height_in_pixels)
            self._model_size = fit_size(*self._screen_size, self._max_size)
            info = dpy.display.info
            mapping = dpy.get_keyboard_mapping(
                info.min_keycode, info.max_keycode - info.min_keycode + 1
            )
        except ActionError:
            dpy.close()
            raise
        except Exception as exc:
            dpy.close()
            raise ActionError(
                f"No display: the X display {name!r} failed while connecting "
                f"({type(exc).__name__}: {exc})"
            ) from exc
        self._spare_keycodes = [
            info.min_keycode + i for i, syms in enumerate(mapping) if not any(syms)
        ]
        self._remapped = {}
        self._dpy = dpy
        return dpy

    def _disconnect(self) -> None:
        dpy, self._dpy = self._dpy, None
        if dpy is not None:
            try:
                dpy.close()
            except Exception:  # noqa: BLE001
                pass

    def close(self) -> None:
        """Give back the keycodes bound for typing and close the X connection."""
        with self._lock:
            dpy = self._dpy
            if dpy is not None and self._remapped:
                try:
                    # Let clients fetch the keymap for keys still in their queues first.
                    time.sleep(0.1)
                    for keycode in self._remapped.values():
                        dpy.change_keyboard_mapping(keycode, [(0, 0)])
                    dpy.sync()
                except Exception:  # noqa: BLE001
                    pass
            self._disconnect()

    @property
    def screen_size(self) -> tuple[int, int]:
        """The real screen's size in pixels; (0, 0) until the display has been reached."""
        return self._screen_size

    @property
    def model_size(self) -> tuple[int, int]:
        """The size the model sees; (0, 0) until the display has been reached."""
        return self._model_size

    @property
    def tool_version(self) -> str:
        """The computer tool version spoken: one of TOOL_VERSIONS."""
        return self._tool_version

    @tool_version.setter
    def tool_version(self, version: str) -> None:
        self._tool_version = _check_version(version)

    # ---- the two operations the agent calls -------------------------------------------------

    def get_tool_definition(self) -> dict[str, Any]:
        width, height = self._model_size
        if self._dpy is None:
            try:
                with self._lock:
                    self._connect()
                width, height = self._model_size
            except ActionError:
                # No display: the model still needs a tool definition; every action will
                # answer that there is no display.
                width, height = fit_size(1024, 768, self._max_size)
        version = self._tool_version
        if version == COMPUTER_TOOLSET:
            # The toolset takes no name and no display size: its coordinates are those of the
            # screenshots it is sent. Every member, zoom included, is on by default.
            return {"type": version}
        definition: dict[str, Any] = {
            "type": version,
            "name": "computer",
            "display_width_px": width,
            "display_height_px": height,
        }
        if version == COMPUTER_20251124:
            definition["enable_zoom"] = True
        return definition

    def execute_action(self, action: Any, **kwargs: Any) -> dict[str, Any]:
        actions = _ACTIONS[self._tool_version]
        if not isinstance(action, str) or action not in actions:
            return _error(f"Unknown action: {action}. Known actions: {', '.join(actions)}")
        # A parameter sent as null is a parameter not sent.
        given = {k: v for k, v in kwargs.items() if v is not None}
        unknown = [k for k in given if k not in actions[action]]
        if unknown:
            takes = ", ".join(sorted(actions[action])) or "no parameters"
            return _error(
                f"{action} does not take {', '.join(map(repr, unknown))} "
                f"({self._tool_version}); it takes {takes}"
            )
        with self._lock:
            try:
                self._connect()
                return getattr(self, "_do_" + action)(**given)
            except ActionError as exc:
                return _error(str(exc))
            except Exception as exc:  # noqa: BLE001
                # The X connection broke (server gone, protocol error): answer, reconnect later.
                self._disconnect()
                return _error(f"The X display failed during {action}: {type(exc).__name__}: {exc}")
            finally:
                self._drain_events()

    def _drain_events(self) -> None:
        # MappingNotify events arrive after every keymap change; nothing else is selected.
        dpy = self._dpy
        if dpy is None:
            return
        try:
            while dpy.pending_events():
                dpy.next_event()
        except Exception:  # noqa: BLE001
            self._disconnect()

    # ---- arguments --------------------------------------------------------------------------

    def _point(self, value: Any, name: str = "coordinate") -> tuple[int, int]:
        """A model coordinate checked and mapped to the real screen."""
        if not _finite_numbers(value, 2):
            raise ActionError(f"{name} must be a list of two numbers [x, y], got {value!r}")
        x, y = value
        mw, mh = self._model_size
        if not (0 <= x < mw and 0 <= y < mh):
            raise ActionError(
                f"{name} ({_num(x)}, {_num(y)}) is outside the screen, "
                f"which is {mw}x{mh} (x from 0 to {mw - 1}, y from 0 to {mh - 1})"
            )
        sw, sh = self._screen_size
        # The centre of the model's pixel, in real pixels; exact when nothing is scaled.
        return (min(sw - 1, int((x + 0.5) * sw / mw)), min(sh - 1, int((y + 0.5) * sh / mh)))

    def _to_model(self, x: int, y: int) -> tuple[int, int]:
        sw, sh = self._screen_size
        mw, mh = self._model_size
        return (min(mw - 1, int((x + 0.5) * mw / sw)), min(mh - 1, int((y + 0.5) * mh / sh)))

    @staticmethod
    def _text_arg(text: Any, action: str) -> str:
        if text is None:
            raise ActionError(f"text is required for {action}")
        if not isinstance(text, str) or not text:
            raise ActionError(f"text for {action} must be a non-empty string, got {text!r}")
        return text

    @staticmethod
    def _duration(value: Any, action: str) -> float:
        if value is None:
            raise ActionError(f"duration (seconds) is required for {action}")
        if (
            not isinstance(value, (int, float))
            or isinstance(value, bool)
            or not math.isfinite(value)
            or not 0 <= value <= _MAX_DURATION
        ):
            raise ActionError(
                f"duration for {action} must be a number of seconds from 0 to "
                f"{_num(_MAX_DURATION)}, got {value!r}"
            )
        return float(value)

    # ---- X primitives -----------------------------------------------------------------------

    def _fake(self, event_type: int, detail: int = 0, x: int = 0, y: int = 0) -> None:
        from Xlib import X
        from Xlib.ext import xtest

        if event_type == X.MotionNotify:
            xtest.fake_input(self._dpy, X.MotionNotify, x=x, y=y, root=self._dpy.screen().root)
        else:
            xtest.fake_input(self._dpy, event_type, detail)

    def _move(self, x: int, y: int) -> None:
        from Xlib import X

        self._fake(X.MotionNotify, x=x, y=y)

    def _button(self, button: int, press: bool) -> None:
        from Xlib import X

        self._fake(X.ButtonPress if press else X.ButtonRelease, button)

    def _in_keymap(self, keysym: int) -> tuple[int, bool] | None:
        """(keycode, needs shift) when the server's own keymap has the keysym on level 1 or 2."""
        for keycode, index in self._dpy.keysym_to_keycodes(keysym):
            if index in (0, 1):
                return keycode, index == 1
        return None

    def _bind(self, keysyms: list[int]) -> None:
        """Binds spare keycodes to keysyms the keymap lacks, all at once, as xdotool does.

        Clients look a key's symbol up when they handle the key event, which may be well after
        it was sent; so bindings stay in place (least recently used ones are recycled) and,
        after a change, typing waits a moment for clients to fetch the new keymap.
        """
        wanted = [k for k in dict.fromkeys(keysyms) if k not in self._remapped]
        keep = set(keysyms)
        for keysym in keysyms:  # most recently used last
            if keysym in self._remapped:
                self._remapped[keysym] = self._remapped.pop(keysym)
        if not wanted:
            return
        recycled = False
        for keysym in wanted:
            if self._spare_keycodes:
                keycode = self._spare_keycodes.pop()
            else:
                oldest = next((k for k in self._remapped if k not in keep), None)
                if oldest is None:
                    raise ActionError(f"No keycode is free to type the symbol 0x{keysym:x}")
                if not recycled:
                    # Keys sent with the old binding may still be waiting in a client.
                    self._dpy.sync()
                    time.sleep(0.05)
                    recycled = True
                keycode = self._remapped.pop(oldest)
            # The same symbol on both levels, so a held Shift cannot change what is typed.
            self._dpy.change_keyboard_mapping(keycode, [(keysym, keysym)])
            self._remapped[keysym] = keycode
        self._dpy.sync()
        time.sleep(_REMAP_SETTLE)

    def _capacity(self) -> int:
        return len(self._spare_keycodes) + len(self._remapped)

    def _keycode_for(self, keysym: int) -> tuple[int, bool]:
        """(keycode, needs shift) for a keysym, binding a spare keycode when needed."""
        found = self._in_keymap(keysym)
        if found is not None:
            return found
        self._bind([keysym])
        return self._remapped[keysym], False

    def _keysym_for_name(self, name: str) -> int:
        from Xlib import XK

        keysym = XK.string_to_keysym(name)
        if not keysym:
            alias = _KEY_ALIASES.get(name.lower())
            if alias:
                keysym = XK.string_to_keysym(alias)
        if not keysym and len(name) == 1:
            keysym = _char_keysym(name)
        if not keysym and name[:1] in "Ff" and name[1:].isdigit():
            keysym = XK.string_to_keysym("F" + name[1:])
        if not keysym and len(name) > 1 and name[:2].lower() == "0x":
            try:
                keysym = int(name, 16)
            except ValueError:
                keysym = 0
        if not keysym:
            raise ActionError(f"Unknown key name: {name!r}")
        return keysym

    def _combo_keysyms(self, combo: str) -> list[int]:
        """The keysyms of 'ctrl+shift+t'; a trailing '++' is the plus key ("ctrl++")."""
        names = combo.split("+")
        if combo.endswith("++"):
            names = names[:-2] + ["plus"]
        if any(not n for n in names):
            raise ActionError(f"Invalid key combination: {combo!r}")
        return [self._keysym_for_name(n) for n in names]

    def _press_combo(self, combo: str) -> list[int]:
        """Presses every key of a combination in order; returns the keycodes to release.
        Every key is resolved before the first press, so a failure leaves nothing held."""
        from Xlib import X

        keys = [self._keycode_for(keysym) for keysym in self._combo_keysyms(combo)]
        shift_code = None
        if any(shift for _, shift in keys):
            shift_code = self._keycode_for(self._keysym_for_name("Shift_L"))[0]
        codes: list[int] = []
        for keycode, shift in keys:
            if shift and shift_code not in codes:
                self._fake(X.KeyPress, shift_code)
                codes.append(shift_code)
            self._fake(X.KeyPress, keycode)
            codes.append(keycode)
        return codes

    def _release(self, codes: list[int]) -> None:
        from Xlib import X

        for keycode in reversed(codes):
            self._fake(X.KeyRelease, keycode)

    def _with_modifiers(self, text: Any, action: str, body) -> None:
        """Runs `body` with the keys of `text` ("shift", "ctrl+alt") held down."""
        if text is None:
            body()
            return
        combo = self._text_arg(text, action)
        codes = self._press_combo(combo)
        try:
            body()
        finally:
            self._release(codes)

    # ---- actions ----------------------------------------------------------------------------

    def _grab(self, box: tuple[int, int, int, int], size: tuple[int, int]):
        """The real screen's pixels in `box` (x0, y0, x1, y1), scaled to `size`."""
        from PIL import Image
        from Xlib import X

        info = self._dpy.display.info
        depth = self._dpy.screen().root_depth
        bpp = next((f.bits_per_pixel for f in info.pixmap_formats if f.depth == depth), 0)
        if depth not in (24, 32) or bpp != 32:
            raise ActionError(
                f"Screenshots need a 24-bit display; this one has depth {depth} "
                f"at {bpp} bits per pixel"
            )
        raw_mode = "BGRX" if info.image_byte_order == X.LSBFirst else "XRGB"
        x0, y0, x1, y1 = box
        image = self._dpy.screen().root.get_image(x0, y0, x1 - x0, y1 - y0, X.ZPixmap, 0xFFFFFFFF)
        picture = Image.frombuffer("RGB", (x1 - x0, y1 - y0), image.data, "raw", raw_mode, 0, 1)
        if picture.size != size:
            picture = picture.resize(size, Image.Resampling.LANCZOS)
        return picture

    @staticmethod
    def _image(picture) -> dict[str, Any]:
        media_type, options = SCREENSHOT_FORMAT
        out = io.BytesIO()
        picture.save(out, **options)
        return {
            "type": "image",
            "media_type": media_type,
            "base64": base64.b64encode(out.getvalue()).decode("ascii"),
        }

    def _do_screenshot(self, **_ignored: Any) -> dict[str, Any]:
        sw, sh = self._screen_size
        return self._image(self._grab((0, 0, sw, sh), self._model_size))

    def _do_zoom(self, region: Any = None, **_: Any) -> dict[str, Any]:
        """The region (x0, y0, x1, y1 in the model's view) of the real screen at full
        resolution, scaled to fit the model's view; later coordinates still mean the screen."""
        if region is None:
            raise ActionError("region [x0, y0, x1, y1] is required for zoom")
        if not _finite_numbers(region, 4):
            raise ActionError(
                f"region must be a list of four numbers [x0, y0, x1, y1], got {region!r}"
            )
        x0, y0, x1, y1 = region
        mw, mh = self._model_size
        if x1 <= x0 or y1 <= y0:
            raise ActionError(
                f"region {_box(region)} is empty or inverted: x1 must be greater "
                f"than x0 and y1 greater than y0"
            )
        if x0 < 0 or y0 < 0 or x1 > mw or y1 > mh:
            raise ActionError(
                f"region {_box(region)} is outside the screen, which is {mw}x{mh} "
                f"(x from 0 to {mw}, y from 0 to {mh})"
            )
        sw, sh = self._screen_size
        box = (
            max(0, math.floor(x0 * sw / mw)),
            max(0, math.floor(y0 * sh / mh)),
            min(sw, math.ceil(x1 * sw / mw)),
            min(sh, math.ceil(y1 * sh / mh)),
        )
        width, height = box[2] - box[0], box[3] - box[1]
        scale = min(mw / width, mh / height)
        size = (max(1, round(width * scale)), max(1, round(height * scale)))
        return self._image(self._grab(box, size))

    def _do_cursor_position(self, **_ignored: Any) -> dict[str, Any]:
        pointer = self._dpy.screen().root.query_pointer()
        x, y = self._to_model(pointer.root_x, pointer.root_y)
        return _text(f"X={x},Y={y}")

    def _do_mouse_move(self, coordinate: Any = None, **_ignored: Any) -> dict[str, Any]:
        if coordinate is None:
            raise ActionError("coordinate is required for mouse_move")
        self._move(*self._point(coordinate))
        self._dpy.sync()
        return _text(f"Moved the pointer to ({_num(coordinate[0])}, {_num(coordinate[1])})")

    def _click(
        self, button: str, count: int, coordinate: Any, text: Any, action: str
    ) -> dict[str, Any]:
        target = self._point(coordinate) if coordinate is not None else None

        def body() -> None:
            if target is not None:
                self._move(*target)
            for _ in range(count):
                self._button(_BUTTONS[button], True)
                self._button(_BUTTONS[button], False)

        self._with_modifiers(text, action, body)
        self._dpy.sync()
        where = (
            f" at ({_num(coordinate[0])}, {_num(coordinate[1])})"
            if target is not None
            else " at the pointer"
        )
        what = {1: "Clicked", 2: "Double-clicked", 3: "Triple-clicked"}[count]
        return _text(f"{what} the {button} button{where}")

    def _do_left_click(self, coordinate: Any = None, text: Any = None, **_: Any):
        return self._click("left", 1, coordinate, text, "left_click")

    def _do_right_click(self, coordinate: Any = None, text: Any = None, **_: Any):
        return self._click("right", 1, coordinate, text, "right_click")

    def _do_middle_click(self, coordinate: Any = None, text: Any = None, **_: Any):
        return self._click("middle", 1, coordinate, text, "middle_click")

    def _do_double_click(self, coordinate: Any = None, text: Any = None, **_: Any):
        return self._click("left", 2, coordinate, text, "double_click")

    def _do_triple_click(self, coordinate: Any = None, text: Any = None, **_: Any):
        return self._click("left", 3, coordinate, text, "triple_click")

    def _do_left_click_drag(
        self, start_coordinate: Any = None, coordinate: Any = None, text: Any = None, **_: Any
    ) -> dict[str, Any]:
        if start_coordinate is None or coordinate is None:
            raise ActionError("left_click_drag needs start_coordinate and coordinate")
        x0, y0 = self._point(start_coordinate, "start_coordinate")
        x1, y1 = self._point(coordinate)

        def body() -> None:
            self._move(x0, y0)
            self._dpy.sync()
            self._button(1, True)
            # Intermediate motion, so toolkits see a drag rather than a jump.
            for step in range(1, _DRAG_STEPS + 1):
                self._move(
                    x0 + (x1 - x0) * step // _DRAG_STEPS, y0 + (y1 - y0) * step // _DRAG_STEPS
                )
                self._dpy.sync()
                time.sleep(0.005)
            self._button(1, False)

        self._with_modifiers(text, "left_click_drag", body)
        self._dpy.sync()
        return _text(
            f"Dragged from ({_num(start_coordinate[0])}, {_num(start_coordinate[1])}) "
            f"to ({_num(coordinate[0])}, {_num(coordinate[1])})"
        )

    def _do_left_mouse_down(self, coordinate: Any = None, **_: Any) -> dict[str, Any]:
        if coordinate is not None:
            self._move(*self._point(coordinate))
        self._button(1, True)
        self._dpy.sync()
        return _text("Pressed the left button")

    def _do_left_mouse_up(self, coordinate: Any = None, **_: Any) -> dict[str, Any]:
        if coordinate is not None:
            self._move(*self._point(coordinate))
        self._button(1, False)
        self._dpy.sync()
        return _text("Released the left button")

    def _do_scroll(
        self,
        coordinate: Any = None,
        scroll_direction: Any = None,
        scroll_amount: Any = None,
        text: Any = None,
        **_: Any,
    ) -> dict[str, Any]:
        if scroll_direction not in _SCROLL_BUTTONS:
            raise ActionError(
                f"scroll_direction must be one of up, down, left, right, got {scroll_direction!r}"
            )
        if scroll_amount is None:
            raise ActionError("scroll_amount (wheel clicks) is required for scroll")
        if (
            not isinstance(scroll_amount, int)
            or isinstance(scroll_amount, bool)
            or not 0 <= scroll_amount <= _MAX_SCROLL
        ):
            raise ActionError(
                f"scroll_amount must be a whole number from 0 to {_MAX_SCROLL}, "
                f"got {scroll_amount!r}"
            )
        target = self._point(coordinate) if coordinate is not None else None
        button = _SCROLL_BUTTONS[scroll_direction]

        def body() -> None:
            if target is not None:
                self._move(*target)
            for _ in range(scroll_amount):
                self._button(button, True)
                self._button(button, False)

        self._with_modifiers(text, "scroll", body)
        self._dpy.sync()
        return _text(f"Scrolled {scroll_direction} by {scroll_amount}")

    def _do_key(self, text: Any = None, repeat: Any = None, **_: Any) -> dict[str, Any]:
        keys = self._text_arg(text, "key").split()
        if not keys:
            raise ActionError("text for key must name at least one key")
        times = 1 if repeat is None else repeat
        if not isinstance(times, int) or isinstance(times, bool) or not 1 <= times <= _MAX_REPEAT:
            raise ActionError(
                f"repeat for key must be a whole number from 1 to {_MAX_REPEAT}, got {repeat!r}"
            )
        # Resolve every name first: an unknown one must not leave half a sequence typed.
        for combo in keys:
            self._combo_keysyms(combo)
        for _ in range(times):
            for combo in keys:
                self._release(self._press_combo(combo))
                self._dpy.sync()
        pressed = " ".join(keys)
        return _text(f"Pressed {pressed}" + (f" {times} times" if times > 1 else ""))

    def _do_hold_key(self, text: Any = None, duration: Any = None, **_: Any) -> dict[str, Any]:
        combo = self._text_arg(text, "hold_key")
        seconds = self._duration(duration, "hold_key")
        codes = self._press_combo(combo)
        try:
            self._dpy.sync()
            time.sleep(seconds)
        finally:
            self._release(codes)
            self._dpy.sync()
        return _text(f"Held {combo} for {_num(seconds)} s")

    def _do_wait(self, duration: Any = None, **_: Any) -> dict[str, Any]:
        seconds = self._duration(duration, "wait")
        time.sleep(seconds)
        return _text(f"Waited {_num(seconds)} s")

    def _do_type(self, text: Any = None, **_: Any) -> dict[str, Any]:
        from Xlib import X

        text = self._text_arg(text, "type")
        text = text.replace("\r\n", "\n")
        keysyms = []
        for ch in text:
            if ch in _TYPED_CONTROLS:
                keysyms.append(self._keysym_for_name(_TYPED_CONTROLS[ch]))
            else:
                keysym = _char_keysym(ch)
                if not keysym:
                    raise ActionError(f"Cannot type the character {ch!r}")
                keysyms.append(keysym)
        shift = self._keycode_for(self._keysym_for_name("Shift_L"))[0]
        # Chunks of at most _TYPE_CHUNK characters that need no more bindings than there are
        # keycodes to bind, so a binding is never recycled within the chunk that uses it.
        capacity = self._capacity()
        chunks: list[list[int]] = [[]]
        unbound: set[int] = set()
        for keysym in keysyms:
            missing = self._in_keymap(keysym) is None
            if len(chunks[-1]) >= _TYPE_CHUNK or (
                missing and keysym not in unbound and len(unbound) >= capacity
            ):
                chunks.append([])
                unbound = set()
            chunks[-1].append(keysym)
            if missing:
                unbound.add(keysym)
        for chunk in chunks:
            self._bind([k for k in chunk if self._in_keymap(k) is None])
            for keysym in chunk:
                keycode, needs_shift = self._in_keymap(keysym) or (self._remapped[keysym], False)
                if needs_shift:
                    self._fake(X.KeyPress, shift)
                self._fake(X.KeyPress, keycode)
                self._fake(X.KeyRelease, keycode)
                if needs_shift:
                    self._fake(X.KeyRelease, shift)
            self._dpy.sync()
            time.sleep(_TYPE_CHUNK_PAUSE)
        return _text(f"Typed {len(text)} characters")


def _char_keysym(ch: str) -> int:
    """The X keysym of one character: Latin-1 keysyms equal the code point; others use the
    Unicode keysym range (0x01000000 + code point), which every modern client understands."""
    code = ord(ch)
    if 0x20 <= code <= 0x7E or 0xA0 <= code <= 0xFF:
        return code
    if code < 0x20 or 0x7F <= code < 0xA0 or 0xD800 <= code <= 0xDFFF:
        return 0
    return 0x01000000 | code


def _num(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else str(value)


def _box(region: Any) -> str:
    return "[" + ", ".join(_num(v) for v in region) + "]"


def _check_version(version: Any) -> str:
    if not isinstance(version, str):
        raise TypeError(f"tool_version must be str, not {type(version).__name__}")
    if version not in TOOL_VERSIONS:
        raise ValueError(
            f"unknown computer tool version {version!r}; known versions: {', '.join(TOOL_VERSIONS)}"
        )
    return version
