"""getPixel/putPixel from a Python loop over a 1000 x 1000 image, against Pillow's getpixel/
putpixel, Pillow's pixel-access object (im.load()[x, y]) and a plain Python function reading
the same three bytes from a bytearray. Runs are interleaved (A B C ... A B C ...) and the
median of several rounds is reported.

    python bench/bench_pixels.py [--size 1000] [--rounds 7]
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time
from typing import Callable

from Vorlanx.simpleImage_ext import SimpleImage


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    n = args.size
    data = bytes((i * 7) & 255 for i in range(n * n * 3))
    img = SimpleImage(n, n, data)
    raw = bytearray(data)
    coords = [(x, y) for y in range(n) for x in range(n)]

    def si_get() -> None:
        for c in coords:
            img.getPixel(c)

    def si_put() -> None:
        for c in coords:
            img.putPixel(c, (1, 2, 3))

    def py_get() -> None:
        def pixel(buf: bytearray, width: int, x: int, y: int) -> tuple[int, int, int]:
            i = (y * width + x) * 3
            return buf[i], buf[i + 1], buf[i + 2]
        for x, y in coords:
            pixel(raw, n, x, y)

    cases: dict[str, Callable[[], None]] = {
        "SimpleImage.getPixel": si_get,
        "SimpleImage.putPixel": si_put,
        "plain Python bytearray read": py_get,
    }
    try:
        from PIL import Image
        pim = Image.frombytes("RGB", (n, n), data)
        px = pim.load()

        def pil_get() -> None:
            for c in coords:
                pim.getpixel(c)

        def pil_put() -> None:
            for c in coords:
                pim.putpixel(c, (1, 2, 3))

        def pil_px_get() -> None:
            for c in coords:
                px[c]

        def pil_px_put() -> None:
            for c in coords:
                px[c] = (1, 2, 3)

        cases.update({
            "Pillow getpixel": pil_get,
            "Pillow putpixel": pil_put,
            "Pillow im.load()[x, y] read": pil_px_get,
            "Pillow im.load()[x, y] = write": pil_px_put,
        })
    except ImportError:
        print("(Pillow not installed: only the module and plain Python are measured)")

    times: dict[str, list[float]] = {k: [] for k in cases}
    for fn in cases.values():  # warm-up
        fn()
    for _ in range(args.rounds):
        for name, fn in cases.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)

    print(f"{n * n} pixels per run, median of {args.rounds} interleaved rounds; "
          f"{platform.python_implementation()} {platform.python_version()} on {platform.machine()}")
    print(f"| {'operation':32} | {'ms':>8} | {'ns/pixel':>9} |")
    print(f"|{'-' * 34}|{'-' * 10}|{'-' * 11}|")
    for name, ts in times.items():
        med = statistics.median(ts)
        print(f"| {name:32} | {med * 1e3:8.1f} | {med / (n * n) * 1e9:9.1f} |")


if __name__ == "__main__":
    main()
