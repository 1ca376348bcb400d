"""simpleImage_tools: numpy views and arrays, and the in-memory encoders against save/saveBmp."""
import os
import threading
import tracemalloc

import numpy as np
import pytest

import Vorlanx.simpleImage_ext as ext
from Vorlanx.simpleImage_tools import encode_bmp, encode_png, from_array, to_array

S = ext.SimpleImage
LENGTH_MISMATCH = "Pixel data length does not match image dimensions"
DATA = os.path.join(os.path.dirname(__file__), "data", "png")


class Sub(S):
    pass


def rgb(h, w, channels=3, seed=1):
    return np.random.default_rng(seed).integers(0, 256, (h, w, channels), dtype=np.uint8)


# ---- numpy ---------------------------------------------------------------------------------

@pytest.mark.parametrize("array, cls", [
    (rgb(5, 7), S),
    (rgb(9, 14)[::2, ::2], S),                          # strided
    (rgb(7, 5).transpose(1, 0, 2), S),                  # transposed: no dimension contiguous
    (rgb(6, 4)[::-1], Sub),                             # negative strides, a subclass
    (rgb(5, 7, 4), S),                                  # RGBA: alpha dropped
    (rgb(8, 8, 4)[1:, ::3], S),
    (np.zeros((0, 4, 3), np.uint8), S),
])
def test_from_array(array, cls):
    img = from_array(array, cls)
    h, w = array.shape[:2]
    assert type(img) is cls and img.size == (w, h) and type(img._pixels) is bytearray
    assert img._pixels == bytes(np.ascontiguousarray(array[..., :3]))
    if h and w:
        assert img.getPixel((w - 1, h - 1)) == tuple(array[h - 1, w - 1, :3].tolist())
    assert np.array_equal(to_array(img), array[..., :3])


@pytest.mark.parametrize("array, kind, message", [
    (rgb(2, 2).astype(np.uint16), TypeError, "got uint16"),
    (rgb(2, 2).astype(np.float32), TypeError, "got float32"),
    # nested lists become numpy's default integers: int64, or int32 on a 32-bit interpreter
    (rgb(2, 2).tolist(), TypeError, f"expected a uint8 array, got {np.dtype(int)}"),
    (rgb(2, 2)[..., 0], ValueError, r"got \(2, 2\)"),
    (rgb(2, 2, 2), ValueError, r"got \(2, 2, 2\)"),
    (rgb(2, 2)[..., None], ValueError, r"got \(2, 2, 3, 1\)"),
])
def test_from_array_refusals(array, kind, message):
    with pytest.raises(kind, match=message):
        from_array(array)


@pytest.mark.parametrize("array", [rgb(300, 400), rgb(600, 400)[::2], rgb(300, 400, 4)])
def test_from_array_copies_once(array):
    tracemalloc.start()
    try:
        img = from_array(array)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert len(img._pixels) <= peak < 1.1 * len(img._pixels)


def test_to_array_is_a_view_that_writes_through():
    img = S(3, 2, bytes(range(18)))
    view = to_array(img)
    assert view.shape == (2, 3, 3) and view.dtype == np.uint8 and view.flags.writeable
    view[1, 2] = (7, 8, 9)
    view[0, :, 0] = 255
    assert img.getPixel((2, 1)) == (7, 8, 9) and img.getPixel((1, 0))[0] == 255
    img.putPixel((0, 1), (1, 2, 3))
    assert tuple(view[1, 0]) == (1, 2, 3)


@pytest.mark.parametrize("fields, message", [
    ({"_pixels": None}, "_pixels is None"),
    ({"width": 4}, "holds 18 bytes, not the width \\* height \\* 3 of a 4 x 2 image"),
    ({"_pixels": bytearray(17)}, "holds 17 bytes"),
    ({"width": -1, "height": 0, "_pixels": bytearray()}, "of a -1 x 0 image"),
])
def test_to_array_refuses_fields_that_disagree(fields, message):
    img = S(3, 2, bytes(18))
    for name, value in fields.items():
        setattr(img, name, value)
    with pytest.raises(ValueError, match=message):
        to_array(img)


# ---- bytes ---------------------------------------------------------------------------------

ENCODERS = [(encode_png, "save"), (encode_bmp, "saveBmp")]


def saved(tmp_path, img, method):
    path = str(tmp_path / "saved")
    getattr(img, method)(path)
    with open(path, "rb") as f:
        return f.read()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def seeking_writer(path, width, height, pixels):
    """A user's writer that writes its tail first: what save makes of it is the reference."""
    with open(path, "wb") as f:
        f.seek(8)
        f.write(bytes(pixels)[:6] + b"tail")
        f.seek(0)
        f.write(b"%4d%4d" % (width, height))


@pytest.mark.parametrize("encode, method", ENCODERS)
@pytest.mark.parametrize("setting", ["module writers", "rebound writers", "no memfd_create"])
def test_encoders_write_what_save_writes(tmp_path, monkeypatch, encode, method, setting):
    if setting == "rebound writers":
        monkeypatch.setattr(ext, "_writePng", seeking_writer)
        monkeypatch.setattr(ext, "_writeBmp", seeking_writer)
    elif setting == "no memfd_create":
        monkeypatch.delattr(os, "memfd_create")
    photo = S.open(os.path.join(DATA, "kodim23.png"))
    # Large, then smaller on the same thread: an earlier image's bytes must not trail a later one.
    for img in (photo, S(5, 3, bytes(range(45))), S(0, 0, b""), Sub(1, 1, b"abc")):
        data = encode(img)
        assert type(data) is bytes and data == saved(tmp_path, img, method)
    if setting != "rebound writers":
        assert S.open(data)._pixels == b"abc"


@pytest.mark.parametrize("encode, method", ENCODERS)
def test_encoders_refuse_as_save_does_and_leak_nothing(tmp_path, encode, method):
    img = S(2, 2, bytes(12))
    img._pixels = bytearray(11)
    before = open_descriptors()
    for call in (lambda: encode(img), lambda: getattr(img, method)(str(tmp_path / "x"))):
        with pytest.raises(ValueError, match=LENGTH_MISMATCH):
            call()
    img._pixels = None
    with pytest.raises(TypeError):
        encode(img)
    assert open_descriptors() == before
    assert not os.path.exists(tmp_path / "x")


def test_encoders_on_threads_and_from_inside_a_writer(tmp_path, monkeypatch):
    images = [S(w, 3, bytes(range(w * 9))) for w in (1, 2, 3, 4)]
    expected = [saved(tmp_path, img, "save") for img in images]
    got = {}

    def work(i):
        for _ in range(50):
            got[i] = encode_png(images[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [got[i] for i in range(len(images))] == expected

    # A zlib that itself encodes (on the same thread, in the middle of an encode).
    class Nested:
        def __getattr__(self, name):
            return getattr(ext_zlib, name)

        def compress(self, data, *args):
            inner.append(encode_bmp(images[3]))
            return ext_zlib.compress(data, *args)

    ext_zlib, inner = ext.zlib, []
    monkeypatch.setattr(ext, "zlib", Nested())
    assert encode_png(images[2]) == expected[2]
    assert inner == [saved(tmp_path, images[3], "saveBmp")]
