"""Hostile argument objects for the objects fuzz target, each built from the fuzzer's input.

A factory stands for a value a well-behaved caller would pass (an integer, some bytes, a
stream over some bytes) and returns either that value or an object that misbehaves around it:
lies about its length, converts oddly, raises, or changes the objects in use (the image, its
buffer, the call's keyword dictionary, the module's names) in the middle of the call.

The `Ctx` of one input records what the module may legitimately do in return: `honest` stays
true while every object behaves exactly like the value it stands for (the result must then
equal the plain call's), `fired` counts the hooks that changed something (results are not
compared then), and `raised` holds the marker exceptions thrown, which must come back as they
were.
"""
import array
import contextlib
import gc
import io
import os
import pathlib
import struct
import zlib

from collector import ACTIONS, Torture
from common import ext


class Hostile(Exception):
    """Thrown by the fuzzer's own objects; the module must let it through unchanged."""


class Ctx:
    def __init__(self, fdp):
        self.fdp = fdp
        self.honest = True
        self.fired = 0
        self.absurd = False  # an object asks bytearray() for a size no machine holds
        self.raised = []
        self.image = None  # the image the hooks change
        self.buffer = None  # a bytearray argument the hooks change (else the image's)
        self.call_dict = None  # the keyword dictionary a C caller passes, while it is in use
        self.warn_error = False  # DeprecationWarning is raised as an error in this input
        self.rebound = False  # some of the module's names are hostile stand-ins
        self.real_file = False  # the module reads a file of the file system
        self.real = {}  # the module's names as they were before the input rebound any
        self.in_flight = None  # what a stand-in of zlib is working on, while it is
        self.torture = None  # (actions, seed) of the collector the calls run under, or None

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def choose(self, table):
        return table[self.pick(len(table))]

    def lie(self):
        self.honest = False

    def throw(self, where):
        exc = Hostile(where)
        self.raised.append(exc)
        raise exc

    def meddle(self):
        """Now and then, a change made from inside a stand-in's call."""
        if self.pick(4) == 3:
            self.hook()()

    def collector(self):
        """The collector a call runs under (collector.py): none; one whose finalizers only
        allocate (results stay the plain ones); or one whose finalizers change the image, its
        buffer, the lists and buffers around what is in flight, the module's names."""
        if self.torture is None:
            return contextlib.nullcontext()
        actions, seed = self.torture
        if actions:
            self.fired += 1
        return Torture(actions, seed=seed, flight=(self.image, self.buffer, self.in_flight))

    def hook(self):
        """A change to the objects in use, chosen now and made each time the result is called.
        Until it runs, the object carrying it behaves like its plain value."""
        change = self.choose(MUTATIONS)

        def fire():
            self.fired += 1
            change(self)
        return fire


def _target_buffer(ctx):
    if isinstance(ctx.buffer, bytearray):
        return ctx.buffer
    pixels = ctx.image._pixels if ctx.image is not None else None
    return pixels if pixels is not None else bytearray()


def _set(ctx, name, value):
    if ctx.image is not None:
        setattr(ctx.image, name, value)


def _rebind(name, value):
    setattr(ext, name, value)  # the input's finally restores every name


def _empty_holders(ctx):
    """Empties or refills the lists that hold what a stand-in of zlib is working on."""
    obj = ctx.in_flight.obj if isinstance(ctx.in_flight, memoryview) else ctx.in_flight
    if obj is None:
        return
    for holder in gc.get_referrers(obj):
        if type(holder) is list:
            holder[:] = holder[:1] * ctx.pick(3)


def _clear_call_dict(ctx):
    if ctx.call_dict is not None:
        ctx.call_dict.clear()


# What a hook does. Resizing a buffer that the module has exported raises BufferError out of
# the hook, which the module must pass on.
MUTATIONS = (
    lambda c: _target_buffer(c).clear(),
    lambda c: _target_buffer(c).extend(bytes(5000)),  # moves the storage
    lambda c: _target_buffer(c).__delitem__(slice(0, 4)),  # moves the start
    lambda c: _target_buffer(c).__setitem__(slice(None), b"\x07" * 5),
    lambda c: _set(c, "_pixels", None),
    lambda c: _set(c, "_pixels", bytearray(b"\x09" * 9)),
    lambda c: _set(c, "width", 2**31 - 1),
    lambda c: _set(c, "width", -2),
    lambda c: _set(c, "height", 0),
    lambda c: _set(c, "height", 2**31 - 1),
    _clear_call_dict,
    _empty_holders,
    lambda c: _rebind("zlib", None),
    lambda c: _rebind("struct", None),
    lambda c: _rebind("PNG_SIGNATURE", b"BM"),
    lambda c: _rebind("_readChunk", lambda stream: (b"", b"")),
    lambda c: c.throw("hook"),
)


