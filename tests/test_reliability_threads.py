"""Another thread (or the caller's own callback) changing an image while the module works on
it: replacing or resizing `_pixels`, rewriting its bytes, closing the stream a decoder reads.
Nothing may crash; every outcome is a correct result, a BufferError in the thread that tried
to resize an exported buffer, or one of the documented exceptions."""
import io
import os
import random
import sys
import threading
import time

import pytest

import Vorlanx.simpleImage_ext as ext
from test_reliability_support import bmp_bytes, png_bytes

SimpleImage = ext.SimpleImage
W, H = 48, 40
# Two buffers that differ in every byte, so any mixture of them within one pixel shows.
A = bytes(i % 251 for i in range(W * H * 3))
B = bytes((i % 251) + 1 for i in range(W * H * 3))
ROUNDS = 300


@pytest.fixture(autouse=True)
def frequent_switches():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def meddle(img, stop, seed):
    """Until `stop` is set: replace `_pixels` (with A, B, a short buffer or None), rewrite its
    bytes in place, or try to resize it. Returns the kinds of exception it met."""
    rng = random.Random(seed)
    met = set()
    while not stop.is_set():
        action = rng.choice((0, 0, 0, 1, 2, 3, 3, 4, 4, 5))
        try:
            if action == 0:
                img._pixels = bytearray(rng.choice((A, B)))
            elif action == 1:
                img._pixels = bytearray(A[:rng.randrange(len(A))])
            elif action == 2:
                img._pixels = None
            elif action == 3 and img._pixels is not None:
                img._pixels[:] = rng.choice((A, B))
            elif action == 4 and img._pixels is not None and len(img._pixels) == len(A):
                pixels = img._pixels
                pixels.extend(b"\0" * rng.randrange(1, 4096))
                del pixels[len(A):]
            elif action == 5 and img._pixels is not None:
                img._pixels.clear()
        except BufferError:
            met.add(BufferError)
    return met


def run_against_meddler(img, work):
    stop = threading.Event()
    found = {}
    thread = threading.Thread(target=lambda: found.setdefault("met", meddle(img, stop, 5)))
    thread.start()
    outcomes = []
    try:
        for _ in range(ROUNDS):
            outcomes.append(work())
            time.sleep(0)  # let the meddler run between calls as well as during them
    finally:
        stop.set()
        thread.join()
    return outcomes, found["met"]


def pixels_are_a_or_b(pixels):
    assert len(pixels) == len(A)
    for i in range(0, len(A), 3):
        assert pixels[i:i + 3] in (A[i:i + 3], B[i:i + 3]), f"pixel {i // 3} torn"


SHORT = "Pixel data length does not match image dimensions"


def outcome(call, check):
    try:
        result = call()
    except ValueError as exc:
        assert str(exc) == SHORT
        return "short"
    except TypeError as exc:
        return "none"  # _pixels was None: the byte-array conversion refuses it
    except IndexError:
        return "index"  # putPixel storing into a buffer shrunk under it
    assert check(result) is not False
    return "ok"


@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_saving_while_pixels_change(tmp_path, method):
    img = SimpleImage(W, H, A)
    path = str(tmp_path / "out")

    def work():
        def written(_):
            back = SimpleImage.open(path)
            assert (back.width, back.height) == (W, H)
            pixels_are_a_or_b(back._pixels)
        return outcome(lambda: getattr(img, method)(path), written)

    outcomes, _ = run_against_meddler(img, work)
    assert "ok" in outcomes and set(outcomes) <= {"ok", "short", "none"}


def test_copy_while_pixels_change():
    img = SimpleImage(W, H, A)

    def work():
        return outcome(img.copy, lambda c: pixels_are_a_or_b(c._pixels))

    outcomes, _ = run_against_meddler(img, work)
    assert "ok" in outcomes and set(outcomes) <= {"ok", "short", "none"}


