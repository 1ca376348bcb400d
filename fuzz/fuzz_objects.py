"""Fuzz target: every entry point called with hostile argument objects.

The input drives a small interpreter of choices (atheris.FuzzedDataProvider; integers come off
the end of the input, bytes off its front): an entry point, a small PNG or BMP file (from the
seed builder, perhaps with one byte changed, or raw bytes) as the content, the call's style
(positional, keywords, or a C caller's keyword dictionary), a subset of the module's names
rebound to hostile stand-ins, and each argument from the factories of hostile.py.

The only acceptable outcomes are a result or an exception of the documented kinds; the
fuzzer's own marker exceptions must come back unchanged. Results are checked where it is
cheap: a writer that succeeds wrote exactly what the object exports, a decoded image holds
width * height * 3 bytes, and wherever every argument behaved like the plain value it stands
for, the outcome is the plain call's.

    python fuzz/fuzz_objects.py [libFuzzer flags] [corpus dirs]
"""
import ctypes
import io
import os
import pathlib
import shutil
import struct
import sys
import tempfile
import warnings
import zlib

import atheris

sys.path.insert(1, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))  # collector.py

with atheris.instrument_imports():
    import hostile
    from common import SLOW_CLAIM, SimpleImage, check_image, ext, slow_under_asan
    from hostile import Ctx, Hostile, as_bytes, container, integer, paths, stream

import seeds

ALLOWED = (TypeError, ValueError, OverflowError, IndexError, BufferError, struct.error, zlib.error, AttributeError,
           NotImplementedError)
MISMATCH = "Pixel data length does not match image dimensions"
CONTENTS = seeds.files()


def scratch_folder():
    """This process's folder for the files it writes. libFuzzer ends a run without running exit
    handlers, so the folders of processes gone are removed here instead."""
    parent = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir(), "fuzz-objects")
    os.makedirs(parent, exist_ok=True)
    for name in os.listdir(parent):
        if not os.path.isdir(os.path.join("/proc", name)):
            shutil.rmtree(os.path.join(parent, name), ignore_errors=True)
    mine = os.path.join(parent, str(os.getpid()))
    os.makedirs(mine, exist_ok=True)
    return mine


SCRATCH = scratch_folder()
OUT = os.path.join(SCRATCH, "out")
IN = os.path.join(SCRATCH, "in")

# PyObject_Call(callable, args, kwargs) as a C caller makes it: the callee sees this very
# dictionary, which an argument's hook may change mid-call.
c_call = ctypes.pythonapi.PyObject_Call
c_call.restype = ctypes.py_object
c_call.argtypes = (ctypes.py_object,) * 3


def check_allowed(ctx, exc):
    if isinstance(exc, Hostile):
        assert any(exc is r for r in ctx.raised), f"marker replaced: {exc!r}"
        return
    kinds = (ALLOWED + ((DeprecationWarning,) if ctx.warn_error else ()) + ((MemoryError,) if ctx.absurd else ())
             + ((OSError,) if ctx.real_file else ()))
    if not isinstance(exc, kinds):
        raise AssertionError(f"undocumented outcome {type(exc).__name__}: {exc}") from exc


def attempt(ctx, call):
    """(result, None) or (None, exception) for an exception of an allowed kind."""
    try:
        with ctx.collector():
            return call(), None
    except Exception as exc:
        check_allowed(ctx, exc)
        return None, exc


def plain(call):
    """The outcome of a call on plain values, comparable across runs."""
    try:
        return "ok", call()
    except Exception as exc:
        return type(exc), str(exc)


def invoke(ctx, func, params, args):
    """func(*args) in one of the call styles; `args` is consumed, so that in the C caller's
    style its dictionary holds the only references the input has not kept elsewhere."""
    style = ctx.pick(4)
    kwargs = dict(zip(params, args))
    head = args[:1]
    args.clear()
    if style == 0:
        return lambda: func(*kwargs.values())
    if style == 1:
        return lambda: func(**kwargs)
    if style == 2:
        return lambda: func(*head, **{p: kwargs[p] for p in params[1:]})
    ctx.call_dict = kwargs
    return lambda: c_call(func, (), kwargs)


def pattern(n):
    return bytes((i * 37 + 11) & 255 for i in range(n))


def decoded(source):
    img = SimpleImage.open(source)
    return img.width, img.height, bytes(img._pixels)


