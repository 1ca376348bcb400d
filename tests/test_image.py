"""SimpleImage as a record: construction, attributes, copy, pickling refusal, subclassing."""
import array
import copy
import gc
import pickle
import weakref

import pytest

from conftest import assert_entry, entry_names, image

import Vorlanx.simpleImage_ext as ext

S = ext.SimpleImage
LENGTH_MISMATCH = "Pixel data length does not match image dimensions"
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


# ---- construction --------------------------------------------------------------------------

SIX = [1, 2, 3, 4, 5, 6]


@pytest.mark.parametrize("width, height, pixels", [
    (2, 1, bytes(SIX)), (2, 1, bytearray(SIX)), (2, 1, memoryview(bytes(SIX))), (2, 1, SIX), (2, 1, tuple(SIX)),
    (2, 1, array.array("B", SIX)), (2, 1, range(1, 7)), (0, 0, b""), (3, 0, []), (0, 5, bytearray()),
    (-1, -1, b"abc"), (-2, -1, bytes(6)),  # negative dimensions pass when the length equation holds
    (1.9, 1, b"abc"), (True, True, b"abc"),
])
def test_construction(width, height, pixels):
    img = S(width, height, pixels)
    assert img.size == (int(width), int(height))
    assert type(img._pixels) is bytearray
    assert img._pixels == bytearray(pixels)
    assert img._pixels is not pixels


def test_constructor_copies_the_callers_buffer():
    source = bytearray(b"abc")
    img = S(1, 1, source)
    source[0] = 0
    assert img.getPixel((0, 0)) == (97, 98, 99)
    other = S(1, 1, img._pixels)
    assert other._pixels is not img._pixels


@pytest.mark.parametrize("width, height, pixels, kind, message", [
    (1, 1, b"ab", ValueError, LENGTH_MISMATCH), (1, 1, b"abcd", ValueError, LENGTH_MISMATCH),
    (-1, 1, b"abc", ValueError, LENGTH_MISMATCH), (0, 0, b"a", ValueError, LENGTH_MISMATCH),
    # products that wrap in narrow arithmetic must still be refused
    (65536, 65536, b"", ValueError, LENGTH_MISMATCH), (1431655766, 1, b"\0\0", ValueError, LENGTH_MISMATCH),
    (2**31 - 1, 2**31 - 1, b"abc", ValueError, LENGTH_MISMATCH), (-2**31, -2**31, b"", ValueError, LENGTH_MISMATCH),
    (1, 1, [0, 0, 256], ValueError, "byte must be in range(0, 256)"),
    (1, 1, "abc", TypeError, "string argument without an encoding"),
    (1, 1, None, TypeError, "object of type 'NoneType' has no len()"),
    (1, 1, (x for x in b"abc"), TypeError, "object of type 'generator' has no len()"),
    ("1", 1, None, TypeError, "an integer is required"),   # conversions come before the length
])
def test_construction_failures(width, height, pixels, kind, message):
    with pytest.raises(kind) as info:
        S(width, height, pixels)
    assert str(info.value) == message
    assert_entry(info.value, "SimpleImage.__cinit__")


# ---- attributes ----------------------------------------------------------------------------

@pytest.mark.parametrize("attr", ["width", "height"])
def test_dimension_assignment_and_deletion(attr):
    img = image(2, 1)
    buffer = img._pixels
    for bad in ("3", None, 2**31):
        with pytest.raises((TypeError, OverflowError)):
            setattr(img, attr, bad)
    with pytest.raises(NotImplementedError) as info:
        delattr(img, attr)
    assert str(info.value) == "__del__"
    assert entry_names(info.value) and all(n.startswith(f"Vorlanx.simpleImage_ext.SimpleImage.{attr}.")
                                           for n in entry_names(info.value))
    assert img.size == (2, 1)  # refused changes left the field alone
    setattr(img, attr, 5)
    assert img.size == ((5, 1) if attr == "width" else (2, 5))
    assert img._pixels is buffer and len(buffer) == 6  # nothing else changes with it


def test_pixels_is_the_live_buffer():
    img = image(1, 1)
    assert img._pixels is img._pixels
    img._pixels[0] = 200
    assert img.getPixel((0, 0))[0] == 200
    replacement = bytearray(b"xyz")
    img._pixels = replacement
    assert img._pixels is replacement
    assert img.getPixel((0, 0)) == (120, 121, 122)


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("value, type_name", [
    (b"abc", "bytes"), (ByteArraySub(b"abc"), "ByteArraySub"), (memoryview(bytearray(3)), "memoryview"),
    ([1, 2, 3], "list"), (0, "int"),
])
def test_pixels_assignment_accepts_only_an_exact_bytearray(value, type_name):
    img = image(1, 1)
    before = img._pixels
    with pytest.raises(TypeError) as info:
        img._pixels = value
    assert str(info.value) == f"Expected bytearray, got {type_name}"
    assert img._pixels is before
    assert_entry(info.value, "SimpleImage._pixels.__set__")


def test_pixels_can_be_cleared():
    img = image(1, 1)
    img._pixels = None
    assert img._pixels is None
    img._pixels = bytearray(3)
    del img._pixels
    del img._pixels  # clearing twice is fine
    assert img._pixels is None and img.size == (1, 1)


