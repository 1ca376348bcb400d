"""getPixel and putPixel: bounds, unpacking, component conversion, and buffers that change during a call."""
import random
from decimal import Decimal
from fractions import Fraction

import pytest

from conftest import assert_entry, image

try:
    import numpy as np
except ImportError:  # the numpy cases are skipped
    np = None

import Vorlanx.simpleImage_ext as ext

S = ext.SimpleImage
OUT_OF_BOUNDS = "Pixel coordinate out of bounds"


def snapshot(img):
    return bytes(img._pixels)


class HasInt:
    def __init__(self, value, log=None):
        self.value, self.log = value, log

    def __int__(self):
        if self.log is not None:
            self.log.append(self.value)
        return self.value


class IntWithHook(int):
    def __int__(self):
        return 99


class IndexOnly:
    def __index__(self):
        return 5


class PlainIntSub(int):
    pass


def test_pixel_layout():
    img = image(3, 2)
    data = snapshot(img)
    got = [img.getPixel((x, y)) for y in range(2) for x in range(3)]
    assert got == [tuple(data[i:i + 3]) for i in range(0, 18, 3)]


@pytest.mark.parametrize("value, stored", [
    ((1, 2, 3), (1, 2, 3)),
    ((300, -1, 256), (44, 255, 0)),
    ((2**70, -2**70 - 1, 256), (0, 255, 0)),
    ((2**63 + 5, -2**63, 2**64 - 1), (5, 0, 255)),
    ((1.9, 2.5, -0.7), (1, 2, 0)),
    (("7", b"8", True), (7, 8, 1)),
    ((" 12 ", bytearray(b"13"), False), (12, 13, 0)),
    ((Decimal("3.7"), Fraction(7, 2), -1.5), (3, 3, 255)),
    ((IntWithHook(1), HasInt(1000), IndexOnly()), (99, 232, 5)),  # int() semantics throughout
    ([1, 2, 3], (1, 2, 3)),
    (bytes([1, 2, 3]), (1, 2, 3)),
    (range(7, 10), (7, 8, 9)),
    ((v for v in (1, 2, 3)), (1, 2, 3)),
    (iter([257, 258, 259]), (1, 2, 3)),
])
def test_put_then_get(value, stored):
    img = image(3, 2)
    before = snapshot(img)
    assert img.putPixel((1, 1), value) is None
    assert img.getPixel((1, 1)) == stored
    assert snapshot(img)[:12] == before[:12] and snapshot(img)[15:] == before[15:]


def test_call_forms_agree():
    forms = [lambda i: i.putPixel((1, 0), (9, 8, 7)), lambda i: S.putPixel(i, (1, 0), (9, 8, 7)),
             lambda i: S.putPixel(i, coords=(1, 0), value=(9, 8, 7)),
             lambda i: i.putPixel(value=(9, 8, 7), coords=(1, 0))]
    results = set()
    for form in forms:
        img = image(2, 1)
        form(img)
        results.add((snapshot(img), img.getPixel(coords=(1, 0)), S.getPixel(img, (1, 0))))
    assert results == {(bytes([0, 1, 2, 9, 8, 7]), (9, 8, 7), (9, 8, 7))}


# ---- bounds and coordinates ----------------------------------------------------------------

@pytest.mark.parametrize("size, coords", [
    ((3, 2), (3, 0)), ((3, 2), (0, 2)), ((3, 2), (-1, 0)), ((3, 2), (0, -1)),
    ((3, 2), (10**30, 0)), ((3, 2), (0, -10**30)), ((3, 2), (2**63, 0)), ((3, 2), (2**31, 2**31)),
    ((3, 2), (-1, "a")),  # the second coordinate is never examined
    ((0, 0), (0, 0)), ((0, 4), (0, 0)), ((4, 0), (0, 0)), ((-1, -1), (0, 0)),
])
@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
def test_out_of_bounds(method, size, coords):
    img = image(*size, data=bytes(abs(size[0] * size[1]) * 3))
    before = snapshot(img)
    args = (coords,) if method == "getPixel" else (coords, (1, 2))  # a bad value is never looked at
    with pytest.raises(ValueError) as info:
        getattr(img, method)(*args)
    assert str(info.value) == OUT_OF_BOUNDS
    assert snapshot(img) == before
    assert_entry(info.value, "SimpleImage." + method)


@pytest.mark.parametrize("coords, kind, message", [
    ((), ValueError, "need more than 0 values to unpack"),
    ((0,), ValueError, "need more than 1 value to unpack"),
    ((0, 0, 0), ValueError, "too many values to unpack (expected 2)"),
    (("a", 0), TypeError, "'<=' not supported between instances of 'int' and 'str'"),
    ((0, "a"), TypeError, "'<=' not supported between instances of 'int' and 'str'"),
    ((None, 0), TypeError, "'<=' not supported between instances of 'int' and 'NoneType'"),
])
@pytest.mark.parametrize("method", ["getPixel", "putPixel"])
def test_bad_coordinates(method, coords, kind, message):
    img = image(2, 2)
    before = snapshot(img)
    with pytest.raises(kind) as info:
        getattr(img, method)(*((coords,) if method == "getPixel" else (coords, (1, 2, 3))))
    assert str(info.value) == message
    assert snapshot(img) == before


