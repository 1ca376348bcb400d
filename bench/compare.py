"""One reproducible comparison of the module against its peers and against the physical floors.

    pip install ".[bench]"
    python bench/compare.py [--photos DIR] [--rounds 7] [--out bench/results]
                            [--only png-decode,inflate,png-encode,bmp,copy,pixels,threads,memory]

Workloads: PNG decode of every RGB/RGBA photograph in DIR (from a path and from bytes), PNG
encode of the same pixels (checked to write zlib.compress's bytes; libdeflate's level 6 and
zlib-ng's compress as reference rows, which write other bytes), BMP decode and encode of a 3840 x 2160 image, getPixel/putPixel
over 10^6 pixels, copy of a large image; decode and encode throughput from 1 and 2 threads; peak memory of
a decode. Peers are measured when importable: Pillow, OpenCV, imagecodecs (PNG and spng),
pypng (small images only). Floors: bare zlib.decompress of the joined IDAT data, bare
zlib.compress of the scanlines at the default level, a plain copy of the pixel bytes; libdeflate's
bare inflate of the same data beside the decode floor as a reference. The module is also run
with its `zlib` bound to a wrapper of the standard functions (the piecewise path any rebound
zlib takes) and to zlib-ng and ISA-L when those are installed. The inflate workload times the
module's inflater alone (bench/inflate.py) against zlib and libdeflate on the same streams.

Runs are interleaved (A B C ... A B C ...) after a warm-up and the median is reported; the
decoded pixels of every tool are checked equal before any time counts. Output: a markdown
table (OUT.md) and a bar chart (OUT.png, with matplotlib).
"""

from __future__ import annotations

import argparse
import io
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types
import zlib
from pathlib import Path
from typing import Callable, Optional

import Vorlanx.simpleImage_ext as si
from Vorlanx.simpleImage_ext import SimpleImage

HERE = Path(__file__).resolve().parent
DEFAULT_PHOTOS = HERE.parent.parent / "shared" / "corpus" / "png" / "photos"

Fn = Callable[[], object]


def optional(name: str):  # type: ignore[no-untyped-def]
    try:
        return __import__(name, fromlist=["_"])
    except ImportError:
        return None


np = optional("numpy")
PIL_Image = optional("PIL.Image")
cv2 = optional("cv2")
imagecodecs = optional("imagecodecs")
pypng = optional("png")
zlib_ng = optional("zlib_ng.zlib_ng")
deflate = optional("deflate")
isal_zlib = optional("isal.isal_zlib")


# ---- helpers ---------------------------------------------------------------------------------

def png_info(data: bytes) -> tuple[int, int, int, bytes]:
    """(width, height, colour type, joined IDAT data) of a PNG file."""
    pos, idat, w, h, ct = 8, [], 0, 0, -1
    while pos + 8 <= len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            w, h, _, ct = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
        pos += 12 + n
    return w, h, ct, b"".join(idat)


def scanlines(width: int, height: int, rgb: bytes) -> bytes:
    row = width * 3
    return b"".join(b"\0" + rgb[y * row:(y + 1) * row] for y in range(height))


def interleaved(cases: dict[str, Fn], rounds: int) -> dict[str, float]:
    for fn in cases.values():
        fn()
    times: dict[str, list[float]] = {k: [] for k in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in times.items()}


STOCK_ZLIB = types.SimpleNamespace(decompressobj=zlib.decompressobj, decompress=zlib.decompress, crc32=zlib.crc32,
                                   compress=zlib.compress, error=zlib.error)


def with_zlib(module: object, fn: Fn) -> Fn:
    def run() -> object:
        saved = si.zlib
        si.zlib = module  # type: ignore[attr-defined]
        try:
            return fn()
        finally:
            si.zlib = saved  # type: ignore[attr-defined]
    return run


