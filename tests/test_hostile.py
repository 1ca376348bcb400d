"""Objects a caller is free to pass, lying about their size: every entry point reads only the
memory an object really exports, and gives the same verdict whichever path reads it."""
import array
import ctypes
import os
import struct
import subprocess
import sys
import types
import zlib

import pytest

from Vorlanx import simpleImage_ext as ext

MISMATCH = "Pixel data length does not match image dimensions"


def liar(base, data, claimed):
    """An instance of a subclass of `base` holding `data` whose __len__ says `claimed`."""
    cls = type("Liar" + base.__name__, (base,), {"__len__": lambda self: claimed})
    return cls(data)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


WIDTH, HEIGHT = 64, 8
RAW = b"".join(b"\x01" + bytes((x * 7 + y) % 256 for x in range(WIDTH * 3)) for y in range(HEIGHT))
PNG = (ext.PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(RAW)) + chunk(b"IEND", b""))


# Writers: (width, height, pixels, bytes the file must hold, or None for the length refusal).
# The real bytes decide in both writers, whatever __len__ claims.
@pytest.mark.parametrize("writer", ["_writePng", "_writeBmp"])
@pytest.mark.parametrize("width, height, pixels, written", [
    (4000, 4000, liar(bytearray, b"abc", 3 * 4000 * 4000), None),    # a lie that reached past the heap
    (5, 2, liar(bytearray, bytes(27), 30), None),                      # three bytes of whatever followed
    (5, 2, liar(bytes, bytes(27), 30), None),                          # converted by bytearray(): still 27
    (5, 2, liar(bytearray, bytes(range(30)), 3), bytes(range(30))),   # too small a claim is no refusal
    (5, 2, liar(bytearray, bytes(range(32)), 2**40), bytes(range(30))),
    (5, 2, memoryview(array.array("H", range(15))), array.array("H", range(15)).tobytes()),
])
def test_writers_measure_the_exported_bytes(tmp_path, writer, width, height, pixels, written):
    path = tmp_path / "out"
    if written is None:
        with pytest.raises(ValueError, match=MISMATCH):
            getattr(ext, writer)(str(path), width, height, pixels)
        assert not path.exists()
    else:
        getattr(ext, writer)(str(path), width, height, pixels)
        assert ext.SimpleImage.open(str(path))._pixels == written


def decode():
    return bytes(ext.SimpleImage.open(PNG)._pixels)


def reading_chunks_as(convert):
    """A _readChunk that hands the decoder its IDAT data as `convert(data)`."""
    real = ext._readChunk

    def read(stream):
        kind, data = real(stream)
        return kind, convert(data) if kind == b"IDAT" else data
    return read


# The decoder, fed odd containers through the extension points: each decodes to the same
# pixels or is refused, and never stalls on a size it was told.
@pytest.mark.parametrize("name, value, outcome", [
    ("_readChunk", reading_chunks_as(lambda d: liar(bytes, d, 2**60)), "same"),
    ("_readChunk", reading_chunks_as(lambda d: liar(bytes, d, 1)), "same"),
    ("_readChunk", reading_chunks_as(lambda d: array.array("H", d + b"\0" * (len(d) % 2))), "same"),
    ("_readChunk", reading_chunks_as(lambda d: memoryview(d)[::2]), (TypeError, BufferError)),
    # A whole-stream inflater whose result claims the full length but holds part of it.
    ("zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=lambda d: liar(bytes, RAW[:100], len(RAW))),
     "Malformed PNG image data"),
    ("zlib", types.SimpleNamespace(crc32=zlib.crc32, decompress=lambda d: liar(bytes, RAW + b"x", len(RAW))),
     "Malformed PNG image data"),
])
def test_decoder_reads_only_what_it_is_given(monkeypatch, name, value, outcome):
    want = decode()
    monkeypatch.setattr(ext, name, value)
    if outcome == "same":
        assert decode() == want
    elif isinstance(outcome, str):
        with pytest.raises(ValueError, match=outcome):
            decode()
    else:
        with pytest.raises(outcome):
            decode()


def test_a_failing_len_is_the_error_seen(monkeypatch):
    # Nothing else runs while it is pending: here the input's own __len__, Python code too.
    inflater = types.SimpleNamespace(decompress=zlib.decompressobj().decompress, eof=False,
                                     unconsumed_tail=liar(bytes, b"", None))
    monkeypatch.setattr(ext, "zlib", types.SimpleNamespace(crc32=zlib.crc32, decompressobj=lambda: inflater))
    monkeypatch.setattr(ext, "_readChunk", reading_chunks_as(lambda d: liar(bytes, d, len(d))))
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        decode()


def test_constructor_copies_the_exported_bytes():
    # The length check asks len() as the interpreter does; the copy takes the real bytes, and
    # every later use measures those.
    img = ext.SimpleImage(5, 2, liar(bytearray, b"abc", 30))
    assert img._pixels == b"abc"
    with pytest.raises(ValueError, match=MISMATCH):
        img.save(os.devnull)
    with pytest.raises(IndexError):
        img.getPixel((4, 1))


def test_constructor_holds_its_arguments():
    # A C caller may pass its own keyword dictionary, which a width's __int__ can empty before
    # the pixels are read.
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, (ctypes.py_object,) * 3
    kwargs = {"height": 1, "pixels": bytearray(b"abc")}
    kwargs["width"] = type("Emptying", (), {"__int__": lambda self: kwargs.clear() or 1})()
    img = call(ext.SimpleImage, (), kwargs)
    assert img.size == (1, 1) and img._pixels == b"abc"


CLAIMS = r"""
import resource, struct, sys, zlib
from Vorlanx.simpleImage_ext import SimpleImage
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
       + struct.pack(">I", 0xFFFFFFF0) + b"IDAT" + bytes(16))
bmp = (b"BM" + struct.pack("<IHHI", 60, 0, 0, 54)
       + struct.pack("<IiiHHIIiiII", 40, 2**31 - 1, 1, 1, 24, 0, 0, 2835, 2835, 0, 0) + bytes(6))
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
for data, path in ((png, sys.argv[1]), (bmp, sys.argv[2])):
    open(path, "wb").write(data)
    for source in (data, path):
        try:
            SimpleImage.open(source)
        except Exception as e:
            print(type(e).__name__, e)
"""


@pytest.mark.skipif(bool(os.environ.get("SI_SANITIZED")), reason="the sanitizer reserves address space of its own")
def test_a_file_is_not_asked_for_what_its_header_claims(tmp_path):
    # A 60-byte file claiming a 4 GiB chunk or a row of 6 GiB: from a path as from bytes, the
    # data's own refusal, with no reservation of the claim.
    # From bytes the claim goes to BytesIO.read as it stands; a 32-bit interpreter's BytesIO
    # refuses a count past its index range itself.
    done = subprocess.run([sys.executable, "-c", CLAIMS, str(tmp_path / "a.png"), str(tmp_path / "a.bmp")],
                          capture_output=True, text=True, timeout=60)
    png, bmp = "ValueError Unexpected EOF while reading chunk data", "ValueError Incomplete BMP pixel data"
    too_large = "OverflowError cannot fit 'int' into an index-sized integer"
    wide = sys.maxsize > 2**32
    assert done.stdout.splitlines() == [png if wide else too_large, png, bmp if wide else too_large, bmp], \
        done.stderr
