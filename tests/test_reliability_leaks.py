"""Every entry point, on success and on each kind of failure (including failures raised from
inside the caller's own callbacks), called thousands of times leaves memory flat: the traced
Python allocations and the resident size."""
import io
import os
import struct
import zlib

import pytest

import Vorlanx.simpleImage_ext as ext
from test_reliability_support import SANITIZED, bmp_bytes, memory_growth, png_bytes

SimpleImage = ext.SimpleImage
TIMES = 2000
# Generous: a leak of even one small object per call would be 2000 objects, far above these.
TRACED_LIMIT = 48 * 1024
RSS_LIMIT = 6 * 1024 * 1024

# Images big enough (12 KiB of pixels) that losing one buffer per call shows in resident size.
PNG = png_bytes(64, 64, filter_type=4)
PNG_RGBA = png_bytes(64, 64, color_type=6, filter_type=3)
BMP = bmp_bytes(63, -64)
PIXELS = bytes(range(256)) * 48
IMAGE = SimpleImage(64, 64, PIXELS)


class Boom(Exception):
    pass


class IntRaises:
    def __int__(self):
        raise Boom


class IntReturnsStr:
    def __int__(self):
        return "1"


class IterRaises:
    def __iter__(self):
        yield 1
        raise Boom


class SizedIterRaises(IterRaises):
    def __len__(self):
        return 3


class ReadRaises(io.BytesIO):
    def __init__(self, data, after):
        super().__init__(data)
        self.left = after

    def read(self, n=-1):
        self.left -= 1
        if self.left < 0:
            raise Boom
        return super().read(n)


class SeekRaises(io.BytesIO):
    def seek(self, *args):
        raise Boom


class ZlibRaises:
    """A zlib stand-in whose every entry point fails, as a broken faster module might."""
    error = zlib.error

    def __getattr__(self, name):
        raise Boom(name)


class FailingDecompressor:
    """Inflates honestly once, then fails: the failure comes mid-image."""
    eof = False

    def __init__(self):
        self.real, self.calls, self.unconsumed_tail = zlib.decompressobj(), 0, b""

    def decompress(self, data, max_length=0):
        self.calls += 1
        if self.calls > 1:
            raise Boom
        out = self.real.decompress(data, 100)
        self.unconsumed_tail = self.real.unconsumed_tail
        return out


class DecompressRaisesLater:
    error = zlib.error
    crc32 = staticmethod(zlib.crc32)
    compress = staticmethod(zlib.compress)
    decompressobj = FailingDecompressor


class ReadsInt:
    def read(self, n):
        return 4


def raises(kind, call):
    def run():
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{kind.__name__} not raised")
    return run


def rebound(name, value, call):
    """`call` with the module attribute `name` bound to `value` for its duration."""
    def run():
        saved = getattr(ext, name)
        setattr(ext, name, value)
        try:
            call()
        finally:
            setattr(ext, name, saved)
    return run


def crc_broken(data):
    return data[:-1] + bytes([data[-1] ^ 1])


def png_with_raw(width, height, raw, cut=0):
    packed = zlib.compress(raw)
    return (PNG[:8] + ext._makeChunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            ext._makeChunk(b"IDAT", packed[:len(packed) - cut]))


def boom(*args):
    raise Boom


