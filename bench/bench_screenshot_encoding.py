"""Screenshot encodings of a busy desktop: size, encoding time and fidelity, PNG as the baseline.

Every request of a task re-sends every earlier screenshot, and the Messages API refuses requests
over 32 MB, so the size of one screenshot bounds how long a task can run. This starts a private
Xvfb, draws the busy desktop of tests/desktop/busy_desktop.py (a photographic wallpaper and four
windows with small text), grabs the screen through the executor's own path (X GetImage, Lanczos
scaling to the model's view) and encodes the same picture several ways:

    .venv/bin/python bench/bench_screenshot_encoding.py            # 1280x800 and 1920x1200
    .venv/bin/python bench/bench_screenshot_encoding.py --save DIR  # also keep each image

For each encoding it prints the bytes of the image, the base64 bytes fifty of them add to a
request, the encoding time as a ratio to PNG's in the same run, and the PSNR against the exact
picture (over the whole image and over the editor window's small text alone).
"""

from __future__ import annotations

import argparse
import base64
import io
import math
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "desktop"))

from desktop_support import BusyDesktop, python_with_tk, start_xvfb, stop_xvfb  # noqa: E402

ENCODINGS = [
    ("PNG", {"format": "PNG", "compress_level": 6}),
    ("PNG optimize", {"format": "PNG", "optimize": True}),
    ("WebP lossless", {"format": "WEBP", "lossless": True, "quality": 80, "method": 4}),
    ("JPEG q75", {"format": "JPEG", "quality": 75}),
    ("JPEG q85", {"format": "JPEG", "quality": 85}),
    ("JPEG q85 4:4:4", {"format": "JPEG", "quality": 85, "subsampling": 0}),
    ("JPEG q90 4:4:4", {"format": "JPEG", "quality": 90, "subsampling": 0}),
    ("WebP q75", {"format": "WEBP", "quality": 75, "method": 4}),
    ("WebP q85", {"format": "WEBP", "quality": 85, "method": 4}),
    ("WebP q90", {"format": "WEBP", "quality": 90, "method": 4}),
]


def psnr(a, b) -> float:
    from PIL import ImageChops, ImageStat

    diff = ImageChops.difference(a.convert("RGB"), b.convert("RGB"))
    mse = statistics.mean(v * v for v in ImageStat.Stat(diff).rms)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)


def grab(screen: tuple[int, int]):
    """The picture the executor sends: the whole screen, scaled to fit 1280x800."""
    from PIL import Image

    from talmek.pc.computer_use import ComputerUseExecutor

    executor = ComputerUseExecutor()
    try:
        executor.execute_action("cursor_position")  # connects
        return executor._grab((0, 0, *screen), executor.model_size)
    finally:
        executor.close()
    return Image.new("RGB", (1, 1))


def measure(screen: tuple[int, int], runs: int, save: Path | None) -> None:
    python = python_with_tk()
    if python is None:
        sys.exit("no Python interpreter with tkinter (Debian package python3-tk)")
    started = start_xvfb(f"{screen[0]}x{screen[1]}x24")
    if started is None:
        sys.exit("Xvfb did not start")
    server, name = started
    os.environ["DISPLAY"] = name
    try:
        with tempfile.TemporaryDirectory() as scratch:
            desktop = BusyDesktop(python, screen, Path(scratch))
            try:
                time.sleep(0.5)
                picture = grab(screen)
            finally:
                desktop.close()
    finally:
        stop_xvfb(server)
    # The editor window's text, in the model's view: the hardest part to keep readable.
    w, h = picture.size
    text_box = (int(w * 0.05) + 40, int(h * 0.06) + 30, int(w * 0.50), int(h * 0.60))
    print(f"\nscreen {screen[0]}x{screen[1]} -> model view {w}x{h}")
    print(
        f"{'encoding':<16}{'KB':>8}{'50 steps MB':>13}{'time/PNG':>10}{'PSNR dB':>9}{'text dB':>9}"
    )
    png_time = None
    for label, options in ENCODINGS:
        times = []
        for _ in range(runs):
            out = io.BytesIO()
            start = time.perf_counter()
            picture.save(out, **options)
            times.append(time.perf_counter() - start)
        data = out.getvalue()
        took = statistics.median(times)
        png_time = png_time or took
        from PIL import Image

        decoded = Image.open(io.BytesIO(data))
        fifty = 50 * len(base64.b64encode(data)) / 1e6
        print(
            f"{label:<16}{len(data) / 1024:>8.0f}{fifty:>13.1f}{took / png_time:>10.2f}"
            f"{psnr(picture, decoded):>9.1f}"
            f"{psnr(picture.crop(text_box), decoded.crop(text_box)):>9.1f}"
        )
        if save:
            save.mkdir(parents=True, exist_ok=True)
            suffix = {"PNG": "png", "JPEG": "jpg", "WEBP": "webp"}[options["format"]]
            (save / f"{screen[0]}x{screen[1]}-{label.replace(' ', '_')}.{suffix}").write_bytes(data)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="encodings timed per format")
    parser.add_argument("--save", type=Path, help="directory to keep the encoded images in")
    args = parser.parse_args()
    for screen in ((1280, 800), (1920, 1200)):
        measure(screen, args.runs, args.save)


if __name__ == "__main__":
    main()