def rgb_of(result: object) -> bytes:
    if np is not None and isinstance(result, np.ndarray):
        return result.tobytes()
    if isinstance(result, SimpleImage):
        return bytes(result._pixels or b"")
    return bytes(result)  # type: ignore[call-overload]


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, float, float, Optional[float], str]] = []

    def add(self, workload: str, results: dict[str, float], nbytes: int, module_key: str,
            floor_key: Optional[str], notes: Optional[dict[str, str]] = None) -> None:
        base = results[module_key]
        floor = results.get(floor_key) if floor_key else None
        for tool, t in results.items():
            self.rows.append((workload, tool, f"{t * 1e3:.2f}", nbytes / t / 1e6, t / base,
                              t / floor if floor else None, (notes or {}).get(tool, "")))

    @classmethod
    def parse(cls, text: str) -> "Table":
        """The table back from a results file written by markdown()."""
        table = cls()
        for line in text.splitlines():
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == 7 and cells[0] not in ("workload", "---"):
                try:
                    table.rows.append((cells[0], cells[1], cells[2], float(cells[3]), float(cells[4]),
                                       float(cells[5]) if cells[5] else None, cells[6]))
                except ValueError:
                    continue
        return table

    def markdown(self) -> str:
        out = ["| workload | tool | median ms | MB/s (RGB) | x module | x floor | note |",
               "|---|---|---:|---:|---:|---:|---|"]
        for w, tool, ms, mbs, rel, fl, note in self.rows:
            out.append(f"| {w} | {tool} | {ms} | {mbs:.0f} | {rel:.2f} | "
                       f"{'' if fl is None else f'{fl:.2f}'} | {note} |")
        return "\n".join(out)


# ---- workloads -------------------------------------------------------------------------------