CONSTRUCT = {
    "construct": lambda: SimpleImage(64, 64, PIXELS),
    "construct from bytearray": lambda: SimpleImage(64, 64, bytearray(PIXELS)),
    "construct wrong length": raises(ValueError, lambda: SimpleImage(64, 63, PIXELS)),
    "construct pixels None": raises(TypeError, lambda: SimpleImage(1, 1, None)),
    "construct width too big": raises(OverflowError, lambda: SimpleImage(2**31, 1, b"")),
    "construct __int__ raises": raises(Boom, lambda: SimpleImage(IntRaises(), 1, b"abc")),
    "construct __int__ returns str": raises(TypeError, lambda: SimpleImage(IntReturnsStr(), 1, b"abc")),
    "construct pixels iteration raises": raises(Boom, lambda: SimpleImage(1, 1, SizedIterRaises())),
    "construct bad keyword": raises(TypeError, lambda: SimpleImage(1, 1, b"abc", colour=1)),
}
PIXEL_ACCESS = {
    "getPixel": lambda: IMAGE.getPixel((3, 4)),
    "getPixel out of bounds": raises(ValueError, lambda: IMAGE.getPixel((64, 0))),
    "getPixel list": raises(TypeError, lambda: IMAGE.getPixel([0, 0])),
    "getPixel foreign coordinate": raises(TypeError, lambda: IMAGE.getPixel((IntRaises(), 0))),
    "getPixel three coordinates": raises(ValueError, lambda: IMAGE.getPixel((0, 0, 0))),
    "putPixel": lambda: IMAGE.putPixel((5, 6), (1, 2, 3)),
    "putPixel from a generator": lambda: IMAGE.putPixel((5, 6), (v for v in (1, 2, 3))),
    "putPixel component __int__ raises": raises(Boom, lambda: IMAGE.putPixel((0, 0), (1, IntRaises(), 3))),
    "putPixel iteration raises": raises(Boom, lambda: IMAGE.putPixel((0, 0), IterRaises())),
    "putPixel four components": raises(ValueError, lambda: IMAGE.putPixel((0, 0), [1, 2, 3, 4])),
    "putPixel out of bounds": raises(ValueError, lambda: IMAGE.putPixel((-1, 0), (1, 2, 3))),
    "copy": lambda: IMAGE.copy(),
    "size": lambda: IMAGE.size,
    "set width __int__ raises": raises(Boom, lambda: setattr(SimpleImage(1, 1, b"abc"), "width", IntRaises())),
    "set _pixels wrong type": raises(TypeError, lambda: setattr(SimpleImage(1, 1, b"abc"), "_pixels", b"abc")),
    "delete width": raises(NotImplementedError, lambda: delattr(SimpleImage(1, 1, b"abc"), "width")),
    "pickle refused": raises(TypeError, lambda: IMAGE.__reduce__()),
}
DECODE = {
    "open PNG bytes": lambda: SimpleImage.open(PNG),
    "open RGBA PNG bytearray": lambda: SimpleImage.open(bytearray(PNG_RGBA)),
    "open BMP bytes": lambda: SimpleImage.open(BMP),
    "open unsupported": raises(ValueError, lambda: SimpleImage.open(b"GIF89a")),
    "open None": raises(TypeError, lambda: SimpleImage.open(None)),
    "open PNG bad CRC": raises(ValueError, lambda: SimpleImage.open(crc_broken(PNG))),
    "open PNG truncated zlib": raises(zlib.error, lambda: SimpleImage.open(png_with_raw(2, 2, b"\0" * 14, cut=4))),
    "open PNG malformed length": raises(ValueError, lambda: SimpleImage.open(png_with_raw(64, 64, b"\0" * 100))),
    "open PNG bad filter": raises(ValueError, lambda: SimpleImage.open(png_with_raw(2, 2, b"\x07" * 14))),
    "open PNG short IHDR": raises(struct.error, lambda: SimpleImage.open(
        PNG[:8] + ext._makeChunk(b"IHDR", b"\0" * 12))),
    "open PNG width above int32": raises(OverflowError, lambda: SimpleImage.open(
        PNG[:8] + ext._makeChunk(b"IHDR", struct.pack(">IIBBBBB", 2**31, 1, 8, 2, 0, 0, 0)))),
    "open PNG too large": raises(ValueError, lambda: SimpleImage.open(png_with_raw(2**30, 2**30, b""))),
    "open BMP truncated rows": raises(ValueError, lambda: SimpleImage.open(BMP[:-100])),
    "open BMP short info header": raises(struct.error, lambda: SimpleImage.open(BMP[:30])),
    "open BMP negative width": raises(ValueError, lambda: SimpleImage.open(bmp_bytes(-3, 2))),
    "open PNG rebound zlib raises": rebound("zlib", ZlibRaises(), raises(Boom, lambda: SimpleImage.open(PNG))),
    "open PNG zlib fails mid-image": rebound("zlib", DecompressRaisesLater(),
                                            raises(Boom, lambda: SimpleImage.open(PNG))),
    "open PNG rebound _readChunk returns 3": rebound("_readChunk", lambda s: (b"IEND", b"", b""),
                                                     raises(ValueError, lambda: SimpleImage.open(PNG))),
    "stream read raises in header": raises(Boom, lambda: SimpleImage._streamToImage(ReadRaises(PNG, 3))),
    "stream read raises in rows": raises(Boom, lambda: SimpleImage._streamToImage(ReadRaises(BMP, 10))),
    "stream seek raises": raises(Boom, lambda: SimpleImage._streamToImage(SeekRaises(BMP))),
    "stream without seek": raises(AttributeError, lambda: SimpleImage._streamToImage(object())),
    "_readChunk": lambda: ext._readChunk(io.BytesIO(PNG[8:])),
    "_readChunk at the end": lambda: ext._readChunk(io.BytesIO(b"")),
    "_readChunk short data": raises(ValueError, lambda: ext._readChunk(io.BytesIO(PNG[8:30]))),
    "_readChunk read raises": raises(Boom, lambda: ext._readChunk(ReadRaises(PNG[8:], 2))),
    "_readChunk read returns int": raises(TypeError, lambda: ext._readChunk(ReadsInt())),
    "_makeChunk": lambda: ext._makeChunk(b"IDAT", PIXELS),
    "_makeChunk wrong type": raises(TypeError, lambda: ext._makeChunk(b"IDAT", bytearray(3))),
}


