"""The PNG writer: exact bytes, refusals before the file is touched, round trips."""
import io
import os
import pathlib
import random
import struct
import subprocess
import sys
import traceback
import zlib

import pytest

from Vorlanx import simpleImage_ext as ext

SIG = b"\x89PNG\r\n\x1a\n"


def chunks(data):
    assert data[:8] == SIG
    out, pos = [], 8
    while pos < len(data):
        length = struct.unpack(">I", data[pos:pos + 4])[0]
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        assert data[pos + 8 + length:pos + 12 + length] == struct.pack(">I", zlib.crc32(kind + body))
        out.append((kind, body))
        pos += 12 + length
    return out


def test_one_pixel_file_byte_for_byte(tmp_path):
    path = tmp_path / "red.png"
    assert ext._writePng(str(path), 1, 1, bytearray(b"\xff\0\0")) is None
    ihdr = bytes.fromhex("0000000d 49484452 00000001 00000001 0802000000 907753de")
    idat = zlib.compress(b"\0\xff\0\0")
    want = SIG + ihdr + struct.pack(">I", len(idat)) + b"IDAT" + idat + struct.pack(">I", zlib.crc32(b"IDAT" + idat))
    assert path.read_bytes() == want + bytes.fromhex("00000000 49454e44 ae426082")


@pytest.mark.parametrize("width, height, pixels, raw", [
    (2, 2, bytes(range(12)), b"\0" + bytes(range(6)) + b"\0" + bytes(range(6, 12))),
    (2, 2, list(range(12)) + [99] * 5, b"\0" + bytes(range(6)) + b"\0" + bytes(range(6, 12))),  # surplus ignored
    (0, 2, b"", b"\0\0"),
    (7, 0, b"", b""),
])
def test_scanlines(tmp_path, width, height, pixels, raw):
    path = tmp_path / "x.png"
    ext._writePng(path, width, height, pixels)
    (k1, header), (k2, data), (k3, end) = chunks(path.read_bytes())
    assert (k1, k2, k3, end) == (b"IHDR", b"IDAT", b"IEND", b"")
    assert header == struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    assert zlib.decompress(data) == raw and data == zlib.compress(raw)


@pytest.mark.parametrize("width, height, pixels, kind, message", [
    (2, 1, bytearray(3), ValueError, "Pixel data length does not match image dimensions"),
    (2**31 - 1, 2**31 - 1, b"", ValueError, "Pixel data length does not match image dimensions"),
    (1, -1, b"", struct.error, None),
    (1, 1, None, TypeError, None),
    (2**31, 1, b"", OverflowError, "value too large to convert to int"),
])
def test_refusals_leave_files_alone(tmp_path, width, height, pixels, kind, message):
    path = tmp_path / "keep.png"
    path.write_bytes(b"old")
    with pytest.raises(kind) as info:
        ext._writePng(str(path), width, height, pixels)
    assert message is None or str(info.value) == message
    assert path.read_bytes() == b"old"
    names = [frame.name for frame in traceback.extract_tb(info.tb)]
    assert names[-1] == "Vorlanx.simpleImage_ext._writePng"


def test_input_kinds_and_no_mutation(tmp_path):
    pixels = bytearray(random.Random(2).randbytes(5 * 4 * 3))
    before = bytes(pixels)
    files = []
    for i, source in enumerate((pixels, bytes(pixels), list(pixels), memoryview(before))):
        path = tmp_path / f"{i}.png"
        ext._writePng(str(path), 5, 4, source)
        files.append(path.read_bytes())
    assert pixels == before and len(set(files)) == 1