class Logged:
    """A coordinate that records the comparisons made on it and answers as told."""

    def __init__(self, name, log, ge=True, lt=True):
        self.name, self.log, self.ge, self.lt = name, log, ge, lt

    def __ge__(self, other):
        self.log.append((self.name, ">=", other))
        return self.ge

    def __lt__(self, other):
        self.log.append((self.name, "<", other))
        return self.lt


@pytest.mark.parametrize("steps, x, y", [
    (1, {"ge": False}, {}), (2, {"lt": False}, {}), (3, {}, {"ge": False}), (4, {}, {"lt": False})])
def test_bounds_are_four_comparisons_in_order(steps, x, y):
    log = []
    with pytest.raises(ValueError, match=OUT_OF_BOUNDS):
        image(3, 2).getPixel((Logged("x", log, **x), Logged("y", log, **y)))
    assert log == [("x", ">=", 0), ("x", "<", 3), ("y", ">=", 0), ("y", "<", 2)][:steps]


@pytest.mark.parametrize("coords", [(0.0, 0), (0, 0.0), (Fraction(1), 0), (Decimal(0), 0)])
def test_non_integer_index_fails_at_item_access(coords):
    img = image(2, 2)
    before = snapshot(img)
    with pytest.raises(TypeError, match="indices must be integers"):
        img.getPixel(coords)
    converted = []
    with pytest.raises(TypeError, match="indices must be integers"):
        img.putPixel(coords, (HasInt(7, converted), HasInt(8, converted), 9))
    assert converted == [7]  # r was converted before the first store failed
    assert snapshot(img) == before


# ---- the general path gives what the fast path gives -----------------------------------------

FORMS = {  # name: (coordinate form or None, component form or None)
    "int subclass": (PlainIntSub, PlainIntSub),
    "bool": (lambda v: bool(v) if v in (0, 1) else v, lambda v: bool(v) if v in (0, 1) else v),
    "float": (None, lambda v: float(v) + (0.5 if v >= 0 else -0.5) if abs(v) < 2**52 else v),
    "__int__": (None, HasInt),
    "__index__ only": (None, lambda v: type("I", (), {"__index__": lambda self: v})()),
    "str": (None, str),
    "numpy": ((lambda v: np.int64(v)) if np else None, (lambda v: np.int64(v % 2**63)) if np else None),
}


@pytest.mark.parametrize("name", list(FORMS))
def test_general_path_matches_fast_path(name):
    coord_form, value_form = FORMS[name]
    if np is None and name == "numpy":
        pytest.skip("numpy not installed")
    rng = random.Random(name)
    values = [0, 1, 255, 256, -1, 2**40, -2**40 - 7, 2**64 + 3]
    fast, general = image(4, 3), image(4, 3)
    for step in range(80):
        x, y = rng.randrange(4), rng.randrange(3)
        value = tuple(rng.choice(values + [rng.randrange(-999, 999)]) for _ in range(3))
        fast.putPixel((x, y), value)
        coords = (coord_form(x), coord_form(y)) if coord_form else (x, y)
        converted = tuple(value_form(v) for v in value) if value_form else value
        general.putPixel(coords, converted if step % 3 else iter(converted))
        assert general.getPixel(coords) == fast.getPixel((x, y))
        assert snapshot(general) == snapshot(fast)


# ---- bad values ----------------------------------------------------------------------------

def counted(items, drawn):
    for item in items:
        drawn.append(item)
        yield item


def failing_iterator():
    yield 1
    raise LookupError("from the iterator")


class ListIteratingOther(list):
    def __iter__(self):
        return iter([None] * 4)


@pytest.mark.parametrize("make_value, kind, message, drawn", [
    (lambda d: (1, 2), ValueError, "need more than 2 values to unpack", None),
    (lambda d: [1], ValueError, "need more than 1 value to unpack", None),
    (lambda d: [], ValueError, "need more than 0 values to unpack", None),
    (lambda d: (None,) * 4, ValueError, "too many values to unpack (expected 3)", None),
    (lambda d: b"\x01\x02", ValueError, "need more than 2 values to unpack", None),
    (lambda d: ListIteratingOther([1, 2, 3]), ValueError, "too many values to unpack (expected 3)", None),
    (lambda d: counted([1], d), ValueError, "need more than 1 value to unpack", 1),
    (lambda d: counted(range(10), d), ValueError, "too many values to unpack (expected 3)", 4),
    (lambda d: failing_iterator(), LookupError, "from the iterator", None),
    (lambda d: 5, TypeError, "'int' object is not iterable", None),
])
def test_bad_values_change_nothing(make_value, kind, message, drawn):
    img = image(2, 2)
    before = snapshot(img)
    log = []
    with pytest.raises(kind) as info:
        img.putPixel((1, 0), make_value(log))
    assert str(info.value) == message
    assert drawn is None or len(log) == drawn
    assert snapshot(img) == before
    assert_entry(info.value, "SimpleImage.putPixel")