# ---- integers ------------------------------------------------------------------------------

class IntSub(int):
    pass


class IntOnly:
    """Converts through __int__ only; `value` may be a callable run at each conversion."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value() if callable(self.value) else self.value


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sly(int):
    """An int whose operations the general paths call (comparisons, arithmetic, __index__)
    run a hook first; conversions through int itself do not."""

    def _go(self):
        self.fire()

    def __index__(self):
        self._go()
        return int(self)

    def __lt__(self, other):
        self._go()
        return int(self) < other

    def __le__(self, other):
        self._go()
        return int(self) <= other

    def __gt__(self, other):
        self._go()
        return int(self) > other

    def __ge__(self, other):
        self._go()
        return int(self) >= other

    def __add__(self, other):
        self._go()
        return self.arith(int(self) + other)

    __radd__ = __add__

    def __mul__(self, other):
        self._go()
        return self.arith(int(self) * other)

    __rmul__ = __mul__


def _sly(ctx, value, arith):
    s = Sly(value)
    s.fire = ctx.hook()
    s.arith = arith
    return s


def _raising_int(ctx):
    return IntOnly(lambda: ctx.throw("__int__"))


def _deprecated_int(ctx, good):
    # An int subclass from __int__ is taken with a DeprecationWarning, an error in some inputs.
    if ctx.warn_error:
        ctx.lie()
    return IntOnly(IntSub(good))


def _hooked_int(ctx, good):
    fire = ctx.hook()

    def convert():
        fire()
        return good
    return IntOnly(convert)


def _bool(ctx, good):
    if good not in (0, 1):
        ctx.lie()
    return bool(good)


# Roles: "int32" for a conversion through __int__ to a 32-bit integer (dimensions), "index"
# for an int used in comparisons and arithmetic (coordinates, header fields, CRCs), "value"
# for int(v) & 255 (pixel components). Each entry: (maker, the roles where it stands for
# `good` exactly). A maker may call ctx.lie() itself when its value differs from `good`.
INTS = (
    (lambda c, g: g, ("int32", "index", "value")),
    (lambda c, g: IntSub(g), ("int32", "index", "value")),
    (_bool, ("int32", "index", "value")),
    (lambda c, g: g + 0.5 if g >= 0 else g - 0.5, ("int32", "value")),
    (lambda c, g: IntOnly(g), ("int32", "value")),
    (lambda c, g: _deprecated_int(c, g), ("int32", "value")),
    (lambda c, g: IndexOnly(g), ("value",)),
    (lambda c, g: str(g), ("value",)),
    (lambda c, g: g + 2**32, ("value",)),
    (lambda c, g: g + 2**31, ()),
    (lambda c, g: -1 - g, ()),
    (lambda c, g: 10**30 + g, ()),
    (lambda c, g: -(10**30), ()),
    (lambda c, g: _raising_int(c), ()),
    (lambda c, g: IntOnly(float(g)), ()),
    (lambda c, g: IntOnly(2**40 + g), ()),
    (lambda c, g: None, ()),
    (lambda c, g: _hooked_int(c, g), ("int32", "value")),
    (lambda c, g: _sly(c, g, lambda v: v), ("int32", "index", "value")),
    (lambda c, g: _sly(c, g, lambda v: -1), ("int32",)),
    (lambda c, g: _sly(c, g, lambda v: v + 2**70), ("int32",)),
    (lambda c, g: _sly(c, g, lambda v: v + 0.5), ("int32",)),
)


def integer(ctx, good, role):
    """An object standing for the integer `good` in `role` (half the time `good` itself)."""
    if not ctx.fdp.ConsumeBool():
        return good
    make, roles = ctx.choose(INTS)
    if role not in roles:
        ctx.lie()
    return make(ctx, good)


# ---- byte containers -----------------------------------------------------------------------

def _claim(ctx, true_length):
    """A length other than the true one, or a __len__ that fails."""
    kind = ctx.pick(7)
    if kind == 5:
        return lambda self: -1  # len() refuses it with ValueError
    if kind == 6:
        return lambda self: ctx.throw("__len__")
    claim = (true_length - 1, true_length + 1, 0, 2**48, 2**62)[kind]
    return lambda self: claim


def _liar(ctx, base, data):
    ctx.lie()
    return type("Lying" + base.__name__, (base,), {"__len__": _claim(ctx, len(data))})(data)


def _lying_items(ctx, data):
    # Wrong items by indexing and iteration; the buffer is right.
    ctx.lie()
    cls = type("ItemLiar", (bytearray,), {
        "__getitem__": lambda self, i: 0x5A,
        "__iter__": lambda self: iter(b"\x5a" * 3),
    })
    return cls(data)


def _with_index(ctx, data):
    # bytearray() takes __index__ before the buffer: a zeroed array of that size.
    ctx.lie()
    size = ctx.choose((len(data), 0, 3, 2**62))
    ctx.absurd = ctx.absurd or size > 2**40
    return type("IndexBytes", (bytes,), {"__index__": lambda self: size})(data)


def _hooked_len(ctx, data):
    fire = ctx.hook()

    def length(self):
        fire()
        return len(bytes(memoryview(self)))
    return type("HookedLen", (bytearray,), {"__len__": length})(data)


def _typed_view(ctx, data):
    # Items of 2, 4 or 8 bytes: len() counts items, the buffer counts bytes.
    ctx.lie()
    code = ctx.choose("HIQ")
    size = array.array(code).itemsize
    return memoryview(array.array(code, data + bytes(-len(data) % size)))


def _strided(ctx, data):
    ctx.lie()
    step = 2 + ctx.pick(3)
    base = bytearray(len(data) * step)
    base[::step] = data
    return memoryview(base)[::step]


def _shaped(ctx, data):
    ctx.lie()
    rows = next(r for r in (3, 2, 1) if len(data) % r == 0)
    return memoryview(data).cast("B", shape=[rows, len(data) // rows]) if data else memoryview(data)


def _released(ctx, data):
    ctx.lie()
    view = memoryview(data)
    view.release()
    return view


def _not_bytes(ctx, data):
    # Text, nothing, or a count (which bytearray() takes for that many zero bytes).
    ctx.lie()
    return ctx.choose((data.decode("latin-1"), None, len(data)))


def _out_of_range(ctx, data):
    ctx.lie()
    return list(data) + [ctx.choose((256, -1, 1.0, None))]


CONTAINERS = (
    lambda c, d: bytes(d),
    lambda c, d: bytearray(d),
    lambda c, d: _liar(c, bytes, d),
    lambda c, d: _liar(c, bytearray, d),
    _lying_items,
    lambda c, d: memoryview(bytes(d)),
    lambda c, d: memoryview(bytearray(d)),
    lambda c, d: memoryview(bytes(d)).toreadonly(),
    lambda c, d: array.array("B", d),
    lambda c, d: list(d),
    lambda c, d: tuple(d),
    _typed_view,
    _strided,
    _shaped,
    _released,
    _out_of_range,
    _with_index,
    _hooked_len,
    _not_bytes,
)


def container(ctx, data):
    """An object standing for the bytes `data` (half the time the bytes themselves)."""
    if not ctx.fdp.ConsumeBool():
        return bytes(data)
    return ctx.choose(CONTAINERS)(ctx, bytes(data))


def as_bytes(obj):
    """What a buffer-reading consumer sees in `obj` (bytes() itself may take __index__)."""
    try:
        return bytes(memoryview(obj))
    except TypeError:
        return bytes(obj)


# ---- streams -------------------------------------------------------------------------------

class Stream(io.BytesIO):
    """A BytesIO whose reads come back as hostile containers, short or long, and whose seek
    may lie; the choices are made read by read from the input."""

    def __init__(self, ctx, data):
        super().__init__(data)
        self.ctx = ctx
        self.odd_seek = ctx.pick(5)
        if self.odd_seek:
            ctx.lie()

    def read(self, n=-1):
        self.ctx.meddle()
        op = self.ctx.pick(4)
        if op == 0:
            return super().read(n)
        if op == 1:
            return container(self.ctx, super().read(n))
        self.ctx.lie()
        data = super().read(n)
        return data[:-1] if op == 2 else data + super().read(1) + b"\x00"

    def seek(self, pos, whence=0):
        if self.odd_seek == 1:
            self.ctx.throw("seek")
        if self.odd_seek == 2:
            return "not a position"
        if self.odd_seek == 3:
            return super().seek(1, whence)
        if self.odd_seek == 4:
            self.ctx.hook()()
        return super().seek(pos, whence)


def stream(ctx, data):
    return Stream(ctx, data) if ctx.fdp.ConsumeBool() else io.BytesIO(data)


# ---- the module's names, rebound ---------------------------------------------------------

class OddStruct:
    """struct, with packed bytes handed back in hostile containers and unpacked fields as
    hostile integers."""
    error = struct.error
    calcsize = staticmethod(struct.calcsize)

    def __init__(self, ctx):
        self.ctx = ctx

    def pack(self, fmt, *values):
        self.ctx.meddle()
        return container(self.ctx, struct.pack(fmt, *values))

    def unpack(self, fmt, data):
        self.ctx.meddle()
        # Built as a list first: tuple() over a generator grows its tuple in place, which fails
        # with SystemError when the collector's gc.get_referrers has seen the half-built tuple.
        fields = tuple([integer(self.ctx, v, "index") for v in struct.unpack(fmt, data)])
        return fields if self.ctx.fdp.ConsumeBool() else list(fields)


class OddDecompressor:
    def __init__(self, ctx):
        self.ctx = ctx
        self.real = zlib.decompressobj()

    def decompress(self, data, max_length=0):
        self.ctx.in_flight = data
        self.ctx.meddle()
        return container(self.ctx, self.real.decompress(data, max_length))

    @property
    def unconsumed_tail(self):
        return container(self.ctx, self.real.unconsumed_tail)

    @property
    def eof(self):
        kind = self.ctx.pick(6)
        if kind == 0:
            return self.real.eof
        if kind == 1:
            return IntSub(self.real.eof)
        self.ctx.lie()
        if kind == 2:
            return not self.real.eof
        if kind == 3:
            return type("BadBool", (), {"__bool__": lambda s: self.ctx.throw("__bool__")})()
        if kind == 4:
            fire = self.ctx.hook()
            return type("HookedBool", (), {"__bool__": lambda s: (fire(), self.real.eof)[1]})()
        return "yes"


class OddZlib:
    """zlib, with every result handed back as a hostile object."""
    error = zlib.error

    def __init__(self, ctx):
        self.ctx = ctx

    def crc32(self, data, value=0):
        return integer(self.ctx, zlib.crc32(data, value), "index")

    def compress(self, data, *args):
        self.ctx.meddle()
        return container(self.ctx, zlib.compress(data, *args))

    def decompress(self, data, *args):
        self.ctx.in_flight = data
        self.ctx.meddle()
        return container(self.ctx, zlib.decompress(data, *args))

    def decompressobj(self, *args):
        return OddDecompressor(self.ctx)


def _no_attribute(self):
    raise AttributeError("decompressobj")


class WholeZlib(OddZlib):
    """A zlib without decompressobj: the decoder inflates in one call."""
    decompressobj = property(_no_attribute)


def _odd_read_chunk(ctx):
    real = ctx.real["_readChunk"]

    def read_chunk(stream):
        ctx.meddle()
        kind, data = real(stream)
        pair = (container(ctx, kind), container(ctx, data))
        shape = ctx.pick(4)
        if shape == 3:
            ctx.lie()
            return pair + (b"",)
        return (tuple, list, iter)[shape](pair)
    return read_chunk


def _odd_make_chunk(ctx):
    real = ctx.real["_makeChunk"]
    def make_chunk(kind, data):
        ctx.meddle()
        return container(ctx, real(kind, data))
    return make_chunk


def _odd_bytesio(ctx):
    return lambda source: Stream(ctx, as_bytes(source))


# Name -> the hostile stand-in an input may bind in its place.
REBINDINGS = (
    ("_readChunk", _odd_read_chunk),
    ("struct", OddStruct),
    ("zlib", lambda c: (OddZlib, WholeZlib)[c.pick(2)](c)),
    ("BytesIO", _odd_bytesio),
    ("PNG_SIGNATURE", lambda c: container(c, ext.PNG_SIGNATURE)),
    ("_makeChunk", _odd_make_chunk),
)
NAMES = tuple(name for name, _ in REBINDINGS) + ("_writePng", "_writeBmp", "Path")


def rebind(ctx):
    """Replaces a subset of the module's names; whether it replaced any."""
    mask = ctx.pick(1 << len(REBINDINGS)) if ctx.fdp.ConsumeBool() else 0
    for bit, (name, make) in enumerate(REBINDINGS):
        if mask >> bit & 1:
            setattr(ext, name, make(ctx))
    return mask != 0


def restore(ctx):
    for name, value in ctx.real.items():
        setattr(ext, name, value)


def paths(ctx, path):
    """A path argument for the writers and open: str, Path, bytes, or an os.PathLike whose
    __fspath__ runs a hook or raises."""
    kind = ctx.pick(5)
    if kind == 1:
        return pathlib.Path(path)
    if kind == 2:
        return os.fsencode(path)
    if kind == 3:
        fire = ctx.hook()
        return type("HookedPath", (), {"__fspath__": lambda self: (fire(), path)[1]})()
    if kind == 4:
        ctx.lie()
        return type("BadPath", (), {"__fspath__": lambda self: ctx.throw("__fspath__")})()
    return path


def torture(ctx):
    """Whether the calls run under a collector torture, and with which actions."""
    kind = ctx.pick(4)
    if kind < 2:
        return None
    names = sorted(ACTIONS)
    mask = ctx.pick(1 << len(names)) if kind == 3 else 0
    return tuple(n for bit, n in enumerate(names) if mask >> bit & 1), ctx.pick(1 << 16)