def test_open_fails_after_compression(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(ext, "zlib", type("Z", (), {"compress": staticmethod(lambda d: calls.append(1) or b"z")}))
    with pytest.raises(FileNotFoundError):
        ext._writePng(str(tmp_path / "missing" / "x.png"), 1, 1, b"abc")
    assert calls == [1]
    with pytest.raises(IsADirectoryError):
        ext._writePng(str(tmp_path), 1, 1, b"abc")


def test_namespace_names_are_used_after_the_open(tmp_path, monkeypatch):
    path = tmp_path / "n.png"
    real = ext._makeChunk
    seen = []

    def make(kind, data):
        seen.append((kind, path.exists()))  # the file is open by now
        return real(kind, data)

    monkeypatch.setattr(ext, "_makeChunk", make)
    monkeypatch.setattr(ext, "PNG_SIGNATURE", b"SIG!")
    monkeypatch.setattr(ext, "struct", type("S", (), {"pack": staticmethod(lambda fmt, *v: b"H" * 13)}))
    ext._writePng(str(path), 1, 1, b"abc")
    assert seen == [(b"IHDR", True), (b"IDAT", True), (b"IEND", True)]
    data = path.read_bytes()
    assert data.startswith(b"SIG!" + real(b"IHDR", b"H" * 13))  # struct packs the framing too

    def broken(kind, data):
        if kind == b"IDAT":
            raise RuntimeError("no")
        return real(kind, data)

    monkeypatch.setattr(ext, "_makeChunk", broken)
    with pytest.raises(RuntimeError) as info:
        ext._writePng(str(path), 1, 1, b"abc")
    assert path.read_bytes() == b"SIG!" + real(b"IHDR", b"H" * 13)  # closed, partial, in place
    assert "Vorlanx.simpleImage_ext._writePng" in [f.name for f in traceback.extract_tb(info.tb)]


def test_metadata():
    assert ext._writePng.__annotations__ == {"return": "None"}
    assert ext._writePng.__code__.co_varnames == (
        "path", "width", "height", "pixels", "ihdr", "raw", "pix_view", "compressed", "output")


@pytest.mark.parametrize("width, height", [(1, 1), (3, 7), (64, 33), (257, 3)])
def test_round_trip_and_pillow(tmp_path, width, height):
    pixels = bytearray(random.Random(width).randbytes(width * height * 3))
    image = ext.SimpleImage(width, height, pixels)
    path = tmp_path / "rt.png"
    image.save(str(path))
    back = ext.SimpleImage.open(str(path))
    assert (back.width, back.height, back._pixels) == (width, height, pixels)
    pil = pytest.importorskip("PIL.Image")
    with pil.open(path) as theirs:
        assert theirs.mode == "RGB" and theirs.tobytes() == bytes(pixels)


DATA = pathlib.Path(__file__).parent / "data" / "png"

SAVE_ALL = """
import sys, types, zlib
import Vorlanx.simpleImage_ext as ext
if sys.argv[1] == "wrapper":  # any other binding takes the old call
    ext.zlib = types.SimpleNamespace(**{**vars(zlib), "compress": lambda data: zlib.compress(data)})
for i, source in enumerate(sys.argv[3:]):
    ext.SimpleImage.open(source).save(f"{sys.argv[2]}/{i}.png")
"""


@pytest.mark.parametrize("mode, env", [
    ("own", {}),  # the module's deflater, once the probe has found it identical here
    ("own, unprobed", {"SIMPLEIMAGE_DEFLATE_PROBE": "match"}),  # so a probe cannot hide a fault
    ("off", {"SIMPLEIMAGE_OWN_DEFLATE": "0"}),
    ("probe mismatch", {"SIMPLEIMAGE_DEFLATE_PROBE": "mismatch"}),
    ("wrapper", {}),
])
def test_every_path_writes_zlibs_bytes(tmp_path, mode, env):
    # The test files (small: always zlib.compress), a photograph, and images shaped for the
    # deflater's harder rules: runs that slide the window many times, random bytes (stored
    # blocks), a gradient, thin stripes, and one large enough for the streaming row copy.
    rng = random.Random(7)
    made = {
        "flat": (2000, 300, bytes(2000 * 300 * 3)),
        "noise": (400, 300, rng.randbytes(400 * 300 * 3)),
        "gradient": (640, 480, bytes((x + y * 3) & 255 for y in range(480) for x in range(640 * 3))),
        "stripes": (999, 101, bytes(255 * ((x // 7 + y) % 5 == 0) for y in range(101) for x in range(999 * 3))),
        # Scanlines over 16 MiB, copied past the caches: a random period that rows do not divide.
        "large": (2400, 2400, (rng.randbytes(14395) * 1201)[:2400 * 2400 * 3]),
    }
    sources = sorted(str(p) for p in DATA.glob("*.png"))  # a Kodak photograph among them
    for name, (w, h, pixels) in made.items():
        ext.SimpleImage(w, h, pixels).saveBmp(str(tmp_path / f"{name}.bmp"))
        sources.append(str(tmp_path / f"{name}.bmp"))
    out = tmp_path / "out"
    out.mkdir()
    run = subprocess.run([sys.executable, "-c", SAVE_ALL, mode, str(out), *sources], capture_output=True, text=True,
                         env={**os.environ, **env}, timeout=300)
    assert run.returncode == 0, run.stderr
    for i, source in enumerate(sources):
        image = ext.SimpleImage.open(source)
        row = image.width * 3
        raw = b"".join(b"\0" + image._pixels[y * row:(y + 1) * row] for y in range(image.height))
        ihdr = struct.pack(">IIBBBBB", image.width, image.height, 8, 2, 0, 0, 0)
        assert (out / f"{i}.png").read_bytes() == (SIG + ext._makeChunk(b"IHDR", ihdr)
                                                   + ext._makeChunk(b"IDAT", zlib.compress(raw))
                                                   + ext._makeChunk(b"IEND", b"")), source


@pytest.mark.skipif(bool(os.environ.get("SI_SANITIZED")), reason="the sanitizer reserves address space of its own")
def test_memory_the_own_deflater_cannot_get_leaves_the_encode_to_zlib(tmp_path):
    # Under an address-space limit that fits zlib.compress (its output grows as it goes) but not
    # the own deflater's output bound, the save still succeeds, with zlib's bytes.
    w, h = 4096, 5000
    code = f"""
import resource, sys
import Vorlanx.simpleImage_ext as ext
img = ext.SimpleImage({w}, {h}, bytes({w * h * 3}))
vm = int([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmSize')][0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + {h * (1 + 3 * w)} + (40 << 20), resource.RLIM_INFINITY))
img.save(sys.argv[1])
"""
    path = tmp_path / "big.png"
    run = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "SIMPLEIMAGE_DEFLATE_PROBE": "match"})
    assert run.returncode == 0, run.stderr
    assert chunks(path.read_bytes())[1] == (b"IDAT", zlib.compress(bytes(h * (1 + 3 * w))))