def test_put_and_get_pixel_while_pixels_change():
    img = SimpleImage(W, H, A)
    rng = random.Random(9)

    def work():
        x, y = rng.randrange(W), rng.randrange(H)
        first = outcome(lambda: img.putPixel((x, y), (1, 2, 3)), lambda result: result is None)
        second = outcome(lambda: img.getPixel((x, y)), lambda rgb: all(0 <= v < 256 for v in rgb))
        return first if first != "ok" else second

    outcomes, _ = run_against_meddler(img, work)
    assert "ok" in outcomes and set(outcomes) <= {"ok", "none", "index"}


@pytest.mark.parametrize("action", ["shrink", "none", "grow", "replace"])
def test_callbacks_of_putpixel_that_change_the_image(action):
    """The value's own __int__ replaces or resizes the buffer between the coordinate check and
    the store: the store must notice, not write into freed or foreign memory."""
    img = SimpleImage(W, H, A)
    original = img._pixels

    class Sly:
        def __int__(self):
            if action == "shrink":
                img._pixels.clear()
            elif action == "none":
                img._pixels = None
            elif action == "grow":
                img._pixels.extend(bytes(len(A)))
            else:
                img._pixels = bytearray(B)
            return 200

    try:
        img.putPixel((W - 1, H - 1), (Sly(), Sly(), Sly()))
    except (IndexError, TypeError):
        assert action in ("shrink", "none")
        return
    assert action in ("grow", "replace")
    end = (W * H - 1) * 3
    # Each component is converted, then stored into the buffer the image holds at that moment.
    if action == "grow":
        assert img._pixels is original and img._pixels[end:end + 3] == bytes([200, 200, 200])
    else:
        assert original == A and img._pixels[end:end + 3] == B[end:end + 2] + bytes([200])


@pytest.mark.parametrize("kind", ["png", "bmp"])
def test_closing_the_file_a_decoder_reads(tmp_path, kind):
    data = png_bytes(256, 256, filter_type=2) if kind == "png" else bmp_bytes(256, 256)
    path = tmp_path / ("in." + kind)
    path.write_bytes(data)
    want = SimpleImage.open(data)._pixels
    results = {"ok": 0, "closed": 0}
    for round_ in range(60):
        with open(path, "rb", buffering=0 if round_ % 2 else -1) as f:
            closer = threading.Timer(random.Random(round_).random() * 0.002, f.close)
            closer.start()
            try:
                _, _, pixels = SimpleImage._streamToImage(f)
                assert pixels == want
                results["ok"] += 1
            except (ValueError, OSError):
                # The file's own refusal ("closed file", a bad descriptor, or the interpreter's
                # buffered reader losing its buffer mid-read), or a short read the decoder saw.
                results["closed"] += 1
            finally:
                closer.join()
    assert results["ok"] + results["closed"] == 60


def test_stream_closed_by_its_own_read():
    """A stream whose read closes it half way: the next read's error reaches the caller."""
    class Closing(io.BytesIO):
        calls = 0

        def read(self, n=-1):
            Closing.calls += 1
            if Closing.calls == 4:
                self.close()
            return super().read(n)

    for data in (png_bytes(8, 8), bmp_bytes(8, 8)):
        Closing.calls = 0
        with pytest.raises(ValueError, match="closed file"):
            SimpleImage._streamToImage(Closing(data))


def test_many_threads_decoding_and_encoding_at_once(tmp_path):
    png, bmp = png_bytes(64, 64, color_type=6, filter_type=4), bmp_bytes(61, -64)
    want = {d: SimpleImage.open(d)._pixels for d in (png, bmp)}
    errors = []

    def worker(n):
        try:
            for i in range(40):
                data = (png, bmp)[(n + i) % 2]
                img = SimpleImage.open(data)
                assert img._pixels == want[data]
                out = os.path.join(tmp_path, f"{n}")
                (img.save if i % 2 else img.saveBmp)(out)
                assert SimpleImage.open(out)._pixels == want[data]
        except Exception as exc:  # reported below, with the thread's number
            errors.append((n, exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
