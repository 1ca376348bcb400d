"""SimpleImage and numpy: a zero-copy view of the pixels, and images from arrays in one copy."""

from __future__ import annotations

from typing import TYPE_CHECKING, TypeVar, overload

from ..simpleImage_ext import SimpleImage
from ._optional import require

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import ArrayLike, NDArray

_Image = TypeVar("_Image", bound=SimpleImage)


def to_array(img: SimpleImage) -> NDArray[np.uint8]:
    """A (height, width, 3) uint8 view of the image's pixels: no copy, and writes go through.

    Raises ValueError when ``_pixels`` is None or its length is not width * height * 3 (the
    fields can be reassigned independently). While the view exists the buffer cannot be
    resized; replacing ``_pixels`` detaches the image from the view.
    """
    require("numpy", "to_array")
    import numpy as np

    width, height, pixels = img.width, img.height, img._pixels
    if pixels is None:
        raise ValueError("the image has no pixel buffer (_pixels is None)")
    if width < 0 or height < 0 or len(pixels) != width * height * 3:
        raise ValueError(f"the pixel buffer holds {len(pixels)} bytes, not the width * height * 3 "
                         f"of a {width} x {height} image")
    return np.frombuffer(pixels, np.uint8).reshape(height, width, 3)


@overload
def from_array(a: ArrayLike) -> SimpleImage: ...
@overload
def from_array(a: ArrayLike, cls: type[_Image]) -> _Image: ...


def from_array(a: ArrayLike, cls: type[SimpleImage] = SimpleImage) -> SimpleImage:
    """A new image (of class ``cls``) from a (height, width, 3) or (height, width, 4) uint8 array.

    Alpha is dropped without blending. Any strides are accepted; the pixels are copied exactly
    once, straight into the image's new buffer. Raises TypeError for another dtype and
    ValueError for another shape.
    """
    require("numpy", "from_array")
    import numpy as np

    array = np.asarray(a)
    if array.dtype != np.uint8:
        raise TypeError(f"expected a uint8 array, got {array.dtype}")
    if array.ndim != 3 or array.shape[2] not in (3, 4):
        raise ValueError(f"expected an array of shape (height, width, 3) or (height, width, 4), got {array.shape}")
    height, width = array.shape[:2]
    if array.shape[2] == 3 and array.flags.c_contiguous:
        pixels = bytearray(array)
    else:
        pixels = bytearray(height * width * 3)
        if pixels:
            np.frombuffer(pixels, np.uint8).reshape(height, width, 3)[...] = array[..., :3]
    # The constructor copies its argument, so an empty image is made and given the buffer.
    img = cls(0, 0, b"")
    img.width, img.height, img._pixels = width, height, pixels
    return img
