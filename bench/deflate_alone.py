"""The deflater on its own against bare zlib.compress, on the scanlines of every PNG in a folder,
in each of its ways of finding candidates; libdeflate's level 6 and zlib-ng for scale.

    python bench/deflate_alone.py [--photos DIR] [--rounds 7]

Builds the kernel with the project's flags (-O2, no -march) into a small shared library with a
C entry point, loaded with ctypes; the output buffer is made once. The scanlines are what `save`
deflates: filter byte 0 and the RGB row, for every row. (Not named deflate.py: the other scripts
here import libdeflate's Python module, `deflate`.) Every round times zlib.compress and the
deflater (as encodes use it: "adaptive"; never with the finer index: "plain"; always: "finer")
back to back, and the reference deflaters when they are installed (they write other bytes); the
medians and their ratios to zlib are printed. Every way's output is checked equal to zlib's
first.
"""

from __future__ import annotations

import ctypes
import importlib
import pathlib
import zlib
from typing import Callable

import kernel_bench
from Vorlanx.simpleImage_ext import SimpleImage

SOURCES = ["bench/deflate_entry.cpp", "src/flate/deflate.cpp", "src/flate/adler32.cpp", "src/flate/adler32_x86.cpp"]
WAYS = {"adaptive": 0, "plain": 1, "finer": 2}  # si::deflate::Index


def optional(name: str):  # type: ignore[no-untyped-def]
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def build() -> ctypes.CDLL:
    lib = kernel_bench.build("libsi_deflate.so", SOURCES)
    lib.si_bench_deflate.restype = ctypes.c_int
    lib.si_bench_deflate_bound.restype = ctypes.c_size_t
    lib.si_bench_deflate_bound.argtypes = [ctypes.c_size_t]
    return lib


def scanlines(path: pathlib.Path) -> bytes | None:
    """What `save` deflates for the image in `path`; None for a PNG the module does not read."""
    try:
        img = SimpleImage.open(str(path))
    except ValueError:
        return None
    w, h = img.width, img.height
    rgb = bytes(img._pixels or b"")
    row = 3 * w
    return b"".join(b"\0" + rgb[y * row:(y + 1) * row] for y in range(h))


def table(photos: pathlib.Path, rounds: int) -> str:
    """A markdown table of the medians (ms) and their ratios to zlib for every PNG in `photos`."""
    lib = build()
    libdeflate, zlib_ng = optional("deflate"), optional("zlib_ng.zlib_ng")
    names = ["zlib", *WAYS] + (["libdeflate 6"] if libdeflate else []) + (["zlib-ng"] if zlib_ng else [])
    lines = ["| file | scanlines KiB | " + " | ".join(f"{n} ms" for n in names) + " | "
             + " | ".join(f"{n} / zlib" for n in names[1:]) + " |",
             "|---|---:|" + "---:|" * (2 * len(names) - 1)]
    for path in sorted(photos.glob("*.png")):
        raw = scanlines(path)
        if raw is None:
            continue
        want = zlib.compress(raw)
        out = ctypes.create_string_buffer(lib.si_bench_deflate_bound(len(raw)))
        written = ctypes.c_size_t()
        runs: dict[str, Callable[[], object]] = {"zlib": lambda: zlib.compress(raw)}
        for way, index in WAYS.items():
            cargs = (ctypes.c_char_p(raw), ctypes.c_size_t(len(raw)), ctypes.cast(out, ctypes.c_void_p),
                     ctypes.c_size_t(len(out)), ctypes.c_int(index), ctypes.pointer(written))
            status = lib.si_bench_deflate(*cargs)
            assert status == 0 and out.raw[:written.value] == want, (path.name, way)
            runs[way] = (lambda a: lambda: lib.si_bench_deflate(*a))(cargs)
        if libdeflate:
            runs["libdeflate 6"] = lambda: libdeflate.zlib_compress(raw, 6)
        if zlib_ng:
            runs["zlib-ng"] = lambda: zlib_ng.compress(raw, 6)
        med, _ = kernel_bench.timed(runs, rounds, len(raw))
        lines.append(f"| {path.name} | {len(raw) / 1024:.0f} | " + " | ".join(f"{med[n]:.2f}" for n in names) + " | "
                     + " | ".join(f"{med[n] / med['zlib']:.2f}" for n in names[1:]) + " |")
    return "\n".join(lines)


if __name__ == "__main__":
    kernel_bench.main(__doc__, table, rounds=7)