# ---- entry points: each makes its call and returns the check to run once the names are back -

def construct(ctx, content):
    w, h = ctx.pick(4), ctx.pick(4)
    data = pattern(w * h * 3)
    args = [integer(ctx, w, "int32"), integer(ctx, h, "int32"), container(ctx, data)]
    img, exc = attempt(ctx, invoke(ctx, SimpleImage, ("width", "height", "pixels"), args))

    def verify():
        if img is None:
            return
        assert type(img) is SimpleImage and type(img._pixels) is bytearray
        if ctx.honest and not ctx.fired:
            assert (img.width, img.height, bytes(img._pixels)) == (w, h, data)
    return verify


def copy(ctx, content):
    img = ctx.image
    out, exc = attempt(ctx, img.copy)
    if out is not None and not ctx.fired:
        assert type(out) is SimpleImage and out._pixels is not img._pixels
        assert (out.width, out.height, out._pixels) == (img.width, img.height, img._pixels)


def coordinates(ctx):
    """(plain (x, y), the coordinates argument standing for it)."""
    img = ctx.image
    x, y = ctx.pick(min(max(img.width, 0), 64) + 1), ctx.pick(min(max(img.height, 0), 64) + 1)
    xy = (integer(ctx, x, "index"), integer(ctx, y, "index"))
    shape = ctx.pick(8)
    if shape < 5:
        return (x, y), xy
    ctx.lie()
    return (x, y), (list(xy), xy + (0,), type("TupleSub", (tuple,), {})(xy))[shape - 5]


def snapshot(img):
    pixels = img._pixels
    return img.width, img.height, None if pixels is None else bytes(pixels)


def twin(state):
    """A fresh image whose fields are `state`, however inconsistent."""
    img = SimpleImage(0, 0, b"")
    img.width, img.height = state[0], state[1]
    img._pixels = None if state[2] is None else bytearray(state[2])
    return img


def get_pixel(ctx, content):
    img, before = ctx.image, snapshot(ctx.image)
    xy, arg = coordinates(ctx)
    result, exc = attempt(ctx, invoke(ctx, img.getPixel, ("coords",), [arg]))

    def verify():
        if ctx.honest and not ctx.fired:
            # Through the general path the same as through the fast path of plain ints.
            got = ("ok", result) if exc is None else (type(exc), str(exc))
            assert got == plain(lambda: twin(before).getPixel(xy)), (got, xy)
    return verify


def component_values(ctx):
    good = [ctx.pick(512) - 64 for _ in range(3)]
    items = [integer(ctx, g, "value") for g in good]
    shape = ctx.pick(7)
    if shape == 4:
        ctx.lie()
        items = items[:2]
    elif shape == 5:
        ctx.lie()
        items.append(0)
    elif shape == 6:
        return good, hooked(items, ctx.hook())
    return good, (tuple, list, iter, lambda it: (v for v in it), list, list)[shape](items)


def hooked(items, fire):
    """The items, with a hook run between the first and the second."""
    for i, item in enumerate(items):
        if i == 1:
            fire()
        yield item


def put_pixel(ctx, content):
    img, before = ctx.image, snapshot(ctx.image)
    xy, arg = coordinates(ctx)
    good, value = component_values(ctx)
    result, exc = attempt(ctx, invoke(ctx, img.putPixel, ("coords", "value"), [arg, value]))

    def verify():
        if ctx.honest and not ctx.fired:
            again = twin(before)
            got = ("ok", result) if exc is None else (type(exc), str(exc))
            assert got == plain(lambda: again.putPixel(xy, tuple(good))), (got, xy, good)
            assert snapshot(img) == snapshot(again)
            if exc is None:
                assert img.getPixel(xy) == tuple(g & 255 for g in good)
    return verify


def exported(obj):
    """The bytes a writer reads from `obj`: a bytearray's own buffer, else bytearray(obj)."""
    try:
        return bytes(memoryview(obj)) if isinstance(obj, bytearray) else bytes(bytearray(obj))
    except Exception:
        return None


def check_written(exc, width, height, pixels):
    """A writer's file holds exactly the image; a refusal before opening left no file."""
    if exc is None:
        want = pixels[:width * height * 3] if width > 0 and height > 0 else b""
        assert decoded(OUT) == (width, height, want)
    elif isinstance(exc, struct.error) or str(exc) == MISMATCH:
        assert not os.path.exists(OUT), exc


