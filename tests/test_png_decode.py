"""PNG chunk framing and decoding, on files built in code and on real files."""
import io
import pathlib
import random
import struct
import subprocess
import sys
import traceback
import types
import zlib

import pytest

from Vorlanx import simpleImage_ext as ext

SIG = b"\x89PNG\r\n\x1a\n"
DATA = pathlib.Path(__file__).parent / "data" / "png"


def chunk(kind, data=b""):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def ihdr(width, height, depth=8, color=2, comp=0, filt=0, interlace=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, color, comp, filt, interlace))


def predictor(kind, left, up, up_left):
    if kind == 1:
        return left
    if kind == 2:
        return up
    if kind == 3:
        return (left + up) >> 1
    if kind == 4:
        p = left + up - up_left
        pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
        return left if pa <= pb and pa <= pc else up if pb <= pc else up_left
    return 0


def filter_rows(rows, filters, bpp):
    """Scanline data for `rows` (raw pixel bytes), row y filtered with filters[y]."""
    out, prev = bytearray(), bytes(len(rows[0]))
    for row, kind in zip(rows, filters):
        out.append(kind)
        for i, value in enumerate(row):
            left = row[i - bpp] if i >= bpp else 0
            up_left = prev[i - bpp] if i >= bpp else 0
            out.append((value - predictor(kind, left, prev[i], up_left)) % 256)
        prev = row
    return bytes(out)


def png(width, height, raw, color=2, idat_splits=None, between=b"", end=True):
    stream = zlib.compress(raw)
    cuts = [0] + sorted(idat_splits or []) + [len(stream)]
    idats = between.join(chunk(b"IDAT", stream[a:b]) for a, b in zip(cuts, cuts[1:]))
    return SIG + ihdr(width, height, color=color) + idats + (chunk(b"IEND") if end else b"")


def decode(data):
    return ext.SimpleImage._streamToImage(io.BytesIO(data))


def raises(data, kind, message=None):
    with pytest.raises(kind) as info:
        decode(data)
    if message is not None:
        assert str(info.value) == message
    return info


def random_image(rng, width, height, bpp):
    return [bytes(rng.randrange(256) for _ in range(width * bpp)) for _ in range(height)]


def rgb_of(rows, bpp):
    return b"".join(bytes(b for i, b in enumerate(row) if i % bpp < 3) for row in rows)


# --- chunk framing

def test_make_chunk_layout_and_round_trip():
    assert ext._makeChunk(b"IEND", b"") == bytes.fromhex("0000000049454e44ae426082")
    # The type's length is not checked: 4 + 2 + 1 + 4 bytes.
    odd = ext._makeChunk(b"ab", b"c")
    assert odd == b"\0\0\0\1abc" + struct.pack(">I", zlib.crc32(b"abc"))
    rng = random.Random(1)
    for size in (0, 1, 13, 5000):
        kind, data = bytes(rng.randrange(256) for _ in range(4)), rng.randbytes(size)
        stream = io.BytesIO(ext._makeChunk(kind, data))
        assert ext._readChunk(stream) == (kind, data) and stream.read() == b""


def test_chunk_crc_every_length_and_a_replaced_crc32(monkeypatch):
    # The checksum is computed in folds of 64 and 16 bytes plus a byte-wise tail: every length
    # around those steps, at every alignment, must agree with zlib's.
    rng = random.Random(3)
    blob = rng.randbytes(70000)
    for size in [*range(300), 1023, 1024, 1025, 65536 + 17, 69990]:
        start = rng.randrange(16)
        data = blob[start:start + size]
        assert ext._makeChunk(b"IDAT", data)[-4:] == struct.pack(">I", zlib.crc32(data, zlib.crc32(b"IDAT")))
    # A crc32 replaced on the real zlib module is the one used.
    seen = []
    monkeypatch.setattr(zlib, "crc32", lambda data, value=0: seen.append(bytes(data)) or 0x12345678)
    assert ext._makeChunk(b"tEXt", b"hi")[-4:] == b"\x12\x34\x56\x78" and seen == [b"tEXt", b"hi"]
    # And so is a replaced struct.pack.
    packed, pack = [], struct.pack
    monkeypatch.setattr(struct, "pack", lambda fmt, value: packed.append(value) or pack(fmt, value))
    ext._makeChunk(b"tEXt", b"hi")
    assert packed == [2, 0x12345678]


