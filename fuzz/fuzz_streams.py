"""Fuzz target: the decoders and the chunk reader through callers' objects that misbehave:
streams whose read returns short, long or wrongly typed results, raises, or closes the stream;
seeks that fail or are missing; a rebound zlib whose answers are odd.

Input layout (what seeds.py writes): one byte N, N script bytes (one per read call, low nibble
the behaviour, high nibble its parameter; calls past the script behave), one mode byte (low 2
bits the entry point, the next 2 the seek behaviour), then the file's bytes.

    python fuzz/fuzz_streams.py [libFuzzer flags] [corpus dirs]
"""
import io
import sys
import zlib

import atheris

with atheris.instrument_imports():
    from common import STREAM_ERRORS, SimpleImage, StreamFault, ext, guarded, slow_under_asan

MAX_SCRIPT = 16


class Bytes(bytes):
    pass


class BadLength:
    def __len__(self):
        raise StreamFault("len")


def odd_result(op, param, data, n):
    """The object a misbehaving read(n) hands back for behaviour `op` over BytesIO `data`."""
    n = n if isinstance(n, int) and n >= 0 else 0
    if op == 1:
        return data.read(max(0, n - 1 - param))
    if op == 2:
        return b""
    if op == 3:
        return data.read(n + 1 + param)
    if op == 4:
        return bytearray(data.read(n))
    if op == 5:
        return memoryview(data.read(n))
    if op == 6:
        return data.read(n).decode("latin-1")
    if op == 7:
        return len(data.read(n))
    if op == 8:
        return None
    if op == 9:
        return list(data.read(n))
    if op == 10:
        return Bytes(data.read(n))
    if op == 11:
        raise StreamFault("read")
    if op == 12:
        raise io.UnsupportedOperation("read")
    if op == 13:
        return BadLength()
    if op == 14:
        return data.read()
    if op == 15:
        out = data.read(n)
        data.close()
        return out
    return data.read(n)


class ScriptedStream:
    def __init__(self, content, script, seek_mode):
        self.data = io.BytesIO(content)
        self.script = script
        self.calls = 0
        self.seek_mode = seek_mode

    def read(self, n=-1):
        i, self.calls = self.calls, self.calls + 1
        if i >= len(self.script):
            return self.data.read(n)
        return odd_result(self.script[i] & 15, self.script[i] >> 4, self.data, n)

    def seek(self, pos, whence=0):
        if self.seek_mode == 1:
            raise StreamFault("seek")
        if self.seek_mode == 2:
            return "not a position"
        return self.data.seek(pos, whence)


class NoSeekStream(ScriptedStream):
    seek = property(lambda self: (_ for _ in ()).throw(AttributeError("seek")))


class OddDecompressor:
    """Wraps a real decompressor; the script bends what its decompress returns."""

    def __init__(self, script):
        self.real = zlib.decompressobj()
        self.script = list(script)

    def decompress(self, data, max_length=0):
        out = self.real.decompress(data, max_length)
        op = self.script.pop(0) & 15 if self.script else 0
        return odd_result(op, 0, io.BytesIO(out), len(out)) if op not in (11, 12) else odd_result(op, 0, None, 0)

    def __getattr__(self, name):
        return getattr(self.real, name)


class OddZlib:
    def __init__(self, script):
        self.script = script
        self.error = zlib.error

    def decompressobj(self):
        return OddDecompressor(self.script)

    def __getattr__(self, name):
        return getattr(zlib, name)


def odd_read_chunk(script):
    real = ext._readChunk
    answers = iter(script)

    def read_chunk(stream):
        pair = real(stream)
        op = next(answers, 0) & 7
        if op == 1:
            return pair + (b"",)
        if op == 2:
            return pair[:1]
        if op == 3:
            return list(pair)
        if op == 4:
            return iter(pair)
        if op == 5:
            return (pair[0], bytearray(pair[1]))
        if op == 6:
            return (pair[0], memoryview(pair[1]))
        return pair
    return read_chunk


def check_result(result):
    assert type(result) is tuple and len(result) == 3, result
    width, height, pixels = result
    assert type(pixels) is bytearray and height >= 0
    assert len(pixels) == width * height * 3 or (height == 0 and not pixels)


def test_one_input(data: bytes) -> None:
    n = data[0] % (MAX_SCRIPT + 1) if data else 0
    script, rest = data[1:1 + n], data[1 + n:]
    mode, content = (rest[0], rest[1:]) if rest else (0, b"")
    if slow_under_asan(content):
        return
    entry, seek_mode = mode & 3, (mode >> 2) & 3
    stream = (NoSeekStream if seek_mode == 3 else ScriptedStream)(content, script, seek_mode)
    allowed = STREAM_ERRORS + (StreamFault,)

    if entry == 1:
        for _ in range(64):
            pair = guarded(lambda: ext._readChunk(stream), content, allowed, exact_messages=False)
            if pair is None or pair == (b"", b""):
                break
            assert type(pair) is tuple and len(pair) == 2
        return
    saved = ext.zlib, ext._readChunk
    try:
        if entry == 2:
            ext.zlib = OddZlib(script)
            stream.script = b""
        elif entry == 3:
            ext._readChunk = odd_read_chunk(script)
            stream.script = b""
        result = guarded(lambda: SimpleImage._streamToImage(stream), content, allowed, exact_messages=False)
    finally:
        ext.zlib, ext._readChunk = saved
    if result is not None:
        check_result(result)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
