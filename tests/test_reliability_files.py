"""Real malformed files written by other programs (corrupt PngSuite members, broken BMPs from
public test suites) and inputs the fuzzers found: each is refused with its exact message, by
every way in (bytes, bytearray, path), and refused again the same way when opened twice."""
from pathlib import Path

import pytest

import Vorlanx.simpleImage_ext as ext

DATA = Path(__file__).parent / "data" / "reliability"

# file -> (exception, message, why)
MALFORMED = {
    # The first eight bytes differ from the PNG signature and do not start with "BM".
    "png/xs1n0g01.png": (ValueError, "Unsupported image format", "signature byte 1 is 0x09"),
    "png/xs2n0g01.png": (ValueError, "Unsupported image format", "signature byte 2 is 'Q'"),
    "png/xs4n0g01.png": (ValueError, "Unsupported image format", "signature byte 4 is 'g'"),
    "png/xs7n0g01.png": (ValueError, "Unsupported image format", "signature byte 7 is a space"),
    "png/xcrn0g04.png": (ValueError, "Unsupported image format", "line ends turned into CR"),
    "png/xlfn0g04.png": (ValueError, "Unsupported image format", "line ends turned into LF"),
    # Chunk framing: the CRC is checked on every chunk, wanted or not.
    "png/xhdn0g08.png": (ValueError, "Corrupted PNG chunk detected", "IHDR with a wrong CRC"),
    "png/xcsn0g01.png": (ValueError, "Corrupted PNG chunk detected", "IDAT with a wrong CRC"),
    # Header checks, in order: bit depth before colour type.
    "png/xd0n2c08.png": (ValueError, "Only 8-bit PNG images are supported", "bit depth 0"),
    "png/xd3n2c08.png": (ValueError, "Only 8-bit PNG images are supported", "bit depth 3"),
    "png/xd9n2c08.png": (ValueError, "Only 8-bit PNG images are supported", "bit depth 99"),
    "png/xdtn0g01.png": (ValueError, "Only 8-bit PNG images are supported",
                         "no IDAT, but a 1-bit header is refused first"),
    "png/xc1n0g08.png": (ValueError, "Only RGB/RGBA PNG images are supported", "colour type 1"),
    "png/xc9n2c08.png": (ValueError, "Only RGB/RGBA PNG images are supported", "colour type 9"),
    # BMP: the first failing check, in the order header size, then planes/bits/compression.
    "bmp/V5_A8_R8_G8_B8_Rgb_BadMask.bmp": (ValueError, "Only BITMAPINFOHEADER BMP files are supported",
                                           "124-byte header"),
    "bmp/Bad_badbitcount.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "30000 bits"),
    "bmp/Bad_clrsUsed.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "8 bits"),
    "bmp/Bad_height.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported",
                           "8 bits, before the height of 2**31 - 1 is looked at"),
    "bmp/Bad_width.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported",
                          "8 bits, before the width of 2**31 - 1 is looked at"),
    "bmp/Bad_shortfile.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "1 bit"),
    "bmp/Bad_unusual_extend_buffer_usage.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported",
                                                "4 bits, RLE4"),
    "bmp/badpalettesize.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "8 bits"),
    "bmp/badplanes.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "30000 planes"),
    "bmp/badrle.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "RLE8"),
    "bmp/pal8oversizepal.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "8 bits"),
    "bmp/rgb16-880.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "16-bit bit fields"),
    "bmp/rle_overflow.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "RLE8"),
    "bmp/rletopdown.bmp": (ValueError, "Only uncompressed 24-bit BMP files are supported", "RLE8, top-down"),
    # A valid 24-bit header claiming 3000000 x 2000000 over 24 KiB: the first row is short.
    "bmp/Bad_reallybig.bmp": (ValueError, "Incomplete BMP pixel data", "declares 18 TB of pixels"),
    # Found by the fuzzers: a negative width whose product with the height does not fit an
    # index; the buffer's creation refuses it, as it refuses any negative size.
    "crashes/bmp-negative-width-huge-height.bmp": (OverflowError, "cannot fit 'int' into an index-sized integer",
                                                    "width -2113929217, height 2046820400"),
}


def test_every_kept_file_is_in_the_table():
    kept = {str(p.relative_to(DATA)) for p in DATA.rglob("*") if p.suffix in (".png", ".bmp")}
    assert kept == set(MALFORMED)


@pytest.mark.parametrize("name", sorted(MALFORMED))
@pytest.mark.parametrize("via", ["bytes", "bytearray", "path", "Path"])
def test_malformed_file_is_refused(name, via):
    kind, message, _ = MALFORMED[name]
    path = DATA / name
    source = {"bytes": path.read_bytes, "bytearray": lambda: bytearray(path.read_bytes()),
              "path": lambda: str(path), "Path": lambda: path}[via]()
    for _ in range(2):
        with pytest.raises(kind) as info:
            ext.SimpleImage.open(source)
        assert type(info.value) is kind and str(info.value) == message