def test_record_is_plain():
    img = image(1, 1)
    for action, kind in [(lambda: setattr(img, "size", (1, 1)), AttributeError),
                         (lambda: delattr(img, "size"), AttributeError),
                         (lambda: setattr(img, "depth", 8), AttributeError),
                         (lambda: img.__dict__, AttributeError), (lambda: weakref.ref(img), TypeError)]:
        with pytest.raises(kind):
            action()
    assert not gc.is_tracked(img)
    for name in ("__init__", "__repr__", "__eq__", "__hash__"):
        assert getattr(S, name) is getattr(object, name)
    twin = image(1, 1)
    assert img != twin and img == img
    assert repr(img).startswith("<Vorlanx.simpleImage_ext.SimpleImage object at 0x")


# ---- copy ----------------------------------------------------------------------------------

@pytest.mark.parametrize("width, height", [(2, 1), (3, 4), (0, 0), (5, 0), (-1, -1)])
def test_copy_is_independent(width, height):
    img = image(width, height, bytes(range(abs(width * height) * 3)))
    dup = img.copy()
    assert type(dup) is S and dup is not img
    assert dup.size == img.size
    assert dup._pixels == img._pixels and dup._pixels is not img._pixels
    if dup._pixels:
        dup._pixels[0] ^= 0xFF
        assert dup._pixels != img._pixels


def test_copy_uses_the_current_fields():
    img = image(2, 1)
    img._pixels = bytearray(b"ABCDEF")
    img.width, img.height = 1, 2
    dup = img.copy()
    assert dup.size == (1, 2) and dup._pixels == b"ABCDEF"


def test_copy_of_cleared_image():
    img = image(1, 1)
    img._pixels = None
    with pytest.raises(TypeError) as info:
        img.copy()
    assert str(info.value) == "'NoneType' object is not subscriptable"
    assert_entry(info.value, "SimpleImage.copy")


@pytest.mark.parametrize("change", [
    lambda img: setattr(img, "width", 5),
    lambda img: setattr(img, "height", 0),
    lambda img: setattr(img, "_pixels", bytearray(5)),
])
def test_copy_of_disagreeing_fields(change):
    img = image(2, 1)
    change(img)
    with pytest.raises(ValueError) as info:
        img.copy()
    assert str(info.value) == LENGTH_MISMATCH
    assert entry_names(info.value) == ["Vorlanx.simpleImage_ext.SimpleImage.copy",
                                       "Vorlanx.simpleImage_ext.SimpleImage.__cinit__"]


# ---- pickling refusal ----------------------------------------------------------------------

@pytest.mark.parametrize("action", [
    *[(lambda img, p=p: pickle.dumps(img, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    copy.copy,
    copy.deepcopy,
    lambda img: copy.deepcopy([img]),
    lambda img: img.__reduce__(),
    lambda img: img.__reduce_ex__(4),
    lambda img: img.__setstate__(None),
    lambda img: img.__setstate__((1, 1, b"abc")),
], ids=[f"pickle-{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)] +
       ["copy", "deepcopy", "deepcopy-nested", "__reduce__", "__reduce_ex__", "__setstate__", "__setstate__-state"])
@pytest.mark.parametrize("make", [lambda: image(1, 1), lambda: Sub(1, 1, b"abc")], ids=["plain", "subclass"])
def test_pickling_is_refused(make, action):
    img = make()
    with pytest.raises(TypeError) as info:
        action(img)
    assert str(info.value) == REFUSAL
    assert img.size == (1, 1) and len(img._pixels) == 3  # __setstate__ changed nothing


# ---- subclassing ---------------------------------------------------------------------------

class Sub(S):
    created = 0

    def __init__(self, *args):
        type(self).created += 1

    def brightest(self):
        return max(self._pixels)


def test_subclass_instances_work():
    img = Sub(2, 1, b"\x01\x02\x03\x04\x05\x09")
    assert isinstance(img, S) and type(img) is Sub
    assert img.size == (2, 1) and img.getPixel((1, 0)) == (4, 5, 9)
    img.putPixel((0, 0), (200, 0, 0))
    assert img.brightest() == 200
    img.tag = "extra"  # a Python subclass gets an instance dict
    assert img.__dict__ == {"tag": "extra"}
    assert weakref.ref(img)() is img
    assert gc.is_tracked(img)


def test_subclass_construction_passes_the_same_arguments():
    with pytest.raises(TypeError) as info:
        Sub(1, 1, b"abc", "extra")
    assert str(info.value) == "__cinit__() takes exactly 3 positional arguments (4 given)"


def test_copy_of_subclass_is_plain():
    img = Sub(1, 1, b"abc")
    before = Sub.created
    dup = img.copy()
    assert type(dup) is S
    assert Sub.created == before
    assert dup._pixels == b"abc"


def test_subclass_cycles_are_collected():
    img = Sub(1, 1, b"abc")
    img.me = img
    gone = []
    weakref.finalize(img, gone.append, True)
    del img
    gc.collect()
    assert gone == [True]
