"""BMP decoding and encoding through the module's public doors.

Files are built here by a plain reference writer (`build_bmp`), so every case states the exact
bytes it feeds the decoder.
"""
import io
import os
import random
import struct
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path

import pytest

from Vorlanx import simpleImage_ext as ext

SimpleImage = ext.SimpleImage
DATA = Path(__file__).parent / "data" / "bmp"


def build_bmp(width, height, rgb=b"", *, top_down=False, pad=b"\0", pixelOffset=54, dib=40, planes=1,
              bitCount=24, compression=0, rows=None, tail=b""):
    """A BMP file holding the top-down RGB buffer `rgb` (or the stored `rows` as given)."""
    if rows is None:
        stored = []
        for y in range(abs(height)):
            line = rgb[y * width * 3:(y + 1) * width * 3]
            bgr = b"".join(line[i:i + 3][::-1] for i in range(0, len(line), 3))
            stored.append(bgr + (pad * 3)[:(-3 * width) % 4])
        rows = stored if top_down else stored[::-1]
    body = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", dib, width, -abs(height) if top_down else height, planes, bitCount,
                       compression, len(body), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54 + len(body), 0, 0, pixelOffset) + info + body + tail


def random_rgb(width, height, seed=0):
    return random.Random(seed).randbytes(width * height * 3)


def decode(data):
    return SimpleImage._streamToImage(io.BytesIO(data))


class Recorder:
    """A stream that records every call; `row_type` converts what row reads return."""

    def __init__(self, data, row_type=bytes):
        self.inner, self.calls, self.row_type = io.BytesIO(data), [], row_type

    def read(self, n):
        self.calls.append(("read", n))
        out = self.inner.read(n)
        return self.row_type(out) if len(self.calls) > 5 else out

    def seek(self, pos):
        self.calls.append(("seek", pos))
        return self.inner.seek(pos)


EXAMPLE_1X1 = bytes.fromhex("424d3a000000000000003600000028000000010000000100000001001800000000000400"
                            "0000130b0000130b00000000000000000000332211 00".replace(" ", ""))
EXAMPLE_2X2_ROWS = bytes.fromhex("090807 0c0b0a 0000 030201 060504 0000".replace(" ", ""))


# --- encoder ---------------------------------------------------------------------------------

def test_worked_examples_byte_for_byte(tmp_path):
    p = tmp_path / "a.bmp"
    SimpleImage(1, 1, bytearray([0x11, 0x22, 0x33])).saveBmp(str(p))
    assert p.read_bytes() == EXAMPLE_1X1
    SimpleImage(2, 2, bytearray(range(1, 13))).saveBmp(str(p))
    data = p.read_bytes()
    assert len(data) == 70 and data[54:] == EXAMPLE_2X2_ROWS
    assert decode(data) == (2, 2, bytearray(range(1, 13)))


@pytest.mark.parametrize("width", range(0, 9))
@pytest.mark.parametrize("height", [0, 1, 3])
def test_every_width_round_trips(tmp_path, width, height):
    rgb = random_rgb(width, height, seed=width * 10 + height)
    p = tmp_path / "w.bmp"
    assert ext._writeBmp(str(p), width, height, bytearray(rgb)) is None
    assert p.read_bytes() == build_bmp(width, height, rgb)
    stride = (width * 3 + 3) // 4 * 4
    assert os.path.getsize(p) == 54 + stride * height
    assert decode(p.read_bytes()) == (width, height, bytearray(rgb))


def test_any_byte_source_and_surplus_ignored(tmp_path):
    rgb = random_rgb(3, 2)
    outputs = []
    for i, pixels in enumerate([bytearray(rgb), rgb, list(rgb), memoryview(rgb), bytearray(rgb + b"surplus")]):
        p = tmp_path / f"{i}.bmp"
        ext._writeBmp(path=str(p), width=3, height=2, pixels=pixels)
        outputs.append(p.read_bytes())
    assert all(o == outputs[0] for o in outputs) and len(outputs[0]) == 54 + 12 * 2


