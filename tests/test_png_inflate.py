"""Inflating the image data: the module's own inflater (while `zlib` is the standard module)
and any zlib bound in its place give the same pixels and the same verdicts, in stream order."""
import pathlib
import random
import struct
import types
import zlib

import pytest

from Vorlanx import simpleImage_ext as ext

SIG = b"\x89PNG\r\n\x1a\n"
MALFORMED = "Malformed PNG image data"


def chunk(kind, data=b""):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, stream, splits=(), color=2):
    cuts = [0, *sorted(splits), len(stream)]
    idats = b"".join(chunk(b"IDAT", stream[a:b]) for a, b in zip(cuts, cuts[1:]))
    header = struct.pack(">IIBBBBB", width, height, 8, color, 0, 0, 0)
    return SIG + chunk(b"IHDR", header) + idats + chunk(b"IEND")


# The zlib functions under another roof: the decoder then calls them a piece at a time.
THROUGH = types.SimpleNamespace(decompressobj=zlib.decompressobj, decompress=zlib.decompress, crc32=zlib.crc32,
                                compress=zlib.compress, error=zlib.error)


@pytest.fixture(params=["own", "through"])
def path(request, monkeypatch):
    if request.param == "through":
        monkeypatch.setattr(ext, "zlib", THROUGH)
    return request.param


def verdict(data):
    try:
        img = ext.SimpleImage.open(data)
    except zlib.error as e:
        return "zlib.error", str(e)
    except ValueError as e:
        return "ValueError", str(e)
    return "pixels", bytes(img._pixels)


