"""What every fuzz target shares: the exception kinds a caller may see from the module, the
check that a decoded image is consistent, and a guard that turns anything else into a crash
the fuzzer records."""
import io
import os
import re
import struct
import tempfile
import zlib

from Vorlanx import simpleImage_ext as ext

SimpleImage = ext.SimpleImage

# What decoding in-memory bytes may raise: refusals of malformed data.
DATA_ERRORS = (ValueError, OverflowError, struct.error, zlib.error)
# Through a caller's stream also: wrong types handed back by its read, and an operation it lacks
# (io.UnsupportedOperation is both an OSError and a ValueError).
STREAM_ERRORS = DATA_ERRORS + (TypeError, io.UnsupportedOperation, AttributeError)

# Every ValueError the decoders raise on malformed bytes, word for word; the filter message ends
# in the filter byte.
REFUSALS = frozenset({
    "Unsupported image format",
    "Unsupported PNG signature",
    "Unexpected EOF while reading chunk length",
    "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data",
    "Unexpected EOF while reading chunk CRC",
    "Corrupted PNG chunk detected",
    "Incomplete PNG header information",
    "Only 8-bit PNG images are supported",
    "Only RGB/RGBA PNG images are supported",
    "Unsupported PNG configuration (compression/filter/interlace)",
    "Malformed PNG image data",
    "PNG image too large",
    "Unsupported BMP header",
    "Corrupted BMP DIB header",
    "Only BITMAPINFOHEADER BMP files are supported",
    "Only uncompressed 24-bit BMP files are supported",
    "Incomplete BMP pixel data",
    "negative count",  # bytearray() of a negative BMP width
})
FILTER_REFUSAL = re.compile(r"Unsupported PNG filter: ([0-9]+)")

# Largest buffer the module may legitimately allocate for one image.
MAX_IMAGE_BYTES = 2**31 - 1


class StreamFault(Exception):
    """Raised by the fuzzers' own streams; it must reach the caller unchanged."""


def physical_memory():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        return 1 << 62


# Under AddressSanitizer, freeing a buffer of n bytes writes n / 8 bytes of shadow memory: a
# header claiming a gigabyte costs a quarter of a second per run although the decoder touches
# only the pages the data fills. Inputs claiming between this and the legal maximum are
# skipped so the fuzzer spends its time elsewhere; claims beyond the maximum still run, since
# they must be refused before any allocation. (Large legal claims are covered by the unit tests.)
SLOW_CLAIM = 64 << 20


def declared_pixel_bytes(data):
    """The largest pixel-buffer size a header in `data` claims (0 when none is recognisable)."""
    claims = [0]
    if data[:8] == ext.PNG_SIGNATURE:
        pos = data.find(b"IHDR")
        while 0 <= pos <= len(data) - 12:
            width, height = struct.unpack(">II", data[pos + 4:pos + 12])
            claims.append(height * (width * 3 + 1))
            pos = data.find(b"IHDR", pos + 1)
    elif data[:2] == b"BM" and len(data) >= 26:
        width, height = struct.unpack("<ii", data[18:26])
        claims.append(abs(width) * abs(height) * 3)
    return max(claims)


def slow_under_asan(data):
    return SLOW_CLAIM < declared_pixel_bytes(data) <= MAX_IMAGE_BYTES


def memory_error_allowed(data):
    # A declared image that cannot fit in this machine is the only excuse for running out.
    return declared_pixel_bytes(data) > physical_memory() // 2


def check_image(image, data=None):
    """A decoded image must hold exactly width * height * 3 bytes, within the legal size, and
    survive a round trip through both writers."""
    assert isinstance(image, SimpleImage), type(image)
    width, height, pixels = image.width, image.height, image._pixels
    assert type(pixels) is bytearray
    assert height >= 0, height
    assert len(pixels) == width * height * 3 or (width < 0 and height == 0 and not pixels), (width, height)
    assert len(pixels) <= MAX_IMAGE_BYTES
    if width <= 0 or height == 0 or width * height > 4096:
        return
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        for save in (image.save, image.saveBmp):
            path = os.path.join(tmp, "round")
            save(path)
            again = SimpleImage.open(path)
            assert (again.width, again.height, again._pixels) == (width, height, pixels), save.__name__


def known_refusal(exc):
    if type(exc) is OverflowError:
        # The second is bytearray()'s own, for a BMP whose negative width times its height
        # does not even fit an index.
        return str(exc) in ("value too large to convert to int", "cannot fit 'int' into an index-sized integer")
    if type(exc) is not ValueError:
        return True  # struct.error and zlib.error carry their libraries' own words
    m = FILTER_REFUSAL.fullmatch(str(exc))
    return str(exc) in REFUSALS or (m is not None and 5 <= int(m.group(1)) <= 255)


def guarded(call, data, allowed=DATA_ERRORS, exact_messages=True):
    """Runs `call()`; a refusal of one of the `allowed` kinds (with a known message when
    `exact_messages`) is a normal outcome, anything else propagates and the fuzzer reports it
    with its input."""
    try:
        return call()
    except allowed as exc:
        if exact_messages and not known_refusal(exc):
            raise AssertionError(f"undocumented refusal {type(exc).__name__}: {exc}") from exc
        return None
    except MemoryError:
        if memory_error_allowed(data):
            return None
        raise