def write(ctx, name):
    w, h = ctx.pick(4), ctx.pick(4)
    ints = [integer(ctx, w, "int32"), integer(ctx, h, "int32")]
    ints_honest = ctx.honest
    pixels = container(ctx, pattern(w * h * 3 + ctx.pick(3)))
    want = None if ctx.absurd else exported(pixels)
    if isinstance(pixels, bytearray):
        ctx.buffer = pixels
    fired = ctx.fired
    args = [paths(ctx, OUT), *ints, pixels]
    _, exc = attempt(ctx, invoke(ctx, getattr(ext, name), ("path", "width", "height", "pixels"), args))

    def verify():
        if ints_honest and ctx.fired == fired and not ctx.rebound and want is not None:
            check_written(exc, w, h, want)
    return verify


def save(ctx, name):
    img, before = ctx.image, snapshot(ctx.image)
    kind = ctx.pick(4)
    path = paths(ctx, OUT) if kind == 3 else type("StrSub", (str,), {})(OUT) if kind == 2 else OUT
    _, exc = attempt(ctx, invoke(ctx, getattr(img, name), ("path",), [path]))

    def verify():
        width, height, pixels = before
        if not ctx.fired and not ctx.rebound and pixels is not None and type(path) is str:
            check_written(exc, width, height, pixels)
    return verify


def read_chunks(read_chunk, source):
    """Up to 16 chunks read in a row, then the failure that ended them (or None)."""
    pairs = []
    for _ in range(16):
        pair, exc = read_chunk(source)
        if exc is not None:
            return pairs, exc
        pairs.append(pair)
        if pair[0] == b"":
            break
    return pairs, None


def read_chunk(ctx, content):
    data = content[8:] if content.startswith(seeds.SIGNATURE) else content
    source = stream(ctx, data)
    real = ctx.real["_readChunk"]

    def one(s):
        pair, exc = attempt(ctx, invoke(ctx, real, ("stream",), [s]))
        if pair is not None:
            assert type(pair) is tuple and len(pair) == 2, pair
            pair = (as_bytes(pair[0]), as_bytes(pair[1]))
        return pair, exc
    got, _ = read_chunks(one, source)

    def verify():
        if ctx.honest and not ctx.fired:
            # Every chunk read through odd but honest objects is the chunk a plain read gives.
            want, _ = read_chunks(lambda s: attempt(ctx, lambda: ext._readChunk(s)), io.BytesIO(data))
            assert got == want[:len(got)], (got, want)
    return verify


def make_chunk(ctx, content):
    kind, body = content[:4].ljust(4, b"\0"), content[4:4 + ctx.pick(64)]
    args = [container(ctx, kind), container(ctx, body)]
    chunk, exc = attempt(ctx, invoke(ctx, ctx.real["_makeChunk"], ("chunkType", "data"), args))

    def verify():
        if chunk is not None and ctx.honest and not ctx.fired:
            assert ext._readChunk(io.BytesIO(as_bytes(chunk))) == (kind, body)
    return verify


class Sub(SimpleImage):
    pass


class OddSub(SimpleImage):
    """Its decoder's result goes through the class's constructor as hostile objects."""
    ctx = None

    @staticmethod
    def _streamToImage(s):
        width, height, pixels = SimpleImage._streamToImage(s)
        c = OddSub.ctx
        return integer(c, width, "int32"), integer(c, height, "int32"), container(c, pixels)


def claims_large_read(content):
    """Whether a decoder reading `content` asks its stream for more than SLOW_CLAIM bytes at
    once: a chunk length, or a BMP row."""
    if content.startswith(seeds.SIGNATURE):
        pos = 8
        while pos + 8 <= len(content):
            (length,) = struct.unpack_from(">I", content, pos)
            if length > SLOW_CLAIM:
                return True
            pos += 12 + length
    elif content.startswith(b"BM") and len(content) >= 22:
        (width,) = struct.unpack_from("<i", content, 18)
        return 3 * abs(width) > SLOW_CLAIM
    return False