@pytest.mark.parametrize("width,height,pixels,kind,message", [
    (-1, 1, b"", struct.error, None),
    (1, -1, b"", struct.error, None),
    (2**31 - 1, 2**31 - 1, b"", struct.error, None),
    (40000, 40000, b"", struct.error, None),  # fileSize beyond 32 bits
    (2**31, 1, b"", OverflowError, "value too large to convert to int"),
    (2, 2, bytes(11), ValueError, "Pixel data length does not match image dimensions"),
    (2, 2, "text", TypeError, None),
])
def test_refused_saves_leave_existing_file_intact(tmp_path, width, height, pixels, kind, message):
    p = tmp_path / "keep.bmp"
    p.write_bytes(b"precious")
    with pytest.raises(kind) as err:
        ext._writeBmp(str(p), width, height, pixels)
    assert message is None or str(err.value) == message
    assert p.read_bytes() == b"precious"
    assert not (tmp_path / "new.bmp").exists()
    with pytest.raises(kind):
        ext._writeBmp(str(tmp_path / "new.bmp"), width, height, pixels)
    assert not (tmp_path / "new.bmp").exists()
    tb = traceback.extract_tb(err.value.__traceback__)
    assert tb[-1].name == "Vorlanx.simpleImage_ext._writeBmp"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_failing_write_propagates():
    with pytest.raises(OSError) as err:
        ext._writeBmp("/dev/full", 300, 300, bytes(270000))
    assert traceback.extract_tb(err.value.__traceback__)[-1].name == "Vorlanx.simpleImage_ext._writeBmp"


def test_pixel_buffer_cannot_be_resized_during_save(tmp_path):
    pixels = bytearray(random_rgb(2, 2))
    target = tmp_path / "r.bmp"

    class SneakyPath:
        def __fspath__(self):
            pixels.extend(b"xyz")  # runs inside open(), while the writer holds the buffer
            return str(target)

    with pytest.raises(BufferError):
        ext._writeBmp(SneakyPath(), 2, 2, pixels)
    assert len(pixels) == 12 and not target.exists()


# --- decoder ---------------------------------------------------------------------------------

@pytest.mark.parametrize("width", range(1, 9))
def test_row_orders_and_padding(width):
    rgb = random_rgb(width, 3, seed=width)
    bottom_up = build_bmp(width, 3, rgb, pad=b"\xee", tail=b"trailing junk")
    top_down = build_bmp(width, 3, rgb, top_down=True, pad=b"\x5a")
    assert decode(bottom_up) == decode(top_down) == (width, 3, bytearray(rgb))
    image = SimpleImage.open(bytearray(top_down))
    assert (image.width, image.height, image._pixels) == (width, 3, bytearray(rgb))


def test_stream_call_sequence_and_row_type():
    data = build_bmp(2, 3, random_rgb(2, 3), pixelOffset=54)
    stream = Recorder(data)
    SimpleImage._streamToImage(stream)
    assert stream.calls == [("read", 8), ("seek", 0), ("read", 14), ("read", 4), ("read", 36), ("seek", 54)] + \
        [("read", 8)] * 3
    stream = Recorder(data, row_type=bytearray)
    with pytest.raises(TypeError):
        SimpleImage._streamToImage(stream)
    assert stream.calls[-1] == ("read", 8) and len(stream.calls) == 7


@pytest.mark.parametrize("width,height,result", [
    (0, 2**31 - 1, (0, 2**31 - 1, bytearray())),  # no reads for empty rows, however many
    (0, -5, (0, 5, bytearray())),
    (3, 0, (3, 0, bytearray())),
    (-7, 0, (-7, 0, bytearray())),
    (-2, 1, ValueError("negative count")),  # the byte array's own refusal, before the seek
])
def test_calls_after_the_headers(width, height, result):
    stream = Recorder(build_bmp(width, height, rows=[]))
    if isinstance(result, Exception):
        with pytest.raises(type(result), match=str(result)):
            SimpleImage._streamToImage(stream)
        assert stream.calls[5:] == []
    else:
        assert SimpleImage._streamToImage(stream) == result
        assert stream.calls[5:] == [("seek", 54)]


