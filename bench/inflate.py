"""The inflater on its own against bare zlib and libdeflate, on the joined IDAT data of every
PNG in a folder.

    python bench/inflate.py [--photos DIR] [--rounds 21]

Builds the kernel with the project's flags (-O2, no -march) into a small shared library with a
C entry point, loaded with ctypes; input and output buffers are made once, so the call costs
only ctypes' few hundred nanoseconds. Every round times zlib.decompress, libdeflate's
deflate.zlib_decompress and ours back to back; the medians and their ratios are printed, and
the ratio of the fastest runs too, which holds steadier on a machine shared with other work.
Our output is checked equal to zlib's first.
"""

from __future__ import annotations

import ctypes
import pathlib
import struct
import zlib
from typing import Callable

import deflate
import kernel_bench

SOURCES = ["bench/inflate_entry.cpp", "src/flate/inflate.cpp", "src/flate/adler32.cpp", "src/flate/adler32_x86.cpp"]


def build() -> ctypes.CDLL:
    lib = kernel_bench.build("libsi_inflate.so", SOURCES)
    lib.si_bench_inflate.restype = ctypes.c_int
    return lib


def idat(path: pathlib.Path) -> bytes:
    data = path.read_bytes()
    pos, parts = 8, []
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            parts.append(data[pos + 8:pos + 8 + length])
        pos += 12 + length
    return b"".join(parts)


def table(photos: pathlib.Path, rounds: int) -> str:
    """A markdown table of the medians and ratios for every PNG in `photos`."""
    lib = build()
    lines = ["| file | in KiB | ratio | zlib ms | libdeflate ms | ours ms | ours / libdeflate | ours / zlib | fastest runs: ours / libdeflate |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for path in sorted(photos.glob("*.png")):
        stream = idat(path)
        want = zlib.decompress(stream)
        out = ctypes.create_string_buffer(len(want))
        produced = ctypes.c_size_t()
        # Every argument converted once: a call then costs about 1.5 us (twice that with
        # argtypes converting each time), which matters only for the 16-pixel icon.
        cargs = (ctypes.c_char_p(stream), ctypes.c_size_t(len(stream)), ctypes.cast(out, ctypes.c_void_p),
                ctypes.c_size_t(len(want)), ctypes.pointer(produced))
        call = lib.si_bench_inflate

        def ours() -> object:
            return call(*cargs)

        status = ours()
        assert status == 0 and produced.value == len(want) and out.raw == want, path.name
        runs: dict[str, Callable[[], object]] = {
            "zlib": lambda: zlib.decompress(stream),
            "libdeflate": lambda: deflate.zlib_decompress(stream, len(want)),
            "ours": ours,
        }
        med, best = kernel_bench.timed(runs, rounds, len(want))
        lines.append(f"| {path.name} | {len(stream) / 1024:.0f} | {len(want) / len(stream):.1f} | {med['zlib']:.3f} | "
                     f"{med['libdeflate']:.3f} | {med['ours']:.3f} | {med['ours'] / med['libdeflate']:.2f} | "
                     f"{med['ours'] / med['zlib']:.2f} | {best['ours'] / best['libdeflate']:.2f} |")
    return "\n".join(lines)


if __name__ == "__main__":
    kernel_bench.main(__doc__, table, rounds=21)
