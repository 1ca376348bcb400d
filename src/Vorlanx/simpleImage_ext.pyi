"""An 8-bit RGB image class with PNG and BMP codecs, as one native extension.

The runtime objects carry no docstrings; these stubs are what editors and type checkers show.
"""

import struct as struct
import zlib as zlib
from io import BytesIO as BytesIO
from pathlib import Path as Path
from typing import Any, BinaryIO, List as List, Self, Sequence as Sequence, Tuple as Tuple, Union as Union

PNG_SIGNATURE: bytes
"""The 8-byte PNG file signature: 89 50 4E 47 0D 0A 1A 0A."""

ImageInput = Union[str, Path, bytes, bytearray]
"""What SimpleImage.open accepts: a file path (str or Path) or a file's raw bytes."""

__test__: dict[str, Any]

class SimpleImage:
    """Minimal RGB image helper.

    Pixels live in ``_pixels``, one bytearray of width * height * 3 bytes: R, G, B for each
    pixel, rows from the top, no padding.
    """

    width: int
    """Pixels per row (a signed 32-bit integer; assignment converts through ``__int__``)."""
    height: int
    """Number of rows (a signed 32-bit integer; assignment converts through ``__int__``)."""
    _pixels: bytearray | None
    """The live pixel buffer (not a copy). Only an exact bytearray or None may be assigned."""

    def __new__(cls, width: int, height: int, pixels: Any) -> Self:
        """Build an image from pixel bytes.

        ``pixels`` is anything ``bytearray()`` accepts whose length is width * height * 3;
        the image keeps a fresh copy. Raises ValueError "Pixel data length does not match
        image dimensions" when the length is wrong.
        """

    @property
    def size(self) -> Tuple[int, int]:
        """(width, height), read from the fields now."""

    def getPixel(self, coords: Tuple[int, int]) -> Tuple[int, int, int]:
        """Return (red, green, blue) of the pixel at coords = (x, y).

        Raises ValueError "Pixel coordinate out of bounds" outside 0 <= x < width,
        0 <= y < height. ``coords`` must be exactly a tuple.
        """

    def putPixel(self, coords: Tuple[int, int], value: Sequence[int]) -> None:
        """Set the pixel at coords = (x, y) from any three-item iterable of integer-likes.

        Each component is stored as int(component) & 255, so no value is out of range.
        """

    def copy(self) -> "SimpleImage":
        """Return an independent copy (always a plain SimpleImage, even for a subclass)."""

    def save(self, path: str) -> None:
        """Write the image as an 8-bit RGB PNG file (whatever the file name's extension)."""

    def saveBmp(self, path: str) -> None:
        """Write the image as an uncompressed 24-bit bottom-up BMP file."""

    @classmethod
    def open(cls, source: ImageInput) -> Self:
        """Open a PNG (8-bit RGB/RGBA, alpha dropped) or 24-bit BMP image.

        ``source`` is a path (str or Path) or the file's content (bytes or bytearray); the
        format is recognised by the leading bytes. Calling it on a subclass builds that
        subclass.
        """

    @staticmethod
    def _streamToImage(stream: BinaryIO) -> Tuple[int, int, bytearray]:
        """Decode the image a seekable binary stream holds: (width, height, pixels)."""

    def __reduce__(self) -> Any:
        """Always raises TypeError: images cannot be pickled or copied with ``copy``."""

    def __setstate__(self, state: Any) -> None:
        """Always raises TypeError: images cannot be pickled."""

def _readChunk(stream: BinaryIO) -> Tuple[bytes, bytes]:
    """Read one PNG chunk: (type, data), CRC checked; (b"", b"") at a clean end of data."""

def _makeChunk(chunkType: bytes, data: bytes) -> bytes:
    """Frame one PNG chunk: length, type, data and CRC-32 of type + data."""

def _writePng(path: Any, width: int, height: int, pixels: Any) -> None:
    """Write pixels (RGB, rows from the top) as an 8-bit RGB PNG file at path."""

def _writeBmp(path: Any, width: int, height: int, pixels: Any) -> None:
    """Write pixels (RGB, rows from the top) as a 24-bit bottom-up BMP file at path."""