@pytest.mark.parametrize("value, kind, stored", [
    ((7, None, 9), TypeError, (7, 1, 2)),
    ((7, 8, "x"), ValueError, (7, 8, 2)),
    ((None, 8, 9), TypeError, (0, 1, 2)),
    ((7, float("nan"), 9), ValueError, (7, 1, 2)),
    ((7, 8, float("-inf")), OverflowError, (7, 8, 2)),
    ((7, HasInt(1.5), 9), TypeError, (7, 1, 2)),
])
def test_failed_conversion_keeps_earlier_components(value, kind, stored):
    img = image(1, 1, data=b"\x00\x01\x02")
    with pytest.raises(kind):
        img.putPixel((0, 0), value)
    assert img.getPixel((0, 0)) == stored


# ---- buffers that disagree with the dimensions ---------------------------------------------

def test_cleared_buffer():
    img = image(2, 2)
    img._pixels = None
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        img.getPixel((0, 0))
    converted = []
    with pytest.raises(TypeError, match="'NoneType' object does not support item assignment"):
        img.putPixel((0, 0), (HasInt(1, converted), 2, 3))
    assert converted == [1]


def test_short_buffer_fails_only_past_its_end():
    img = image(2, 2)
    img._pixels = bytearray(range(10))
    assert img.getPixel((1, 0)) == (3, 4, 5)
    with pytest.raises(IndexError, match="bytearray index out of range"):
        img.getPixel((1, 1))
    with pytest.raises(IndexError, match="bytearray index out of range"):
        img.putPixel((1, 1), (70, 80, 90))
    assert img._pixels == bytearray([0, 1, 2, 3, 4, 5, 6, 7, 8, 70])  # red landed, green did not


@pytest.mark.parametrize("coords", [(2**31 - 2, 2**31 - 2), (2**31 - 2, 2**30), (0, 2**31 - 2), (1, 0)])
def test_huge_dimensions_over_a_small_buffer(coords):
    img = image(1, 1, data=b"abc")
    img.width = img.height = 2**31 - 1
    with pytest.raises(IndexError):
        img.getPixel(coords)
    with pytest.raises(IndexError):
        img.putPixel(coords, (1, 2, 3))
    assert img._pixels == b"abc"


# ---- Python code that runs during a call ---------------------------------------------------

class Meddler:
    """A component whose conversion first does something to the image or the value."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __int__(self):
        self.action()
        return self.value


@pytest.mark.parametrize("position", [0, 1, 2])
def test_conversion_that_replaces_the_buffer(position):
    img = image(2, 2, data=bytes(12))
    old, new = img._pixels, bytearray(b"\xee" * 12)
    value = [10, 20, 30]
    value[position] = Meddler(lambda: setattr(img, "_pixels", new), value[position])
    img.putPixel((1, 1), tuple(value))
    assert img._pixels is new
    assert list(new[9:]) == [0xEE] * position + [10, 20, 30][position:]
    assert list(old[9:]) == [10, 20, 30][:position] + [0] * (3 - position)


@pytest.mark.parametrize("action, kind", [
    (lambda img, value: img._pixels.clear(), IndexError),
    (lambda img, value: setattr(img, "_pixels", None), TypeError),
    (lambda img, value: img._pixels.extend(bytes(10**6)), None),  # moves the storage
    (lambda img, value: value.clear(), None),                      # items were taken before
])
def test_conversion_that_resizes_or_clears(action, kind):
    img = image(2, 2, data=bytes(12))
    value = [None, 20, 30]
    value[0] = Meddler(lambda: action(img, value), 10)
    if kind is None:
        img.putPixel((1, 1), value)
        assert img.getPixel((1, 1)) == (10, 20, 30)
    else:
        with pytest.raises(kind):
            img.putPixel((1, 1), value)


class EffectfulRow(int):
    def __mul__(self, other):
        self.effect()
        return int(self) * other


def test_index_arithmetic_that_changes_the_buffer():
    img = image(2, 2, data=bytes(12))
    y = EffectfulRow(1)
    y.effect = img._pixels.clear
    with pytest.raises(IndexError):
        img.getPixel((0, y))
    replacement = bytearray(range(100, 112))
    y.effect = lambda: setattr(img, "_pixels", replacement)
    assert img.getPixel((0, y)) == (106, 107, 108)


@pytest.mark.skipif(np is None, reason="numpy not installed")
def test_numpy_view_shares_the_image_memory():
    img = image(5, 3)
    view = np.frombuffer(img._pixels, np.uint8).reshape(3, 5, 3)
    view[2, 4] = (1, 2, 3)
    assert img.getPixel((4, 2)) == (1, 2, 3)
    img.putPixel((0, 1), (250, 251, 252))
    assert tuple(view[1, 0]) == (250, 251, 252)
    assert view.tobytes() == snapshot(img)
    # while the view is held the buffer cannot be resized, and the call fails cleanly
    with pytest.raises(BufferError):
        img.putPixel((0, 0), (Meddler(img._pixels.clear, 1), 2, 3))
    assert tuple(view[0, 0]) == img.getPixel((0, 0))