@pytest.fixture(scope="module")
def out(tmp_path_factory):
    return str(tmp_path_factory.mktemp("leaks") / "out")


def encode_cases(out):
    missing = os.path.join(out + ".d", "missing", "x")
    return {
        "save": lambda: IMAGE.save(out),
        "saveBmp": lambda: IMAGE.saveBmp(out),
        "save path not str": raises(TypeError, lambda: IMAGE.save(b"x")),
        "save missing folder": raises(FileNotFoundError, lambda: IMAGE.save(missing)),
        "saveBmp missing folder": raises(FileNotFoundError, lambda: IMAGE.saveBmp(missing)),
        "_writePng short pixels": raises(ValueError, lambda: ext._writePng(out, 64, 64, b"abc")),
        "_writeBmp short pixels": raises(ValueError, lambda: ext._writeBmp(out, 64, 64, b"abc")),
        "_writePng negative": raises(struct.error, lambda: ext._writePng(out, -1, 1, b"")),
        "_writeBmp negative": raises(struct.error, lambda: ext._writeBmp(out, 1, -1, b"")),
        "_writePng pixels None": raises(TypeError, lambda: ext._writePng(out, 1, 1, None)),
        "_writeBmp pixels iteration raises": raises(Boom, lambda: ext._writeBmp(out, 1, 1, IterRaises())),
        "_writePng __int__ raises": raises(Boom, lambda: ext._writePng(out, IntRaises(), 1, b"abc")),
        "_writePng rebound zlib raises": rebound("zlib", ZlibRaises(),
                                                 raises(Boom, lambda: ext._writePng(out, 64, 64, PIXELS))),
        "_writePng rebound _makeChunk raises": rebound("_makeChunk", boom,
                                                       raises(Boom, lambda: ext._writePng(out, 64, 64, PIXELS))),
        "_writeBmp to a directory": raises(IsADirectoryError, lambda: ext._writeBmp(os.path.dirname(out), 1, 1, b"abc")),
    }


def check_flat(call, times=TIMES):
    traced, rss = memory_growth(call, times)
    assert traced < TRACED_LIMIT, f"{traced} bytes of Python objects kept after {times} calls"
    if not SANITIZED:
        assert rss < RSS_LIMIT, f"resident size grew by {rss} bytes over {times} calls"


@pytest.mark.parametrize("case", sorted({**CONSTRUCT, **PIXEL_ACCESS, **DECODE}))
def test_memory_stays_flat(case):
    check_flat({**CONSTRUCT, **PIXEL_ACCESS, **DECODE}[case])


@pytest.mark.parametrize("case", sorted(encode_cases("x")))
def test_memory_stays_flat_writing(case, out):
    check_flat(encode_cases(out)[case], times=TIMES // 2)


def test_opening_a_path_closes_the_file_every_time(tmp_path):
    good, bad = tmp_path / "good.png", tmp_path / "bad.png"
    good.write_bytes(PNG)
    bad.write_bytes(crc_broken(PNG))
    fds = len(os.listdir("/proc/self/fd"))
    check_flat(lambda: SimpleImage.open(str(good)), times=500)
    check_flat(raises(ValueError, lambda: SimpleImage.open(bad)), times=500)
    assert len(os.listdir("/proc/self/fd")) == fds