def open_image(ctx, content):
    with open(IN, "wb") as f:
        f.write(content)
    kind = ctx.pick(5)
    cls = ctx.choose((SimpleImage, Sub, OddSub))
    # A file the module opens itself is never asked for more than it holds, but where its reads
    # are a caller's to see (a subclass's own _streamToImage, a rebound _readChunk or struct)
    # they are asked as specified, and a file's read(n) reserves n bytes, which libFuzzer counts
    # as running out of memory when n is gigabytes.
    visible = cls is OddSub or ext._readChunk is not ctx.real["_readChunk"]
    if kind in (2, 4) and (isinstance(ext.struct, hostile.OddStruct) or (visible and claims_large_read(content))):
        kind = 0
    source = (bytes(content), bytearray(content), IN, None, None)[kind]
    if kind == 3:
        source = container(ctx, content)
    elif kind == 4:
        source = paths(ctx, IN)
        if not isinstance(source, (str, pathlib.Path)):
            ctx.lie()  # only str and Path are paths; bytes are content
    # A real file refuses what a hostile struct may ask of it (a seek before its start).
    ctx.real_file = isinstance(source, (str, pathlib.Path))
    OddSub.ctx = ctx
    img, exc = attempt(ctx, invoke(ctx, cls.open, ("source",), [source]))

    def verify():
        if img is None:
            return
        assert type(img) is cls and type(img._pixels) is bytearray
        if cls is not OddSub:
            check_image(img, content)
        if ctx.honest and not ctx.fired:
            assert ("ok", (img.width, img.height, bytes(img._pixels))) == plain(lambda: decoded(content))
    return verify


def stream_to_image(ctx, content):
    result, exc = attempt(ctx, invoke(ctx, SimpleImage._streamToImage, ("stream",), [stream(ctx, content)]))

    def verify():
        if result is None:
            return
        assert type(result) is tuple and len(result) == 3, result
        width, height, pixels = result
        assert type(pixels) is bytearray and height >= 0
        assert len(pixels) == width * height * 3 or (height == 0 and not pixels)
        if ctx.honest and not ctx.fired:
            assert ("ok", (width, height, bytes(pixels))) == plain(lambda: decoded(content))
    return verify


ENTRIES = (
    construct,
    copy,
    get_pixel,
    put_pixel,
    lambda c, d: save(c, "save"),
    lambda c, d: save(c, "saveBmp"),
    lambda c, d: write(c, "_writePng"),
    lambda c, d: write(c, "_writeBmp"),
    read_chunk,
    make_chunk,
    open_image,
    stream_to_image,
)


# ---- one input -----------------------------------------------------------------------------

def choose_content(ctx):
    which = ctx.pick(len(CONTENTS) + 1)
    if which == len(CONTENTS):
        return ctx.fdp.ConsumeBytes(ctx.pick(256))
    content = bytearray(CONTENTS[which])
    if ctx.fdp.ConsumeBool():
        content[ctx.pick(len(content))] = ctx.pick(256)
    return bytes(content)


def victim(ctx, content):
    """The image the methods run on and the hooks change: the content decoded (or a small
    pattern), perhaps with fields that no longer agree."""
    _, img = plain(lambda: SimpleImage.open(content))
    # A zero-width image may declare any number of rows; saving it writes a filter byte for
    # each, which is legitimate but slow.
    if not isinstance(img, SimpleImage) or max(img.width, img.height, img.width * img.height) > 4096:
        img = SimpleImage(3, 2, pattern(18))
    prep = ctx.pick(6)
    if prep == 1:
        img.width += 1
    elif prep == 2:
        img.height = 0
    elif prep == 3:
        img._pixels += b"\x01" * 5
    elif prep == 4:
        img._pixels = None
    elif prep == 5:
        img.width = -img.width
    return img


def test_one_input(data: bytes) -> None:
    ctx = Ctx(atheris.FuzzedDataProvider(data))
    entry = ctx.choose(ENTRIES)
    content = choose_content(ctx)
    if slow_under_asan(content):
        return
    ctx.warn_error = ctx.fdp.ConsumeBool()
    ctx.torture = hostile.torture(ctx)
    ctx.image = victim(ctx, content)
    ctx.real = {name: getattr(ext, name) for name in hostile.NAMES}
    verify = None
    with warnings.catch_warnings():
        warnings.simplefilter("error" if ctx.warn_error else "ignore", DeprecationWarning)
        try:
            ctx.rebound = hostile.rebind(ctx)
            verify = entry(ctx, content)
        finally:
            hostile.restore(ctx)
            ctx.call_dict = None
    if verify is not None:
        verify()
    for path in (OUT, IN):
        if os.path.exists(path):
            os.remove(path)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
