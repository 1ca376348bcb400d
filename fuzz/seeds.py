"""Builds the seed corpora of the fuzz targets from small files made here in code: PNG files of
both pixel sizes with every filter, split image data, ancillary chunks, a missing IEND; BMP
files of both row orders and every padding; and a few near misses of each.

    python fuzz/seeds.py OUTDIR      # writes OUTDIR/open, OUTDIR/read_chunk, OUTDIR/streams, OUTDIR/objects
"""
import hashlib
import random
import struct
import sys
import zlib
from pathlib import Path

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(kind)))


def png(width, height, color_type=2, filters=(0,), pieces=1, extra=(), iend=True, rng=None):
    rng = rng or random.Random(width * 31 + height)
    bpp = 3 if color_type == 2 else 4
    raw = bytearray()
    for y in range(height):
        raw.append(filters[y % len(filters)])
        raw += bytes(rng.randrange(256) for _ in range(width * bpp))
    packed = zlib.compress(bytes(raw))
    cuts = sorted(rng.randrange(len(packed) + 1) for _ in range(pieces - 1))
    parts = [packed[a:b] for a, b in zip([0] + cuts, cuts + [len(packed)])]
    out = SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0))
    for kind, data in extra:
        out += chunk(kind, data)
    for part in parts:
        out += chunk(b"IDAT", part)
    return out + (chunk(b"IEND", b"") if iend else b"")


def bmp(width, height, rng=None, rows=None):
    rng = rng or random.Random(width * 17 + height)
    stride = (width * 3 + 3) // 4 * 4
    if rows is None:
        rows = bytes(rng.randrange(256) for _ in range(stride * abs(height)))
    header = b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + info + rows


def files():
    rng = random.Random(6)
    out = []
    for color_type in (2, 6):
        for f in range(5):
            out.append(png(3, 3, color_type, filters=(f,), rng=rng))
        out.append(png(5, 4, color_type, filters=(0, 1, 2, 3, 4), pieces=4, rng=rng))
    out.append(png(2, 2, extra=[(b"tEXt", b"k\0v"), (b"gAMA", struct.pack(">I", 45455))], iend=False))
    out.append(png(1, 1, filters=(0,)))
    out.append(png(0, 2))
    out.append(png(4, 0))
    out.append(png(2, 2, filters=(5,)))
    out.append(SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", 2**31 - 1, 2, 8, 2, 0, 0, 0)) +
               chunk(b"IDAT", zlib.compress(b"\0" * 64)))
    for width in range(1, 5):
        out.append(bmp(width, 2))
        out.append(bmp(width, -2))
    out.append(bmp(0, 3))
    out.append(bmp(3, 0))
    out.append(bmp(100000, 100000, rows=b"\0" * 6))  # a header claiming far more than it holds
    return out


def objects_seeds():
    """The objects target reads its choices off the end of the input, the entry point first,
    and raw bytes off the front: a plain call of each entry point on each of a few contents,
    and the same with every later choice taken from a busy pattern."""
    out = []
    for entry in range(16):
        for content in (0, 6, 18, 29):  # two PNG files, a BMP file, raw bytes
            out.append(bytes([content, entry]))
            out.append(bytes(range(1, 64)) + bytes([content, entry]))
    return out


def write(outdir):
    outdir = Path(outdir)
    corpora = {"open": [], "read_chunk": [], "streams": [], "objects": objects_seeds()}
    for data in files():
        corpora["open"].append(data)
        if data.startswith(SIGNATURE):
            corpora["read_chunk"].append(data[8:])
        # Streams: a clean run of each entry point, and one with odd reads early on.
        for mode in (0, 1, 2, 3):
            body = data[8:] if mode == 1 and data.startswith(SIGNATURE) else data
            corpora["streams"].append(bytes([0, mode]) + body)
        corpora["streams"].append(bytes([3, 0x00, 0x01, 0x14, 0]) + data)
        corpora["streams"].append(bytes([2, 0x00, 0x0b, 4]) + data)
    for name, items in corpora.items():
        folder = outdir / name
        folder.mkdir(parents=True, exist_ok=True)
        for data in items:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
    return {name: len(items) for name, items in corpora.items()}


if __name__ == "__main__":
    print(write(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz-seeds"))
