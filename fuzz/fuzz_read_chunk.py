"""Fuzz target: _readChunk on arbitrary streams, checked against the chunk layout (length,
type, data, CRC-32 over type and data), and _makeChunk read back through it.

    python fuzz/fuzz_read_chunk.py [libFuzzer flags] [corpus dirs]
"""
import io
import struct
import sys
import zlib

import atheris

with atheris.instrument_imports():
    from common import ext, guarded

MAX_CHUNKS = 64


def expected_chunk(data, pos):
    """What the next chunk at `pos` must give: ((type, data), next position) or the refusal."""
    if pos == len(data):
        return (b"", b""), pos
    if len(data) - pos < 4:
        return "Unexpected EOF while reading chunk length", None
    (length,) = struct.unpack_from(">I", data, pos)
    if len(data) - pos < 8:
        return "Unexpected EOF while reading chunk type", None
    kind = data[pos + 4:pos + 8]
    if len(data) - pos - 8 < length:
        return "Unexpected EOF while reading chunk data", None
    body = data[pos + 8:pos + 8 + length]
    end = pos + 8 + length
    if len(data) - end < 4:
        return "Unexpected EOF while reading chunk CRC", None
    if struct.unpack_from(">I", data, end)[0] != zlib.crc32(body, zlib.crc32(kind)) & 0xFFFFFFFF:
        return "Corrupted PNG chunk detected", None
    return (kind, body), end + 4


def test_one_input(data: bytes) -> None:
    stream = io.BytesIO(data)
    pos = 0
    for _ in range(MAX_CHUNKS):
        want, after = expected_chunk(data, pos)
        try:
            got = ext._readChunk(stream)
        except ValueError as exc:
            assert str(exc) == want, (str(exc), want, pos)
            return
        assert got == want and type(got) is tuple, (got, want, pos)
        assert type(got[0]) is bytes and type(got[1]) is bytes
        assert stream.tell() == after
        if got == (b"", b""):
            break
        pos = after

    # Framing and reading back are inverse for any 4-byte type and any data.
    kind, body = data[:4].ljust(4, b"\0"), data[4:]
    chunk = guarded(lambda: ext._makeChunk(kind, body), data)
    assert chunk is not None and len(chunk) == 12 + len(body)
    back = io.BytesIO(chunk)
    assert ext._readChunk(back) == (kind, body)
    assert back.read() == b""


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