def png_decode(table: Table, path: Path, rounds: int) -> Optional[tuple[int, int, bytes]]:
    data = path.read_bytes()
    w, h, ct, idat = png_info(data)
    if ct not in (2, 6):
        print(f"  {path.name}: colour type {ct}, refused by the module as it must be; skipped")
        return None
    name = f"PNG decode {path.name} ({w}x{h} {'RGBA' if ct == 6 else 'RGB'})"
    cases: dict[str, Fn] = {
        "module (bytes)": lambda: SimpleImage.open(data),
        "module (path)": lambda: SimpleImage.open(str(path)),
        "floor: zlib.decompress": lambda: zlib.decompress(idat),
    }
    if deflate is not None:
        inflated = h * (w * (3 if ct == 2 else 4) + 1)
        cases["reference: libdeflate inflate"] = lambda: deflate.zlib_decompress(idat, inflated)
    # The standard functions under another roof: the piecewise path any rebound zlib takes.
    cases["module, zlib through a wrapper"] = with_zlib(STOCK_ZLIB, lambda: SimpleImage.open(data))
    if zlib_ng is not None:
        cases["module + zlib-ng"] = with_zlib(zlib_ng, lambda: SimpleImage.open(data))
    if isal_zlib is not None:
        cases["module + ISA-L"] = with_zlib(isal_zlib, lambda: SimpleImage.open(data))
    if PIL_Image is not None:
        cases["Pillow"] = lambda: PIL_Image.open(io.BytesIO(data)).convert("RGB").tobytes()
    if cv2 is not None and np is not None:
        buf = np.frombuffer(data, np.uint8)
        cases["OpenCV"] = lambda: cv2.cvtColor(cv2.imdecode(buf, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
    if imagecodecs is not None and np is not None:
        def icodecs(decode: Callable[[bytes], object]) -> Fn:
            return lambda: np.ascontiguousarray(decode(data)[..., :3])  # type: ignore[index]
        cases["imagecodecs png"] = icodecs(imagecodecs.png_decode)
        if getattr(imagecodecs, "SPNG", None) is not None and imagecodecs.SPNG.available:
            cases["imagecodecs spng"] = icodecs(imagecodecs.spng_decode)
    if pypng is not None and w * h <= 300 * 300:
        def pypng_rgb() -> bytes:
            _, _, rows, info = pypng.Reader(bytes=data).asDirect()
            out = bytearray()
            for r in rows:
                row = bytes(r)
                if info["alpha"]:
                    px = bytearray(len(row) // 4 * 3)
                    px[0::3], px[1::3], px[2::3] = row[0::4], row[1::4], row[2::4]
                    row = bytes(px)
                out += row
            return bytes(out)
        cases["pypng"] = pypng_rgb
    ref = SimpleImage.open(data)
    expected = bytes(ref._pixels or b"")
    for tool, fn in cases.items():
        if tool.startswith(("floor", "reference")):
            continue
        got = rgb_of(fn())
        if got != expected:
            raise SystemExit(f"{name}: {tool} decoded different pixels")
    table.add(name, interleaved(cases, rounds), w * h * 3, "module (bytes)", "floor: zlib.decompress")
    return w, h, expected


def png_encode(table: Table, label: str, w: int, h: int, rgb: bytes, rounds: int, tmp: Path) -> None:
    img = SimpleImage(w, h, rgb)
    raw = scanlines(w, h, rgb)
    out = tmp / "out.png"
    sizes: dict[str, int] = {}

    def sized(tool: str, fn: Callable[[], bytes]) -> Fn:
        def run() -> None:
            blob = fn()
            out.write_bytes(blob)
            sizes[tool] = len(blob)
        return run

    def module_save(tool: str) -> Fn:
        # Each row notes the size of its own file (the rows with another zlib write other bytes).
        def run() -> None:
            img.save(str(out))
            sizes[tool] = out.stat().st_size
        return run

    # The module's own deflater must write zlib's bytes; checked once before any time counts.
    module_save("module")()
    if png_info(out.read_bytes())[3] != zlib.compress(raw):
        raise SystemExit(f"{label}: the module's IDAT differs from zlib.compress")
    cases: dict[str, Fn] = {
        "module": module_save("module"),
        "floor: zlib.compress": lambda: sizes.__setitem__("floor: zlib.compress", len(zlib.compress(raw))),
        # The old path: the standard zlib.compress under another roof.
        "module, zlib through a wrapper": with_zlib(STOCK_ZLIB, module_save("module, zlib through a wrapper")),
    }
    # Other deflaters, for scale only: they write other bytes.
    if deflate is not None:
        cases["reference: libdeflate level 6"] = sized("reference: libdeflate level 6",
                                                       lambda: deflate.zlib_compress(raw, 6))
    if zlib_ng is not None:
        cases["reference: zlib-ng compress"] = sized("reference: zlib-ng compress", lambda: zlib_ng.compress(raw, 6))
        cases["module + zlib-ng"] = with_zlib(zlib_ng, module_save("module + zlib-ng"))
    if PIL_Image is not None:
        pim = PIL_Image.frombytes("RGB", (w, h), rgb)

        def pil() -> bytes:
            b = io.BytesIO()
            pim.save(b, "PNG", compress_level=6)
            return b.getvalue()
        cases["Pillow (level 6)"] = sized("Pillow (level 6)", pil)
    if np is not None:
        arr = np.frombuffer(rgb, np.uint8).reshape(h, w, 3)
        if cv2 is not None:
            cases["OpenCV (level 6)"] = sized("OpenCV (level 6)", lambda: cv2.imencode(
                ".png", cv2.cvtColor(arr, cv2.COLOR_RGB2BGR), [cv2.IMWRITE_PNG_COMPRESSION, 6])[1].tobytes())
        if imagecodecs is not None:
            cases["imagecodecs png (level 6)"] = sized(
                "imagecodecs png (level 6)", lambda: bytes(imagecodecs.png_encode(arr, level=6)))
    results = interleaved(cases, rounds)
    notes = {k: f"{sizes[k]:,} bytes" for k in results if k in sizes}
    table.add(f"PNG encode {label}", results, w * h * 3, "module", "floor: zlib.compress", notes)


def bmp_workloads(table: Table, w: int, h: int, rgb: bytes, rounds: int, tmp: Path) -> None:
    img = SimpleImage(w, h, rgb)
    path = tmp / "big.bmp"
    img.saveBmp(str(path))
    data = path.read_bytes()
    pixels = bytearray(rgb)
    dec: dict[str, Fn] = {
        "module": lambda: SimpleImage.open(data),
        "module (path)": lambda: SimpleImage.open(str(path)),
        "floor: copy": lambda: bytes(pixels),
    }
    if imagecodecs is not None:
        dec["imagecodecs (path, file read once)"] = lambda: imagecodecs.bmp_decode(path.read_bytes())
        dec["imagecodecs (bytes)"] = lambda: imagecodecs.bmp_decode(data)
    if PIL_Image is not None:
        dec["Pillow"] = lambda: PIL_Image.open(io.BytesIO(data)).convert("RGB").tobytes()
    if cv2 is not None and np is not None:
        buf = np.frombuffer(data, np.uint8)
        dec["OpenCV"] = lambda: cv2.cvtColor(cv2.imdecode(buf, cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)
    for tool, fn in dec.items():
        if not tool.startswith("floor") and rgb_of(fn()) != rgb:
            raise SystemExit(f"BMP decode: {tool} decoded different pixels")
    table.add(f"BMP decode {w}x{h}", interleaved(dec, rounds), w * h * 3, "module", "floor: copy")

    out = tmp / "out.bmp"
    enc: dict[str, Fn] = {
        "module": lambda: img.saveBmp(str(out)),
        "floor: copy": lambda: bytes(pixels),
        # What the file system alone costs: the same file's bytes written with no conversion.
        "floor: raw file write": lambda: out.write_bytes(data),
    }
    if PIL_Image is not None:
        pim = PIL_Image.frombytes("RGB", (w, h), rgb)
        enc["Pillow"] = lambda: pim.save(str(out), "BMP")
    if cv2 is not None and np is not None:
        arr = np.frombuffer(rgb, np.uint8).reshape(h, w, 3)
        enc["OpenCV"] = lambda: cv2.imwrite(str(out), cv2.cvtColor(arr, cv2.COLOR_RGB2BGR))
    table.add(f"BMP encode {w}x{h}", interleaved(enc, rounds), w * h * 3, "module", "floor: copy")


def pixel_workloads(table: Table, rounds: int) -> None:
    n = 1000
    data = bytes((i * 7) & 255 for i in range(n * n * 3))
    img = SimpleImage(n, n, data)
    coords = [(x, y) for y in range(n) for x in range(n)]
    raw = bytearray(data)

    def get() -> None:
        for c in coords:
            img.getPixel(c)

    def put() -> None:
        for c in coords:
            img.putPixel(c, (1, 2, 3))

    def plain() -> None:
        for x, y in coords:
            i = (y * n + x) * 3
            raw[i], raw[i + 1], raw[i + 2]

    gets: dict[str, Fn] = {"module getPixel": get, "plain Python bytearray read": plain}
    puts: dict[str, Fn] = {"module putPixel": put}
    if PIL_Image is not None:
        pim = PIL_Image.frombytes("RGB", (n, n), data)
        px = pim.load()

        def pget() -> None:
            for c in coords:
                pim.getpixel(c)

        def pput() -> None:
            for c in coords:
                pim.putpixel(c, (1, 2, 3))

        def aget() -> None:
            for c in coords:
                px[c]

        def aput() -> None:
            for c in coords:
                px[c] = (1, 2, 3)
        gets.update({"Pillow getpixel": pget, "Pillow im.load()[x, y]": aget})
        puts.update({"Pillow putpixel": pput, "Pillow im.load()[x, y] =": aput})
    table.add("getPixel over 10^6 pixels", interleaved(gets, rounds), n * n * 3, "module getPixel", None)
    table.add("putPixel over 10^6 pixels", interleaved(puts, rounds), n * n * 3, "module putPixel", None)


def copy_workload(table: Table, w: int, h: int, rgb: bytes, rounds: int) -> None:
    img = SimpleImage(w, h, rgb)
    pixels = bytearray(rgb)
    cases: dict[str, Fn] = {"module copy()": img.copy, "floor: copy": lambda: bytes(pixels)}
    if PIL_Image is not None:
        cases["Pillow copy()"] = PIL_Image.frombytes("RGB", (w, h), rgb).copy
    if np is not None:
        cases["numpy copy"] = np.frombuffer(rgb, np.uint8).copy
    table.add(f"copy {w}x{h}", interleaved(cases, rounds), w * h * 3, "module copy()", "floor: copy")


def thread_scaling(files: list[bytes], rounds: int) -> str:
    def work(blobs: list[bytes]) -> None:
        for b in blobs:
            SimpleImage.open(b)

    batch = files * 4
    return scaling_table("decodes/s", lambda index: work(batch), len(batch), rounds)


def scaling_table(unit: str, work, items: int, rounds: int) -> str:
    """Throughput of `work(thread_index)`, which handles `items` items, from 1 and 2 threads."""
    lines = [f"| threads | {unit} | scaling |", "|---:|---:|---:|"]
    base = 0.0
    for nthreads in (1, 2):
        best = float("inf")
        for _ in range(max(3, rounds // 2)):
            threads = [threading.Thread(target=work, args=(i,)) for i in range(nthreads)]
            t0 = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            best = min(best, time.perf_counter() - t0)
        rate = nthreads * items / best
        base = base or rate
        lines.append(f"| {nthreads} | {rate:.1f} | {rate / base:.2f}x |")
    return "\n".join(lines)


def encode_thread_scaling(images: list[tuple[str, int, int, bytes]], rounds: int, tmp: Path) -> str:
    """PNG encodes of different images from 1 and 2 threads (each thread saves every image)."""
    made = [SimpleImage(w, h, rgb) for _, w, h, rgb in images]

    def work(index: int) -> None:
        for i, img in enumerate(made):
            img.save(str(tmp / f"thread{index}-{i}.png"))

    return scaling_table("encodes/s", work, len(made), rounds)


def peak_memory(path: Path) -> str:
    """Peak resident memory of a process that decodes `path` from bytes, less that of the same
    process that only reads the bytes: what the decode itself needs at its peak."""
    # VmHWM is the high-water mark of this process's own memory; ru_maxrss would also carry
    # the parent's, which a child inherits on Linux.
    code = ("import sys; from Vorlanx.simpleImage_ext import SimpleImage; "
            "data = open(sys.argv[1], 'rb').read(); n = 0\n"
            "if sys.argv[2] == '1': n = len(SimpleImage.open(data)._pixels)\n"
            "hwm = [l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0]\n"
            "print(hwm, len(data), n)")

    def run(decode: str) -> tuple[int, int, int]:
        out = subprocess.run([sys.executable, "-c", code, str(path), decode], capture_output=True, text=True,
                             check=True)
        hwm, comp, pix = map(int, out.stdout.split())
        return hwm * 1024, comp, pix

    base, comp, _ = run("0")
    peak, _, pix = run("1")
    return (f"Peak memory of decoding {path.name} from bytes: {(peak - base) / 1e6:.1f} MB over a process that "
            f"only holds the file ({pix / 1e6:.1f} MB of pixels; the compressed {comp / 1e6:.1f} MB are already "
            f"held by the caller).")


def chart(table: Table, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    rows = [r for r in table.rows if r[0].startswith("PNG decode") and not r[1].startswith("module (path)")]
    if not rows:
        return False
    workloads = list(dict.fromkeys(r[0].split(" (")[0].replace("PNG decode ", "") for r in rows))
    tools = list(dict.fromkeys(r[1] for r in rows))
    fig, ax = plt.subplots(figsize=(12, 5))
    width = 0.8 / max(1, len(tools))
    for i, tool in enumerate(tools):
        ys = []
        for wl in workloads:
            match = [r[4] for r in rows if r[1] == tool and r[0].replace("PNG decode ", "").startswith(wl)]
            ys.append(match[0] if match else 0)
        ax.bar([k + i * width for k in range(len(workloads))], ys, width, label=tool)
    ax.set_xticks([k + 0.4 - width / 2 for k in range(len(workloads))])
    ax.set_xticklabels(workloads, rotation=20, ha="right", fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("time relative to the module (log scale, lower is faster)")
    ax.set_title("PNG decode, median of interleaved runs")
    ax.axhline(1.0, color="black", linewidth=0.6)
    ax.legend(fontsize=7, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    return True


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--photos", type=Path, default=DEFAULT_PHOTOS if DEFAULT_PHOTOS.is_dir()
                    else HERE.parent / "examples" / "data")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--out", type=Path, default=HERE / "results")
    ap.add_argument("--only", default="png-decode,inflate,png-encode,bmp,copy,pixels,threads,memory",
                    help="comma-separated workloads to run")
    ap.add_argument("--replot", action="store_true", help="only redraw the chart from an earlier OUT.md")
    args = ap.parse_args()
    only = set(args.only.split(","))
    if args.replot:
        chart(Table.parse(args.out.with_suffix(".md").read_text()), args.out.with_suffix(".png"))
        return

    table = Table()
    decoded: list[tuple[str, int, int, bytes]] = []
    files = sorted(args.photos.glob("*.png"))
    accepted = [f for f in files if png_info(f.read_bytes())[2] in (2, 6)]
    for f in accepted:
        if "png-decode" in only:
            print("decode", f.name, flush=True)
            png_decode(table, f, args.rounds)
        data = f.read_bytes()
        img = SimpleImage.open(data)
        decoded.append((f.name, img.width, img.height, bytes(img._pixels or b"")))
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmpdir:
        tmp = Path(tmpdir)
        if "png-encode" in only:
            for name, w, h, rgb in decoded:
                print("encode", name, flush=True)
                png_encode(table, f"{name} ({w}x{h})", w, h, rgb, args.rounds, tmp)
        big = max(decoded, key=lambda d: d[1] * d[2]) if decoded else None
        if big and big[1] * big[2] >= 3840 * 2160:
            _, bw, bh, brgb = big
        else:
            bw, bh = 3840, 2160
            brgb = bytes((i * 31 + i // 7) & 255 for i in range(bw * bh * 3))
        if "bmp" in only:
            print("bmp", flush=True)
            bmp_workloads(table, bw, bh, brgb, args.rounds, tmp)
        if "copy" in only:
            copy_workload(table, bw, bh, brgb, args.rounds)
        encode_threads = ""
        if "threads" in only and decoded:
            print("encode threads", flush=True)
            # The photographs (the largest alone would leave one thread waiting on the other).
            photos = [d for d in decoded if d[1] * d[2] < 2_000_000] or decoded
            encode_threads = encode_thread_scaling(photos, args.rounds, tmp)
    if "pixels" in only:
        print("pixels", flush=True)
        pixel_workloads(table, args.rounds)
    sections = [table.markdown()] if table.rows else []
    if "inflate" in only and deflate is not None:
        print("inflate", flush=True)
        import inflate  # bench/inflate.py: builds the module's inflater alone into a small library
        sections += ["The inflater alone against bare zlib and libdeflate, on each file's joined IDAT data:",
                     inflate.table(args.photos, args.rounds)]
    if "threads" in only and accepted:
        sections += ["Decode throughput, different files on each thread:",
                     thread_scaling([f.read_bytes() for f in accepted], args.rounds)]
    if encode_threads:
        sections += ["Encode throughput (save), each thread saving every photograph:", encode_threads]
    if "memory" in only and accepted:
        largest = max(accepted, key=lambda f: png_info(f.read_bytes())[0] * png_info(f.read_bytes())[1])
        sections.append(peak_memory(largest))

    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    header = (f"Measured on {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, "
              f"CPython {platform.python_version()}, zlib {zlib.ZLIB_RUNTIME_VERSION}; median of "
              f"{args.rounds} interleaved runs after a warm-up.")
    text = "\n\n".join([header, *sections])
    args.out.with_suffix(".md").write_text(text + "\n")
    print(text)
    if chart(table, args.out.with_suffix(".png")):
        print(f"chart written to {args.out.with_suffix('.png')}")


if __name__ == "__main__":
    main()