def test_pixel_offset_pointing_into_headers():
    data = build_bmp(1, 1, rows=[b"\1\2\3\0"], pixelOffset=0)
    # The stored pixel is the file's first three bytes, "B", "M" and the low byte of fileSize.
    assert decode(data) == (1, 1, bytearray([data[2], ord("M"), ord("B")]))


def header_only(size):
    return build_bmp(6, 6, rows=[])[:size]


REFUSALS = [
    # (case, data, exception, message or None for the exception's own)
    ("just the marker", b"BM", ValueError, "Unsupported BMP header"),
    ("13 bytes", header_only(13), ValueError, "Unsupported BMP header"),
    ("14 bytes", header_only(14), ValueError, "Corrupted BMP DIB header"),
    ("17 bytes", header_only(17), ValueError, "Corrupted BMP DIB header"),
    ("18 bytes", header_only(18), struct.error, None),
    ("53 bytes", header_only(53), struct.error, None),
    ("size checked before body", build_bmp(6, 6, rows=[], dib=108)[:18], ValueError,
     "Only BITMAPINFOHEADER BMP files are supported"),
] + [
    (f"dib {d}", build_bmp(1, 1, rows=[bytes(4)], dib=d), ValueError, "Only BITMAPINFOHEADER BMP files are supported")
    for d in (12, 108, 124)
] + [
    (f"{field}={v}", build_bmp(1, 1, rows=[bytes(4)], **{field: v}), ValueError,
     "Only uncompressed 24-bit BMP files are supported")
    for field, values in [("bitCount", (1, 8, 16, 32)), ("compression", (1, 2, 3)), ("planes", (0, 2))]
    for v in values
] + [
    ("bad planes before negative width", build_bmp(-1, 1, rows=[], planes=0), ValueError,
     "Only uncompressed 24-bit BMP files are supported"),
    ("negative width", build_bmp(-2, 1, rows=[]), ValueError, "negative count"),
    ("truncated row", build_bmp(2, 2, rows=[bytes(8), bytes(7)]), ValueError, "Incomplete BMP pixel data"),
    ("pixelOffset past the data", build_bmp(1, 1, rows=[bytes(4)], pixelOffset=999), ValueError,
     "Incomplete BMP pixel data"),
    ("huge declared size", build_bmp(100000, 100000, rows=[bytes(4)]), ValueError, "Incomplete BMP pixel data"),
    # 1 x (2**31 - 1) stored bottom-up: the first row read lands beyond 2147483647 bytes.
    ("row beyond 31 bits", build_bmp(1, 2**31 - 1, rows=[bytes(4)]), OverflowError,
     "value too large to convert to int"),
    ("short row wins over overflow", build_bmp(1, 2**31 - 1, rows=[bytes(3)]), ValueError,
     "Incomplete BMP pixel data"),
]