def scanlines(rng, width, height, ratio):
    """Rows of filter 0 whose bytes compress about `ratio`:1 (1 is noise)."""
    alphabet = bytes(rng.randrange(256) for _ in range(max(1, 256 // ratio**3)))
    return b"".join(b"\0" + bytes(rng.choice(alphabet) for _ in range(width * 3)) for _ in range(height))


def deflated(data, then=b"", flush=zlib.Z_FINISH):
    packer = zlib.compressobj()
    return packer.compress(data) + packer.flush(flush) + then


def streams():
    """(name, width, height, zlib stream, verdict kind) with the stream's first error after, or
    before, the byte that proves the data one byte too long."""
    rng = random.Random(5)
    for width, height, ratio in [(45, 60, 1), (90, 100, 3), (60, 300, 6)]:
        raw = scanlines(rng, width, height, ratio)
        over = raw + b"!"
        yield "surplus, bad checksum", width, height, zlib.compress(over)[:-1] + b"\0", MALFORMED
        yield "surplus, truncated", width, height, deflated(over + b"more", flush=zlib.Z_SYNC_FLUSH)[:-2], MALFORMED
        yield "surplus, block type 3", width, height, deflated(over, b"\x07\0\0", zlib.Z_SYNC_FLUSH), MALFORMED
        yield "exact, bad checksum", width, height, zlib.compress(raw)[:-1] + b"\0", "zlib.error"
        yield "exact, truncated", width, height, deflated(raw, flush=zlib.Z_SYNC_FLUSH), "zlib.error"
        yield "short, block type 3", width, height, deflated(raw[:-1], b"\x07", zlib.Z_SYNC_FLUSH), "zlib.error"


@pytest.mark.parametrize("width, height, stream, want",
                         [pytest.param(*case[1:], id=f"{case[0]}-{case[1]}x{case[2]}") for case in streams()])
def test_stream_order_decides_the_verdict(path, width, height, stream, want):
    # However the stream is split into chunks, and wherever the decoder's own input and output
    # pieces fall, the first event in stream order decides.
    n = len(stream)
    splits = {(), (n // 2,), (4096,), (8192,), (1, 2, 3)} | {(k,) for k in range(n - 24, n)}
    splits |= {(k, k + 1) for k in range(max(1, n - 3000), n - 1, 211)}
    for cut in sorted(splits):
        kind, detail = verdict(png(width, height, stream, [c for c in cut if 0 < c < n]))
        if want == "zlib.error":
            assert kind == "zlib.error", (cut, detail)
        else:
            assert (kind, detail) == ("ValueError", want), cut


# --- hand-made deflate streams: every way zlib refuses one, and the rarer things it accepts

class Bits:
    """Deflate's bit order: fields least significant bit first, Huffman codes most significant
    bit first."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):
        self.value |= value << self.count
        self.count += count
        return self

    def code(self, code, length):
        return self.put(int(format(code, f"0{length}b")[::-1], 2), length) if length else self

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def canonical(lengths):
    """Canonical Huffman codes (code, length) for the code `lengths`, as deflate assigns them."""
    codes, code = [None] * len(lengths), 0
    for length in range(1, 16):
        for symbol, n in enumerate(lengths):
            if n == length:
                codes[symbol] = (code, n)
                code += 1
        code <<= 1
    return codes


LENGTHS = [(3 + i, 0) for i in range(8)] + [(11 + 2 * i, 1) for i in range(4)] + [(19 + 4 * i, 2) for i in range(4)] \
    + [(35 + 8 * i, 3) for i in range(4)] + [(67 + 16 * i, 4) for i in range(4)] + [(131 + 32 * i, 5) for i in range(4)] \
    + [(258, 0)]
DISTANCES = [(1, 0), (2, 0), (3, 0), (4, 0)] + [((1 << (k + 1)) + 1 + j * (1 << k), k) for k in range(1, 14)
                                                for j in range(2)]
FIXED_LIT = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
FIXED_DIST = [5] * 30


def symbols(ops):
    """Deflate symbols for ops: ints are literals, (length, distance) pairs are matches; each
    symbol is (alphabet, symbol, extra value, extra bits), alphabet 0 lit/len, 1 distance."""
    out = []
    for op in ops:
        if isinstance(op, int):
            out.append((0, op, 0, 0))
            continue
        length, distance = op
        i = max(k for k, (base, _) in enumerate(LENGTHS) if base <= length)
        out.append((0, 257 + i, length - LENGTHS[i][0], LENGTHS[i][1]))
        j = max(k for k, (base, _) in enumerate(DISTANCES) if base <= distance)
        out.append((1, j, distance - DISTANCES[j][0], DISTANCES[j][1]))
    return out + [(0, 256, 0, 0)]


def huffman_block(bits, ops, lit=FIXED_LIT, dist=FIXED_DIST, final=1, header=None, cl=None):
    """A block coded with `lit`/`dist` code lengths: fixed when they are the fixed ones,
    else dynamic with every code length sent as itself (or as the `header` symbols given,
    (symbol, extra value, extra bits), which may use the repeat codes), the code-length code
    being `cl` or a complete one of 4-bit codes."""
    dynamic = (lit, dist) != (FIXED_LIT, FIXED_DIST)
    bits.put(final, 1).put(2 if dynamic else 1, 2)
    if dynamic:
        cl = cl or ([4] * 16 + [0, 0, 0] if header is None else [4] * 13 + [0, 0, 0] + [4] * 3)
        sent = [(n, 0, 0) for n in lit + dist] if header is None else header
        bits.put(len(lit) - 257, 5).put(len(dist) - 1, 5).put(15, 4)
        order = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
        for symbol in order[:19]:
            bits.put(cl[symbol], 3)
        cl_codes = canonical(cl)
        for symbol, extra, count in sent:
            bits.code(*cl_codes[symbol]).put(extra, count)
    codes = [canonical(lit), canonical(dist)]
    for alphabet, symbol, extra, count in symbols(ops) if ops is not None else []:
        bits.code(*codes[alphabet][symbol]).put(extra, count)
    return bits


def zlib_stream(body, output, header=b"\x78\x9c"):
    return header + body + struct.pack(">I", zlib.adler32(output))


def outputs_of(ops):
    out = bytearray()
    for op in ops:
        if isinstance(op, int):
            out.append(op)
        else:
            for _ in range(op[0]):
                out.append(out[-op[1]])
    return bytes(out)


def padded(ops):
    """`ops` with literals appended until the output is a filter byte and whole pixels."""
    ops = list(ops)
    while (len(outputs_of(ops)) - 1) % 3:
        ops.append(5)
    return ops


def stored(data, final=0):
    return bytes([final]) + struct.pack("<HH", len(data), 0xFFFF ^ len(data)) + data


def accepted_streams():
    """(name, zlib stream, output) of streams zlib inflates; each output is one image row."""
    rng = random.Random(9)
    start = [0] + [rng.randrange(256) for _ in range(8)]
    one_distance = [0] * 286
    one_distance[0] = one_distance[7] = 2
    one_distance[256] = one_distance[257] = 2  # EOB and length 3
    no_distance = [0] * 257
    no_distance[0], no_distance[1], no_distance[256] = 1, 2, 2
    huffman = {
        "fixed, overlapping copies of distance 1 to 8": (start + [op for d in range(1, 9) for op in [(3 + d, d), (258, d), 7]],),
        "fixed, a match reaching back to the first byte": (start + [(len(start), len(start))],),
        "dynamic, one distance code": ([0, 7, (3, 1), 0, 7, (3, 1)], one_distance, [1] + [0] * 29),
        "dynamic, no distance code": ([0, 1, 1, 0], no_distance, [0]),
    }
    for name, (ops, *codes) in huffman.items():
        ops = padded(ops)
        yield name, zlib_stream(huffman_block(Bits(), ops, *codes).bytes(), outputs_of(ops)), outputs_of(ops)
    history = bytes([0] + [rng.randrange(256) for _ in range(32767)])
    ops = padded([*history, (258, 32768)])[len(history):]
    body = stored(history) + huffman_block(Bits(), ops).bytes()
    yield "a match 32768 back and 258 long", zlib_stream(body, outputs_of([*history, *ops])), outputs_of([*history, *ops])
    block = bytes([0] + [rng.randrange(256) for _ in range(65534)])
    body = stored(b"") + stored(block) + stored(b"\x09", final=1)
    yield "stored blocks of 0 and 65535 bytes", zlib_stream(body, block + b"\x09"), block + b"\x09"


@pytest.mark.parametrize("name, stream, out", [pytest.param(*c, id=c[0]) for c in accepted_streams()])
def test_streams_zlib_accepts(path, name, stream, out):
    assert zlib.decompress(stream) == out  # the oracle agrees these are what they claim to be
    width = (len(out) - 1) // 3
    for tail in (b"", b"bytes after the stream's end"):
        assert verdict(png(width, 1, stream + tail)) == ("pixels", out[1:])


def zlib_header(cmf, flags=0):
    """CMF and a FLG byte whose check bits make the pair a multiple of 31."""
    flg = flags << 5
    return bytes([cmf, flg + (31 - (cmf * 256 + flg) % 31) % 31])


def lengths(total, **codes):
    out = [0] * total
    for symbol, n in codes.items():
        out[int(symbol[1:])] = n
    return out


def refused_streams():
    body = huffman_block(Bits(), [0, 1]).bytes()
    two_codes = lengths(257, s0=1, s256=1)
    fixed = Bits().put(1, 1).put(1, 2)
    yield "compression method 7", zlib_header(0x77) + body
    yield "window size 2**16", zlib_header(0x88) + body
    yield "header check", b"\x78\x9d" + body
    yield "preset dictionary", zlib_header(0x78, 1) + b"\0\0\0\1" + body
    yield "block type 3", b"\x78\x9c\x07"
    yield "stored length complement", b"\x78\x9c" + b"\x01" + struct.pack("<HH", 5, 5) + bytes(5)
    yield "287 literal/length codes", b"\x78\x9c" + huffman_block(Bits(), [0], two_codes + [0] * 30, [1]).bytes()
    yield "31 distance codes", b"\x78\x9c" + huffman_block(Bits(), [0], two_codes, [1] * 31).bytes()
    yield "repeat with nothing to repeat", b"\x78\x9c" + huffman_block(Bits(), [0], two_codes, [1],
                                                                       header=[(16, 0, 2)]).bytes()
    yield "repeat past the end", b"\x78\x9c" + huffman_block(Bits(), [0], two_codes, [1],
                                                             header=[(18, 127, 7), (18, 127, 7)]).bytes()
    yield "over-subscribed literal/length set", b"\x78\x9c" + huffman_block(
        Bits(), [0], lengths(257, s0=1, s1=1, s256=1), [1]).bytes()
    yield "incomplete literal/length set", b"\x78\x9c" + huffman_block(Bits(), [0], lengths(257, s0=2, s256=2),
                                                                       [1]).bytes()
    yield "incomplete code-length code", b"\x78\x9c" + huffman_block(Bits(), [0], two_codes, [1],
                                                                     cl=[4] * 15 + [0] * 4).bytes()
    yield "no end-of-block code", b"\x78\x9c" + huffman_block(Bits(), None, lengths(257, s0=1, s1=1), [1]).bytes()
    yield "literal/length symbol 286", b"\x78\x9c" + fixed.code(0xC6, 8).bytes()
    yield "literal/length symbol 287", b"\x78\x9c" + Bits().put(1, 1).put(1, 2).code(0xC7, 8).bytes()
    yield "distance symbol 30", b"\x78\x9c" + Bits().put(1, 1).put(1, 2).code(0x30, 8).code(1, 7).code(30, 5).bytes()
    yield "distance symbol 31", b"\x78\x9c" + Bits().put(1, 1).put(1, 2).code(0x30, 8).code(1, 7).code(31, 5).bytes()
    yield "distance before the start", zlib_stream(huffman_block(Bits(), [0, (3, 2)]).bytes(), b"")
    yield "checksum", zlib.compress(bytes(31))[:-1] + b"\xff"
    yield "truncated", zlib.compress(bytes(31))[:-5]
    yield "empty", b""


@pytest.mark.parametrize("name, stream", [pytest.param(*c, id=c[0]) for c in refused_streams()])
def test_streams_zlib_refuses(path, name, stream):
    with pytest.raises(zlib.error) as refused:
        zlib.decompress(stream)
    assert verdict(png(10, 10, stream)) == ("zlib.error", str(refused.value))


@pytest.mark.parametrize("name", sorted(p.name for p in (pathlib.Path(__file__).parent / "data" / "png").glob("*.png")))
def test_real_files_decode_the_same_both_ways(monkeypatch, name):
    data = (pathlib.Path(__file__).parent / "data" / "png" / name).read_bytes()
    own = verdict(data)
    monkeypatch.setattr(ext, "zlib", THROUGH)
    assert own[0] == "pixels" and verdict(data) == own
