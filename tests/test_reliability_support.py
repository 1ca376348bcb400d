"""Small files built in code, and memory readings, shared by the reliability tests (no tests
of its own)."""
import gc
import os
import struct
import tracemalloc
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Under the sanitizer build the allocator keeps freed memory in quarantine, so resident size
# says nothing about leaks there; the traced Python allocations still do.
SANITIZED = bool(os.environ.get("SI_SANITIZED"))


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(data, zlib.crc32(kind)))


def png_bytes(width, height, color_type=2, filter_type=1, seed=7):
    bpp = 3 if color_type == 2 else 4
    raw = bytearray()
    for y in range(height):
        raw.append(filter_type)
        raw += bytes((seed + y * 31 + i * 7) % 256 for i in range(width * bpp))
    return (SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def bmp_bytes(width, height, seed=3):
    stride = (width * 3 + 3) // 4 * 4
    rows = bytes((seed + i * 13) % 256 for i in range(stride * abs(height)))
    return (b"BM" + struct.pack("<IHHI", 54 + len(rows), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 0, 0, 0, 0) + rows)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_growth(call, times, warmup=200):
    """(traced growth, resident growth) in bytes over `times` calls of `call`, after `warmup`
    calls have filled the interpreter's caches."""
    for _ in range(warmup):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_bytes()
        for _ in range(times):
            call()
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
        rss_after = rss_bytes()
    finally:
        tracemalloc.stop()
    return traced_after - traced_before, rss_after - rss_before
