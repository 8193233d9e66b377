"""The demo's own small X window: the scripted agent clicks into it and types, and it shows
(and records) what arrived, so the demo never types into a window of the user's."""

from __future__ import annotations

import threading
from typing import Self

WIDTH, HEIGHT = 520, 140
TITLE = "talmek demo: the agent clicks here and types"


class DemoWindow:
    """A window served by a thread on its own X connection; `text` is what was typed into it."""

    def __init__(self, display_name: str | None = None):
        # Two threads share this connection (the event thread and the caller of centre and
        # close): python-xlib only locks its connection state once this module is imported.
        import Xlib.threaded  # noqa: F401
        from Xlib import X
        from Xlib import display as xdisplay

        self._X = X
        self._dpy = xdisplay.Display(display_name)
        screen = self._dpy.screen()
        x = max(0, (screen.width_in_pixels - WIDTH) // 2)
        y = max(0, (screen.height_in_pixels - HEIGHT) // 2)
        self._window = screen.root.create_window(
            x,
            y,
            WIDTH,
            HEIGHT,
            2,
            screen.root_depth,
            X.InputOutput,
            X.CopyFromParent,
            background_pixel=screen.white_pixel,
            border_pixel=screen.black_pixel,
            event_mask=(
                X.ExposureMask | X.KeyPressMask | X.ButtonPressMask | X.StructureNotifyMask
            ),
        )
        self._window.set_wm_name(TITLE)
        self._gc = self._window.create_gc(
            foreground=screen.black_pixel, background=screen.white_pixel
        )
        # A Unicode font shows every typed character; the server's built-in "fixed" is the
        # fallback every X server has.
        self._wide = False
        for name in (
            "-misc-fixed-medium-r-normal--18-*-*-*-*-*-iso10646-1",
            "-misc-fixed-medium-r-normal--*-*-*-*-*-*-iso10646-1",
        ):
            if self._dpy.list_fonts(name, 1):
                self._gc.change(font=self._dpy.open_font(name))
                self._wide = True
                break
        else:
            self._gc.change(font=self._dpy.open_font("fixed"))
        self.text = ""
        self.clicks = 0
        self._lock = threading.Lock()
        self._closing = False
        self._window.map()
        self._dpy.sync()
        self._thread = threading.Thread(target=self._serve, daemon=True, name="demo-window")
        self._thread.start()

    def centre(self) -> tuple[int, int]:
        """The window's centre in root coordinates (a window manager may have moved it)."""
        with self._lock:
            origin = self._window.translate_coords(self._dpy.screen().root, 0, 0)
            return -origin.x + WIDTH // 2, -origin.y + HEIGHT // 2

    def _serve(self) -> None:
        X = self._X
        from Xlib import XK

        while True:
            event = self._dpy.next_event()
            with self._lock:
                if self._closing:
                    return
                if event.type == X.MappingNotify:
                    self._dpy.refresh_keyboard_mapping(event)
                elif event.type == X.ButtonPress:
                    self.clicks += 1
                elif event.type == X.KeyPress:
                    shifted = 1 if event.state & X.ShiftMask else 0
                    keysym = self._dpy.keycode_to_keysym(event.detail, shifted)
                    if keysym == XK.XK_BackSpace:
                        self.text = self.text[:-1]
                    elif 0x20 <= keysym <= 0xFF:
                        self.text += chr(keysym)
                    elif (keysym & 0xFF000000) == 0x01000000:
                        self.text += chr(keysym & 0xFFFFFF)
                    else:
                        continue
                    self._draw()
                elif event.type == X.Expose and event.count == 0:
                    self._draw()

    def _draw(self) -> None:
        self._window.clear_area()
        self._put(12, 30, TITLE)
        self._put(12, 80, "> " + self.text)
        self._dpy.flush()

    def _put(self, x: int, y: int, text: str) -> None:
        if self._wide:
            self._window.image_text_16(self._gc, x, y, [min(ord(c), 0xFFFD) for c in text])
        else:
            shown = "".join(c if ord(c) < 0x100 else "?" for c in text)
            self._window.image_text(self._gc, x, y, shown.encode("latin-1"))

    def close(self) -> None:
        with self._lock:
            self._closing = True
            self._window.destroy()
            self._dpy.sync()
        # The DestroyNotify wakes the thread, which then sees the flag and ends.
        self._thread.join(timeout=2)
        self._dpy.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