@pytest.mark.parametrize("kind, data, message", [
    (bytearray(b"IEND"), b"", "(expected bytes, got bytearray)"),
    (b"IEND", memoryview(b""), "(expected bytes, got memoryview)"),
    (None, None, "Argument 'chunkType' has incorrect type (expected bytes, got NoneType)"),
    (type("B", (bytes,), {})(b"IEND"), b"", "got B). Subclasses"),
])
def test_make_chunk_type_tests(kind, data, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        ext._makeChunk(kind, data)


@pytest.mark.parametrize("data, message", [
    (b"\0", "Unexpected EOF while reading chunk length"), (b"\0\0\0", "Unexpected EOF while reading chunk length"),
    (b"\0\0\0\x0aID", "Unexpected EOF while reading chunk type"),
    (b"\0\0\0\x0aIDAT" + b"x" * 6, "Unexpected EOF while reading chunk data"),
    (b"\0\0\0\x0aIDAT" + b"x" * 12, "Unexpected EOF while reading chunk CRC"),
    (chunk(b"IEND")[:-1] + b"\x83", "Corrupted PNG chunk detected"),
    (b"\0\0\0\0IEND" + struct.pack("<I", zlib.crc32(b"IEND")), "Corrupted PNG chunk detected"),
])
def test_read_chunk_refusals(data, message):
    with pytest.raises(ValueError) as info:
        ext._readChunk(io.BytesIO(data))
    assert str(info.value) == message


def test_read_chunk_end_and_own_objects():
    stream = io.BytesIO()
    assert ext._readChunk(stream) == (b"", b"") == ext._readChunk(stream)

    class Recorder(io.BytesIO):
        def read(self, n=-1):
            self.calls.append(n)
            self.results.append(super().read(n))
            return self.results[-1]

    stream = Recorder(chunk(b"tEXt", b"hello") + b"trailing")
    stream.calls, stream.results = [], []
    kind, data = ext._readChunk(stream)
    assert stream.calls == [4, 4, 5, 4] and stream.read() == b"trailing"
    assert kind is stream.results[1] and data is stream.results[2]


def test_function_metadata():
    assert ext._readChunk.__code__.co_varnames == (
        "stream", "lengthBytes", "length", "chunkType", "data", "crc", "expectedCrc", "actualCrc")
    assert ext._makeChunk.__code__.co_varnames == ("chunkType", "data", "length", "crcValue", "crc")
    assert ext._readChunk.__annotations__ == {"return": "Tuple[bytes, bytes]"}
    assert ext._makeChunk.__annotations__ == {"chunkType": "bytes", "data": "bytes", "return": "bytes"}


# --- decoding

@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("filters", [[0] * 4, [1] * 4, [2] * 4, [3] * 4, [4] * 5, [4, 3, 2, 1], [2, 4, 4, 4, 3, 4, 0, 4], [4, 4],
                                     [3, 3, 3, 4, 3, 3, 4, 4, 3, 1, 3]])
@pytest.mark.parametrize("width", [1, 2, 5, 37])
def test_every_filter(bpp, filters, width):
    rng = random.Random(width * 100 + bpp)
    rows = random_image(rng, width, len(filters), bpp)
    result = decode(png(width, len(rows), filter_rows(rows, filters, bpp), color=2 if bpp == 3 else 6))
    assert result == (width, len(rows), bytearray(rgb_of(rows, bpp)))
    assert type(result) is tuple and type(result[2]) is bytearray


@pytest.mark.parametrize("kind, left, up, up_left, pred", [
    (1, 100, 0, 0, 100),  # with filtered 200: 300 wraps to 44
    (3, 200, 100, 0, 150),  # the full sum is halved
    (4, 7, 1, 3, 7), (4, 1, 7, 3, 7), (4, 9, 9, 9, 9), (4, 0, 255, 255, 0), (4, 255, 0, 255, 0),
])
def test_predictor_cases(kind, left, up, up_left, pred):
    # Pixel (1, 1) is filtered with `kind`; its neighbours are set through unfiltered pixels.
    raw = bytes([0]) + bytes([up_left] * 3 + [up] * 3) + bytes([kind]) + bytes([left] * 3) + bytes([200] * 3)
    if kind in (3, 4):  # pixel (0, 1) goes through the same filter; undo it against its own neighbours
        first = predictor(kind, 0, up_left, 0)
        raw = raw[:8] + bytes([(left - first) % 256] * 3) + raw[11:]
    pixels = decode(png(2, 2, raw))[2]
    assert pixels[9:] == bytes([(200 + pred) % 256] * 3)


def test_alpha_is_dropped_and_empty_images():
    assert decode(png(1, 1, b"\0\x0a\x14\x1e\x00", color=6)) == (1, 1, bytearray(b"\x0a\x14\x1e"))
    assert decode(png(1, 1, b"\0\xff\0\0")) == (1, 1, bytearray(b"\xff\0\0"))
    # Rows of width 0 never have their filter byte examined.
    assert decode(png(0, 2, b"\x07\xff")) == (0, 2, bytearray())
    assert decode(png(5, 0, b"")) == (5, 0, bytearray())


def test_chunk_layout_variations():
    rng = random.Random(7)
    rows = random_image(rng, 20, 10, 3)
    raw = filter_rows(rows, [4, 1, 2, 3, 0] * 2, 3)
    want = (20, 10, bytearray(rgb_of(rows, 3)))
    noise = chunk(b"tEXt", b"comment") + chunk(b"IDAT")
    assert decode(png(20, 10, raw, idat_splits=[1, 2, 7, 50, 51, 300], between=noise)) == want
    assert decode(png(20, 10, raw, end=False)) == want
    # IHDR after the data, and the last of two IHDRs wins.
    stream = zlib.compress(raw)
    late = SIG + ihdr(3, 3) + chunk(b"IDAT", stream) + ihdr(20, 10) + chunk(b"IEND") + b"junk after the end"
    assert decode(late) == want


@pytest.mark.parametrize("flat", [False, True])
def test_large_streams_split_anywhere(flat):
    # Big enough for the inflater's input to be both sliced out of large chunks and gathered
    # across small ones; noise is the photograph-like case, mostly blank rows the flat one.
    rng = random.Random(11)
    width, height = 800, 400
    rows = [bytes(width * 3) if flat and y % 9 else rng.randbytes(width * 3) for y in range(height)]
    raw = b"".join(b"\0" + row for row in rows)
    n = len(zlib.compress(raw))
    a = n * 35 // 100
    splits = [a, a + 1, a + 1, a + 700, n - 3]
    assert decode(png(width, height, raw, idat_splits=splits)) == (width, height, bytearray(b"".join(rows)))


@pytest.mark.parametrize("data, kind, message", [
    (SIG, ValueError, "Incomplete PNG header information"),
    (SIG + chunk(b"ihdr", ihdr(1, 1)[8:21]) + chunk(b"IEND"), ValueError, "Incomplete PNG header information"),
    (SIG + ihdr(1, 1, depth=16, color=3), ValueError, "Only 8-bit PNG images are supported"),
    (SIG + ihdr(1, 1, color=3), ValueError, "Only RGB/RGBA PNG images are supported"),
    (SIG + ihdr(1, 1, interlace=1), ValueError, "Unsupported PNG configuration (compression/filter/interlace)"),
    (SIG + ihdr(1, 1, filt=1), ValueError, "Unsupported PNG configuration (compression/filter/interlace)"),
    (SIG + ihdr(2**29, 0, color=6), ValueError, "PNG image too large"),
    (SIG + ihdr(50000, 50000), ValueError, "PNG image too large"),
    (SIG + ihdr(2**31 - 1, 1), ValueError, "PNG image too large"),
    # An oversized field fails at its own chunk, before the corrupt one after it is read.
    (SIG + ihdr(2**31, 1) + b"\0\0\0\0IEND\0\0\0\0", OverflowError, "value too large to convert to int"),
    (SIG + chunk(b"IHDR", b"\0" * 12), struct.error, None),
    (SIG + ihdr(1, 1), zlib.error, None),  # no image data at all
    (png(1, 1, b"\0\1\2\3\4"), ValueError, "Malformed PNG image data"),
    (png(1, 1, b"\0\1\2"), ValueError, "Malformed PNG image data"),
    (png(1, 2, b"\0\1\2\3\5\1\2\3"), ValueError, "Unsupported PNG filter: 5"),
    (png(1, 1, b"\xff\1\2\3"), ValueError, "Unsupported PNG filter: 255"),
    # A bad filter byte loses to a length error and to a zlib error.
    (png(1, 1, b"\x09\1\2\3\4"), ValueError, "Malformed PNG image data"),
    (SIG + ihdr(1, 1) + chunk(b"IDAT", zlib.compress(b"\x09\1\2\3")[:-4]), zlib.error, None),
])
def test_refusals(data, kind, message):
    raises(data, kind, message)


def test_corruption_and_truncation_anywhere():
    rng = random.Random(3)
    rows = random_image(rng, 6, 5, 4)
    data = png(6, 5, filter_rows(rows, [1, 2, 3, 4, 0], 4), color=6, idat_splits=[30])
    start = len(SIG)
    while start < len(data):
        length = struct.unpack(">I", data[start:start + 4])[0]
        for pos in range(start + 4, start + 12 + length):  # type, data and CRC bytes
            broken = bytearray(data)
            broken[pos] ^= 0x20
            raises(bytes(broken), ValueError, "Corrupted PNG chunk detected")
        start += 12 + length
    for cut in range(len(data)):
        try:
            decode(data[:cut])
        except (ValueError, zlib.error):
            continue
        assert cut >= len(data) - 12  # only the IEND chunk may be missing


def test_stream_cut_before_checksum():
    raw = b"\0\1\2\3"
    for keep in (2, 1):  # all pixel bytes come out, but the Adler-32 is missing
        info = raises(SIG + ihdr(1, 1) + chunk(b"IDAT", zlib.compress(raw)[:-keep]), zlib.error)
        with pytest.raises(zlib.error) as plain:
            zlib.decompress(zlib.compress(raw)[:-keep])
        assert str(info.value) == str(plain.value)


def test_traceback_names():
    info = raises(png(1, 1, b"\x05\1\2\3"), ValueError)
    names = [frame.name for frame in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["Vorlanx.simpleImage_ext._loadPng", "Vorlanx.simpleImage_ext._applyPngFilter"]
    info = raises(SIG + b"\0\0", ValueError, "Unexpected EOF while reading chunk length")
    names = [frame.name for frame in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["Vorlanx.simpleImage_ext._loadPng", "Vorlanx.simpleImage_ext._readChunk"]


BOMB = r"""
import io, resource, struct, sys, zlib
from Vorlanx import simpleImage_ext as ext
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
# A full flush makes each 1 MiB segment stand alone, so repeating one gives 2 GiB of zeros fast.
packer = zlib.compressobj(9)
first = packer.compress(bytes(1 << 20)) + packer.flush(zlib.Z_FULL_FLUSH)
again = packer.compress(bytes(1 << 20)) + packer.flush(zlib.Z_FULL_FLUSH)
stream = first + again * 2047 + packer.flush()
header = struct.pack(">IIBBBBB", 100, 100, 8, 2, 0, 0, 0)
data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", stream) + chunk(b"IEND", b"")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    ext.SimpleImage.open(data)
except ValueError as e:
    print(e)
print(len(stream), before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_decompression_bomb_is_refused_with_little_memory():
    done = subprocess.run([sys.executable, "-c", BOMB], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    message, numbers = done.stdout.splitlines()
    compressed, before, after = map(int, numbers.split())
    assert message == "Malformed PNG image data"
    assert compressed < 4 << 20
    assert after - before < 32 * 1024  # KiB: far below the 2 GiB the stream inflates to


# --- the namespace decides what the decoder uses

def test_rebinding_namespace_names(monkeypatch):
    data = png(2, 1, b"\x01" + bytes(range(6)))
    want = decode(data)
    calls = []

    def spy(module, name):
        def wrapper(*args):
            calls.append(name)
            return getattr(module, name)(*args)
        return wrapper

    monkeypatch.setattr(ext, "zlib", types.SimpleNamespace(
        crc32=spy(zlib, "crc32"), decompress=spy(zlib, "decompress"), decompressobj=spy(zlib, "decompressobj")))
    monkeypatch.setattr(ext, "struct", types.SimpleNamespace(unpack=spy(struct, "unpack")))
    assert decode(data) == want
    assert calls.count("decompressobj") == 1 and calls.count("crc32") == 6 and calls.count("unpack") == 7
    # A zlib module without decompressobj is called once, on the joined data.
    calls.clear()
    monkeypatch.setattr(ext, "zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=spy(zlib, "decompress")))
    assert decode(data) == want and [c for c in calls if c != "unpack"] == ["decompress"]
    monkeypatch.setattr(ext, "zlib", zlib)

    seen = []
    real = ext._readChunk
    monkeypatch.setattr(ext, "_readChunk", lambda s: seen.append(1) or real(s))
    assert decode(data) == want and len(seen) == 3
    monkeypatch.setattr(ext, "_readChunk", lambda s: (b"IEND",))
    raises(data, ValueError, "need more than 1 value to unpack")
    monkeypatch.setattr(ext, "_readChunk", real)

    # The standard struct and zlib functions are computed directly, but only while they are
    # what they seem: replaced on the real modules they are called, and a standard function
    # bound under another name is not taken for the one that name suggests.
    monkeypatch.undo()
    calls.clear()
    monkeypatch.setattr(struct, "unpack", spy(types.SimpleNamespace(unpack=struct.unpack), "unpack"))
    monkeypatch.setattr(zlib, "crc32", spy(types.SimpleNamespace(crc32=zlib.crc32), "crc32"))
    assert decode(data) == want and calls.count("unpack") == 7 and calls.count("crc32") == 6
    monkeypatch.undo()
    impostor = types.ModuleType("struct")
    impostor.unpack = zlib.crc32
    monkeypatch.setattr(ext, "struct", impostor)
    raises(data, TypeError)
    monkeypatch.undo()

    monkeypatch.setattr(ext, "PNG_SIGNATURE", b"\x89PNG\r\n\x1a\x0b")
    assert decode(b"\x89PNG\r\n\x1a\x0b" + data[8:]) == want
    raises(data, ValueError, "Unsupported image format")
    # The detector only asks for a prefix; the decoder wants the whole signature.
    monkeypatch.setattr(ext, "PNG_SIGNATURE", SIG[:4])
    raises(data, ValueError, "Unsupported PNG signature")


# --- real files

@pytest.mark.parametrize("name", sorted(p.name for p in DATA.glob("*.png")))
def test_real_files_match_pillow(name):
    image = pytest.importorskip("PIL.Image")
    path = DATA / name
    ours = ext.SimpleImage.open(path)
    with image.open(path) as theirs:
        assert (ours.width, ours.height) == theirs.size
        assert bytes(ours._pixels) == theirs.convert("RGB").tobytes()
    data = path.read_bytes()
    for source in (str(path), data, bytearray(data)):
        assert ext.SimpleImage.open(source)._pixels == ours._pixels
