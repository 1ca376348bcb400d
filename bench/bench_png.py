"""PNG decode and encode timings against the zlib floors and Pillow (run by hand).

    PYTHONPATH=build/dev python3 bench/bench_png.py [folder-of-pngs]

Decode: the module (from bytes), Pillow (open + convert("RGB") + tobytes), and the floor: one
bare zlib.decompress of the file's joined IDAT data. Encode: _writePng to a file in memory-backed
temporary storage against the floor: one bare zlib.compress of the filter-0 scanlines.
Runs are interleaved (A B C A B C ...) after a warm-up; the median of the process CPU time of
each is reported (steadier than wall time on a shared machine; the work is single-threaded).
"""
import io
import os
import statistics
import struct
import sys
import tempfile
import time
import zlib

from Vorlanx import simpleImage_ext as ext

try:
    from PIL import Image
except ImportError:  # Pillow is optional
    Image = None

DEFAULT = "/work/shared/corpus/png/photos"
RUNS = 15


def idat_data(data):
    pos, parts, header = 8, [], None
    while pos + 8 <= len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            parts.append(body)
        elif kind == b"IEND":
            break
        pos += 12 + length
    return header, b"".join(parts)


def timed(funcs, runs=RUNS):
    for f in funcs.values():
        f()
    samples = {name: [] for name in funcs}
    for _ in range(runs):
        for name, f in funcs.items():
            t0 = time.process_time()
            f()
            samples[name].append(time.process_time() - t0)
    return {name: statistics.median(s) for name, s in samples.items()}


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else DEFAULT
    files = sorted(f for f in os.listdir(folder) if f.endswith(".png"))
    tmpdir = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    out_path = os.path.join(tmpdir, "bench_png_out.png")
    print(f"{'file':44} {'size':>11} {'floor ms':>9} {'ours ms':>8} {'x floor':>8} {'Pillow ms':>9} "
          f"{'x ours':>7} | {'deflate ms':>10} {'write ms':>9} {'x floor':>8}")
    for name in files:
        data = open(os.path.join(folder, name), "rb").read()
        header, joined = idat_data(data)
        if header is None or header[2] != 8 or header[3] not in (2, 6) or header[6] != 0:
            print(f"{name:44} refused (not 8-bit RGB/RGBA, or interlaced)")
            continue
        width, height, pixels = ext.SimpleImage._streamToImage(io.BytesIO(data))
        funcs = {
            "floor": lambda: zlib.decompress(joined),
            "ours": lambda: ext.SimpleImage._streamToImage(io.BytesIO(data)),
        }
        if Image is not None:
            funcs["pillow"] = lambda: Image.open(io.BytesIO(data)).convert("RGB").tobytes()
            assert Image.open(io.BytesIO(data)).convert("RGB").tobytes() == bytes(pixels), name
        d = timed(funcs)
        stride = width * 3
        raw = b"".join(b"\0" + bytes(pixels[y * stride : (y + 1) * stride]) for y in range(height))
        e = timed({
            "floor": lambda: zlib.compress(raw),
            "ours": lambda: ext._writePng(out_path, width, height, pixels),
        }, runs=7)
        pil = f"{d['pillow'] * 1e3:9.2f} {d['pillow'] / d['ours']:7.2f}" if "pillow" in d else f"{'-':>9} {'-':>7}"
        print(f"{name[:44]:44} {f'{width}x{height}':>11} {d['floor'] * 1e3:9.2f} {d['ours'] * 1e3:8.2f} "
              f"{d['ours'] / d['floor']:8.3f} {pil} | {e['floor'] * 1e3:10.2f} {e['ours'] * 1e3:9.2f} "
              f"{e['ours'] / e['floor']:8.3f}")
    if os.path.exists(out_path):
        os.remove(out_path)


if __name__ == "__main__":
    main()
