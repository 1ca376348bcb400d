"""A collector that runs at (nearly) every allocation of a tracked object, fed with cyclic
garbage whose finalizers run Python code in the middle of whatever allocated: inside the
module's routines, between any two of their calls into the interpreter.

With no actions the finalizers only allocate (the next piece of garbage), so every result
must stay what it is. With actions they act on what is in flight: the images and buffers in
the locals of the frames below them, the lists and buffers that refer to those objects
(gc.get_referrers), the lists of bytes only C code holds, the memoryviews anyone holds, and
the module's names.

Used by the tests (conftest.py: --torture / SI_TORTURE) and by the objects fuzz target.
"""
import gc
import random
import sys
import types
import zlib

from Vorlanx import simpleImage_ext as ext

NAMES = ("zlib", "struct", "_readChunk", "_makeChunk", "BytesIO", "PNG_SIGNATURE", "_writePng", "_writeBmp")
FILL = 0xEE  # what a finalizer writes into a buffer it puts in place of an image's


def proxy_zlib():
    """A zlib that is not the standard module: the decoder then calls it a piece at a time."""
    z = types.ModuleType("zproxy")
    z.crc32, z.error = zlib.crc32, zlib.error
    z.compress = lambda *args: zlib.compress(*args)
    z.decompress = lambda *args: zlib.decompress(*args)
    z.decompressobj = lambda *args: zlib.decompressobj(*args)
    return z


def _images(t, objs):
    for img in objs:
        if isinstance(img, ext.SimpleImage):
            pixels = img._pixels
            size = len(pixels) if pixels is not None else 0
            choice = t.rng.randrange(6 if t.strict else 9)
            if choice < 4:
                img._pixels = bytearray([FILL]) * size  # the old buffer is freed
            elif choice == 4:
                img._pixels = bytearray(pixels) if pixels is not None else None  # same bytes, new memory
            elif choice == 5 and pixels is not None:
                try:
                    pixels[:] = bytearray([FILL]) * size  # same length, rewritten in place
                except BufferError:
                    pass
            elif choice == 6:
                img._pixels = t.rng.choice((None, bytearray(), bytearray([FILL]) * t.rng.randrange(12)))
            else:
                setattr(img, t.rng.choice(("width", "height")), t.rng.choice((0, 1, -3, 2**31 - 1)))


def _names(t, objs):
    name = t.rng.choice(NAMES)
    alternatives = [t.saved[name], None]
    if name == "zlib":
        alternatives.append(t.proxy)
    setattr(ext, name, t.rng.choice(alternatives))


def _mutate(t, obj):
    if type(obj) is list:
        items = obj[:]
        t.rng.shuffle(items)
        obj[:] = t.rng.choice(([], items[: len(items) // 2], items + items, [b"\0" * 10, b"\0" * 400000]))
    elif type(obj) is bytearray:
        try:
            t.rng.choice((obj.clear, lambda: obj.extend(bytes(5000)), lambda: obj.__delitem__(slice(0, 4))))()
        except BufferError:
            pass  # exported: the module holds it, as it must


def _referrers(t, objs):
    """Empties or refills the lists that hold an object in flight, and changes its buffers."""
    flight = [o for o in objs if isinstance(o, (bytes, bytearray, memoryview, list))]
    if not flight:
        return
    obj = t.rng.choice(flight)
    if isinstance(obj, memoryview):
        obj = obj.obj
    _mutate(t, obj)
    for holder in gc.get_referrers(obj):
        if holder is not objs and holder is not flight and not isinstance(holder, types.FrameType):
            _mutate(t, holder)


def _orphans(t, objs):
    """Empties or refills the lists of bytes that no tracked object refers to (nor a frame
    that act() has looked at): lists that only C code holds, such as the chunks a decoder has
    gathered."""
    everything = gc.get_objects()
    for held in everything:
        if type(held) is list and 0 < len(held) < 10000 and all(
                isinstance(item, (bytes, bytearray, memoryview)) for item in held):
            if all(holder is everything for holder in gc.get_referrers(held)):
                _mutate(t, held)


def _views(t, objs):
    """Releases the memoryviews over bytearrays made since the block began, whoever holds
    them, then resizes those arrays."""
    for view in gc.get_objects():
        if type(view) is not memoryview or id(view) in t.older_views:
            continue
        try:
            target = view.obj
            if type(target) is bytearray:
                view.release()
                target.clear()
        except (ValueError, BufferError):
            pass  # released already, or still exported


ACTIONS = {"images": _images, "names": _names, "referrers": _referrers, "orphans": _orphans, "views": _views}
# The costly ones (they scan the whole heap) run in a fraction of the finalizers only.
SCANS = {"referrers": 20, "orphans": 100, "views": 200}


class _Filler:
    pass


class _Garbage:
    def __init__(self, torture):
        self.torture = torture
        self.cycle = self

    def __del__(self):
        t = self.torture
        if not t.active:
            return
        t.fired += 1
        # A collection zeroes the allocation count and every tracked object freed after it
        # takes one off again, so a supply that only replaces itself would leave the count at
        # zero and collect at every second allocation. The last fillers are freed while the
        # count is still zero; the new ones keep it above one whatever is freed after them
        # (this garbage, what the actions drop): the next tracked allocation collects.
        t.filler = None
        t.filler = [_Filler() for _ in range(8)]
        _Garbage(t)  # the next one, in the youngest generation, for the next collection
        if t.actions:
            t.act()


class Torture:
    """A context: inside it every tracked allocation collects and runs a finalizer.

    `actions` names entries of ACTIONS; `strict` keeps the image actions to what leaves a
    pixel read checkable (the old bytes, or FILL); `flight` adds objects the caller knows to
    be in use. The module's names are restored on exit.
    """

    def __init__(self, actions=(), seed=0, strict=False, scans=None, flight=()):
        self.actions = tuple(actions)
        self.flight = [obj for obj in flight if obj is not None]  # known in flight besides the locals
        self.scans = dict(SCANS, **(scans or {}))
        self.rng = random.Random(seed)
        self.strict = strict
        self.active = False
        self.fired = 0
        self.saved = {}
        self.filler = None
        self.proxy = proxy_zlib()

    def act(self):
        # In flight: the locals of the frames running inside the `with` block, down to the
        # one that entered it (nothing of the test runner's).
        objs = list(self.flight)
        frame = sys._getframe(2)
        while frame is not None:
            if frame.f_code.co_filename != __file__:
                objs.extend(frame.f_locals.values())
            if frame is self.entered:
                break
            frame = frame.f_back
        if frame is None:
            return  # a finalizer run outside the block's frames (another thread)
        for name in self.actions:
            if self.rng.randrange(self.scans.get(name, 1)) == 0:
                try:
                    ACTIONS[name](self, objs)
                except Exception:
                    pass  # a finalizer's failure is only reported; the module's call goes on

    def __enter__(self):
        self.entered = sys._getframe(1)
        self.older_views = {id(o) for o in gc.get_objects() if type(o) is memoryview} if "views" in self.actions else ()
        self.saved = {name: getattr(ext, name) for name in NAMES}
        self.thresholds = gc.get_threshold()
        # Free lists serve small tuples without the collector: held empty while this runs.
        self.drained = [tuple([i] * n) for n in range(1, 5) for i in range(2100)]
        self.active = True
        _Garbage(self)
        gc.set_threshold(1, 100, 100)
        return self

    def __exit__(self, *exc):
        gc.set_threshold(*self.thresholds)
        self.active = False
        for name, value in self.saved.items():
            setattr(ext, name, value)
        self.drained = self.entered = self.older_views = self.filler = None
        gc.collect()
        return False
