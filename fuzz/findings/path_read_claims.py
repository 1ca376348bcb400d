"""Opening a file by path reserves what its headers claim, not what it holds.

The decoders ask the stream for exactly the size a header states: a chunk's length field, a
BMP row of width * 3 bytes. An in-memory stream returns what it has; a file opened by path is
a buffered reader, whose read(n) reserves n bytes before it reads. A 60-byte file claiming a
4 GiB chunk or a 2**31 - 1 pixel wide row therefore costs gigabytes of address space, and
where that is limited (ulimit -v, libFuzzer's malloc limit) the same file that is refused with
the documented ValueError as bytes raises MemoryError as a path.

    PYTHONPATH=build/dev python3 fuzz/findings/path_read_claims.py

Expected: the same ValueError for bytes and for the path. Seen (address space capped at 2 GiB):
    png bytes ValueError Unexpected EOF while reading chunk data
    png path  MemoryError
    bmp bytes ValueError Incomplete BMP pixel data
    bmp path  MemoryError
"""
import os
import resource
import struct
import tempfile
import zlib

from Vorlanx.simpleImage_ext import SimpleImage


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


PNG = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0))
       + struct.pack(">I", 0xFFFFFFF0) + b"IDAT" + bytes(16))
BMP = (b"BM" + struct.pack("<IHHI", 60, 0, 0, 54)
       + struct.pack("<IiiHHIIiiII", 40, 2**31 - 1, 1, 1, 24, 0, 0, 2835, 2835, 0, 0) + bytes(6))

resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
folder = tempfile.mkdtemp()
for name, data in (("png", PNG), ("bmp", BMP)):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    for label, source in (("bytes", data), ("path ", path)):
        try:
            SimpleImage.open(source)
        except Exception as exc:
            print(name, label, type(exc).__name__, exc)
    os.remove(path)
os.rmdir(folder)