@pytest.mark.parametrize("case,data,kind,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals(case, data, kind, message):
    with pytest.raises(kind) as err:
        SimpleImage.open(data)
    if message is not None:
        assert str(err.value) == message
    assert "Vorlanx.simpleImage_ext._loadBmp" in [f.name for f in traceback.extract_tb(err.value.__traceback__)]


def test_rebinding_struct_changes_what_the_codec_uses(tmp_path, monkeypatch):
    seen = []

    class Spy:
        def pack(self, fmt, *args):
            seen.append(("pack", fmt))
            return struct.pack(fmt, *args)

        def unpack(self, fmt, data):
            seen.append(("unpack", fmt))
            return struct.unpack(fmt, data)

    monkeypatch.setattr(ext, "struct", Spy())
    p = tmp_path / "s.bmp"
    SimpleImage(1, 1, bytearray(3)).saveBmp(str(p))
    SimpleImage.open(str(p))
    assert seen == [("pack", "<IHHI"), ("pack", "<IIIHHIIIIII"),
                    ("unpack", "<IHHI"), ("unpack", "<I"), ("unpack", "<iiHHIIiiII")]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's shadow memory counts as resident")
def test_huge_declarations_use_little_memory(tmp_path):
    # Each file declares far more pixels than it holds; the last one's buffer (1.8 GB) is within
    # range and allocated, but must stay untouched.
    files = []
    for i, (w, h) in enumerate([(100000, 100000), (3000000, 2000000), (20000, 30000)]):
        files.append(tmp_path / f"{i}.bmp")
        files[-1].write_bytes(build_bmp(w, h, rows=[bytes(4)]))
    script = textwrap.dedent(f"""
        import resource
        from Vorlanx.simpleImage_ext import SimpleImage
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for path in {[str(f) for f in files]!r}:
            for source in (path, open(path, "rb").read()):
                try:
                    SimpleImage.open(source)
                except ValueError as e:
                    assert str(e) == "Incomplete BMP pixel data", e
                else:
                    raise AssertionError("decoded")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 32 * 1024  # KiB


# --- real files and a second opinion -----------------------------------------------------------

@pytest.mark.parametrize("name,expected", [
    ("rgb24.bmp", (127, 64)),
    ("Info_R8_G8_B8.bmp", (6, 6)),
    ("Info_R8_G8_B8_Top_Down.bmp", "Info_R8_G8_B8.bmp"),  # the same picture stored top-down
    ("pal8os2sp.bmp", "Only BITMAPINFOHEADER BMP files are supported"),
    ("pal8v5.bmp", "Only BITMAPINFOHEADER BMP files are supported"),
    ("rgb32.bmp", "Only uncompressed 24-bit BMP files are supported"),
    ("badplanes.bmp", "Only uncompressed 24-bit BMP files are supported"),
    ("Bad_reallybig.bmp", "Incomplete BMP pixel data"),
])
def test_corpus_files(name, expected):
    if isinstance(expected, tuple):
        image = SimpleImage.open(DATA / name)
        assert (image.width, image.height, len(image._pixels)) == (*expected, expected[0] * expected[1] * 3)
    elif expected.endswith(".bmp"):
        assert decode((DATA / name).read_bytes()) == decode((DATA / expected).read_bytes())
    else:
        with pytest.raises(ValueError, match=f"^{expected}$"):
            SimpleImage.open(str(DATA / name))


@pytest.mark.parametrize("width,height", [(1, 1), (5, 3), (127, 64), (640, 7)])
def test_pillow_agrees(tmp_path, width, height):
    Image = pytest.importorskip("PIL.Image")
    rgb = random_rgb(width, height, seed=width)
    ours = tmp_path / "ours.bmp"
    SimpleImage(width, height, bytearray(rgb)).saveBmp(str(ours))
    with Image.open(ours) as im:
        assert (im.mode, im.size, im.tobytes()) == ("RGB", (width, height), rgb)
    theirs = tmp_path / "theirs.bmp"
    Image.frombytes("RGB", (width, height), rgb).save(theirs, format="BMP")
    assert decode(theirs.read_bytes()) == (width, height, bytearray(rgb))
    with Image.open(DATA / "rgb24.bmp") as im:
        assert SimpleImage.open(str(DATA / "rgb24.bmp"))._pixels == im.convert("RGB").tobytes()


def test_from_a_path_as_from_bytes(tmp_path):
    # A file the module opens itself is read a large piece at a time; what comes back, and
    # which refusal, is what the same bytes give through a stream read row by row.
    rgb = random_rgb(300, 500, seed=4)  # rows of 900 bytes: several pieces
    files = [build_bmp(300, 500, rgb), build_bmp(300, 500, rgb, top_down=True), build_bmp(3, 1, b"abcdefghi"),
             build_bmp(100000, 100000, rows=[bytes(4)]),  # far more rows than the file holds
             build_bmp(70000, -11000, rows=[bytes(210000)] * 3),  # a top-down row past 2**31 - 1
             build_bmp(70000, 11000, rows=[bytes(210000)] * 3)]
    files += [files[0][:cut] for cut in (54, 55, 54 + 900 * 291 + 17, len(files[0]) - 1)]
    for i, data in enumerate(files):
        path = tmp_path / f"{i}.bmp"
        path.write_bytes(data)
        outcomes = []
        for source in (data, str(path)):
            try:
                img = SimpleImage.open(source)
                outcomes.append((img.size, bytes(img._pixels)))
            except (ValueError, OverflowError) as e:
                outcomes.append((type(e), str(e)))
        assert outcomes[0] == outcomes[1], i
