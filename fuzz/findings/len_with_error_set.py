"""The PNG decoder takes the length of the inflater's `unconsumed_tail` and of its own input
piece one after the other and checks both only afterwards: when the first len() fails, the
second runs with that exception still set, calling the input's __len__ (Python code) with an
error pending. The interpreter then reports a SystemError ("returned a result with an
exception set") in place of the first error.

    PYTHONPATH=build/dev python3 fuzz/findings/len_with_error_set.py

Expected: KeyError('tail') from the tail's __len__. Seen: SystemError.
"""
import struct
import zlib

from Vorlanx import simpleImage_ext as ext


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


PNG = (ext.PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(b"\0\1\2\3")) + chunk(b"IEND", b""))


class Measured(bytes):
    """Image data whose length is asked of Python code."""

    def __len__(self):
        return bytes.__len__(self)


class Unmeasurable(bytes):
    def __len__(self):
        raise KeyError("tail")


class Inflater:
    def __init__(self):
        self.real = zlib.decompressobj()

    def decompress(self, data, max_length):
        return self.real.decompress(data, max_length)

    eof = False  # keeps the decoder asking for the tail
    unconsumed_tail = property(lambda self: Unmeasurable(self.real.unconsumed_tail))


class Zlib:
    error = zlib.error
    crc32 = staticmethod(zlib.crc32)
    decompressobj = Inflater


real_read_chunk = ext._readChunk


def read_chunk(stream):
    kind, data = real_read_chunk(stream)
    return kind, Measured(data) if kind == b"IDAT" else data


ext._readChunk, ext.zlib = read_chunk, Zlib()
try:
    ext.SimpleImage.open(PNG)
except Exception as exc:
    print(type(exc).__name__, exc)
