"""A busy desktop for measuring screenshots: a photographic wallpaper and four overlapping windows
with small text (source code, a table of figures, a page with a photo, a file list).

Run with an interpreter that has tkinter: `python busy_desktop.py WIDTH HEIGHT WALLPAPER PHOTO
SOURCE`, where WALLPAPER and PHOTO are PNG files (see `make_photo`) and SOURCE is a text file
shown in the editor window. It prints one JSON line {"ready": true} once everything is drawn,
then waits until its standard input closes.

`make_photo` runs in the test interpreter (it needs Pillow): fractal noise in colour, with the
fine detail and smooth gradients that make real photographs hard to compress.
"""

from __future__ import annotations

import json
import sys


def make_photo(path, size, seed):
    """Writes a photograph-like PNG of `size` to `path`."""
    import random

    from PIL import Image, ImageFilter

    rng = random.Random(seed)
    width, height = size
    layers = []
    for channel in range(3):
        total = Image.new("L", size, 128)
        for octave, weight in ((64, 0.5), (16, 0.3), (4, 0.15), (1, 0.05)):
            small = Image.effect_noise(
                (max(1, width // octave), max(1, height // octave)), 60 + 20 * channel
            )
            small = small.resize(size, Image.Resampling.BICUBIC)
            if octave > 1:
                small = small.filter(ImageFilter.GaussianBlur(octave / 2))
            total = Image.blend(total, small, weight * 2 if octave == 64 else weight)
        layers.append(total)
    picture = Image.merge("RGB", layers)
    # A horizon and a few bright shapes, as in a landscape or a product shot.
    sky = Image.linear_gradient("L").resize(size).point(lambda v: 255 - v)
    picture = Image.composite(picture, Image.new("RGB", size, (90, 140, 210)), sky)
    from PIL import ImageDraw

    draw = ImageDraw.Draw(picture)
    for _ in range(12):
        x, y = rng.randrange(width), rng.randrange(height)
        r = rng.randrange(8, max(9, min(size) // 6))
        draw.ellipse(
            (x - r, y - r, x + r, y + r),
            fill=(rng.randrange(256), rng.randrange(256), rng.randrange(256)),
        )
    picture = picture.filter(ImageFilter.GaussianBlur(1.2))
    picture.save(path, format="PNG")


def main() -> None:
    import tkinter as tk

    width, height = int(sys.argv[1]), int(sys.argv[2])
    wallpaper_file, photo_file, source_file = sys.argv[3], sys.argv[4], sys.argv[5]
    root = tk.Tk()
    root.overrideredirect(True)
    root.geometry(f"{width}x{height}+0+0")
    wallpaper = tk.PhotoImage(file=wallpaper_file)
    back = tk.Canvas(root, highlightthickness=0)
    back.place(x=0, y=0, width=width, height=height)
    back.create_image(0, 0, image=wallpaper, anchor="nw")
    # Desktop icons with their labels.
    for i, name in enumerate(["Documents", "Downloads", "Pictures", "Music", "Trash"]):
        y = 20 + i * 80
        back.create_rectangle(
            20,
            y,
            68,
            y + 44,
            fill=["#d9a441", "#4a90d9", "#7bb661", "#c76bd1", "#8c8c8c"][i],
            outline="white",
        )
        back.create_text(44, y + 56, text=name, fill="white", font=("DejaVu Sans", 8))

    def window(title, x, y, w, h):
        frame = tk.Frame(root, background="#3c3f41", borderwidth=1, relief="solid")
        frame.place(x=x, y=y, width=w, height=h)
        bar = tk.Label(
            frame,
            text=title,
            anchor="w",
            background="#2b2d30",
            foreground="#e0e0e0",
            font=("DejaVu Sans", 9, "bold"),
        )
        bar.place(x=0, y=0, width=w, height=22)
        body = tk.Frame(frame, background="white")
        body.place(x=0, y=22, width=w - 2, height=h - 24)
        return body

    # An editor with source code in a small monospaced font, and line numbers.
    editor = window(
        "computer_use.py - Editor",
        int(width * 0.05),
        int(height * 0.06),
        int(width * 0.45),
        int(height * 0.62),
    )
    source = open(source_file, encoding="utf-8").read().splitlines()[:200]
    numbers = tk.Text(
        editor,
        width=4,
        font=("DejaVu Sans Mono", 8),
        background="#f0f0f0",
        foreground="#999999",
        borderwidth=0,
    )
    numbers.pack(side="left", fill="y")
    code = tk.Text(editor, font=("DejaVu Sans Mono", 8), borderwidth=0, wrap="none")
    code.pack(side="left", fill="both", expand=True)
    code.tag_configure("keyword", foreground="#0033b3")
    code.tag_configure("string", foreground="#067d17")
    code.tag_configure("comment", foreground="#8c8c8c")
    for number, line in enumerate(source, 1):
        numbers.insert("end", f"{number}\n")
        tag = (
            "comment"
            if line.lstrip().startswith("#")
            else "string"
            if '"' in line
            else "keyword"
            if line.lstrip().startswith(("def ", "class ", "import ", "from ", "return ", "if "))
            else ""
        )
        code.insert("end", line + "\n", tag)

    # A table of figures on a canvas: grid lines and small numbers.
    sheet = window(
        "Quarterly figures.ods - Spreadsheet",
        int(width * 0.40),
        int(height * 0.45),
        int(width * 0.55),
        int(height * 0.45),
    )
    grid = tk.Canvas(sheet, background="white", highlightthickness=0)
    grid.pack(fill="both", expand=True)
    columns, rows = 9, 22
    for r in range(rows):
        for c in range(columns):
            x, y = c * 72, r * 16
            fill = "#dde6f0" if r == 0 or c == 0 else ("white" if r % 2 else "#f6f8fa")
            grid.create_rectangle(x, y, x + 72, y + 16, fill=fill, outline="#c0c0c0")
            label = (
                chr(64 + c)
                if r == 0 and c
                else str(r)
                if c == 0 and r
                else ""
                if r == 0
                else f"{(r * 7919 + c * 104729) % 100000 / 100:,.2f}"
            )
            grid.create_text(
                x + 68 if c else x + 36,
                y + 8,
                text=label,
                anchor="e" if c else "center",
                font=("DejaVu Sans", 7),
            )

    # A page with a headline, paragraphs, links and a photo.
    page = window(
        "News - Browser",
        int(width * 0.52),
        int(height * 0.04),
        int(width * 0.45),
        int(height * 0.50),
    )
    text = tk.Text(page, wrap="word", borderwidth=0, font=("DejaVu Serif", 9), padx=8, pady=6)
    text.pack(fill="both", expand=True)
    text.tag_configure("h1", font=("DejaVu Sans", 15, "bold"))
    text.tag_configure("link", foreground="#1a0dab", underline=True)
    photo = tk.PhotoImage(file=photo_file)
    text.insert("end", "Regional rail line reopens after two-year rebuild\n", "h1")
    text.image_create("end", image=photo)
    text.insert(
        "end",
        "\nPassengers returned on Monday to the valley line, which closed in "
        "the spring of last year for new bridges, signals and platforms. ",
    )
    text.insert("end", "Timetable and fares", "link")
    text.insert("end", " · ")
    text.insert("end", "Map of the works", "link")
    text.insert(
        "end",
        "\n\n"
        + " ".join(
            "The operator said trains would run every thirty minutes on weekdays and hourly on "
            "Sundays, with the first departure at 05:42 and the last at 23:17."
            for _ in range(4)
        ),
    )

    # A file list with sizes and dates.
    files = window(
        "Downloads - Files",
        int(width * 0.10),
        int(height * 0.58),
        int(width * 0.28),
        int(height * 0.38),
    )
    listing = tk.Listbox(files, font=("DejaVu Sans Mono", 8), borderwidth=0)
    listing.pack(fill="both", expand=True)
    for i in range(40):
        listing.insert(
            "end",
            f"report-{2020 + i % 6}-{i:02d}.pdf   {(i * 37) % 900 + 12:>4} KB  "
            f"2026-{1 + i % 12:02d}-{1 + i % 28:02d}",
        )

    def ready():
        root.update_idletasks()
        root.update()
        print(json.dumps({"ready": True}), flush=True)

    def finish(*_):
        if not sys.stdin.readline():
            root.destroy()

    root.tk.createfilehandler(sys.stdin, tk.READABLE, finish)
    root.after(300, ready)
    root.mainloop()


if __name__ == "__main__":
    main()
