"""Whole-image edits through numpy: a zero-copy view of an image, and images made from arrays."""

from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from Vorlanx.simpleImage_ext import SimpleImage
from Vorlanx.simpleImage_tools import from_array, to_array

HERE = Path(__file__).resolve().parent


class Tagged(SimpleImage):
    """An image with a label: subclasses come back from open and from_array as themselves."""

    label = "untagged"


def main() -> None:
    img = SimpleImage.open(HERE / "data" / "kodim23.png")

    # A (height, width, 3) uint8 view of the image's own buffer: writes change the image.
    pixels: NDArray[np.uint8] = to_array(img)
    before = img.getPixel((0, 0))
    pixels[..., 2] //= 2                       # halve the blue channel, in place
    print("pixel (0, 0):", before, "->", img.getPixel((0, 0)))

    # New images from arrays of any layout: one copy, straight into the new image.
    grey = pixels.mean(axis=2, dtype=np.float32).astype(np.uint8)
    grey_img = from_array(np.repeat(grey[..., np.newaxis], 3, axis=2))
    thumbnail = from_array(pixels[::4, ::4])   # a strided view: no intermediate copy
    height, width = grey.shape
    alpha = np.full((height, width, 1), 255, np.uint8)
    from_rgba = from_array(np.concatenate([pixels, alpha], axis=2))   # alpha is dropped
    print("grey", grey_img.size, "thumbnail", thumbnail.size, "from RGBA", from_rgba.size,
          "same pixels as the edited image:", from_rgba._pixels == img._pixels)

    tagged: Tagged = Tagged.open(HERE / "data" / "kodim23.png")
    tagged.label = "original"
    edited: Tagged = from_array(255 - to_array(tagged), Tagged)
    edited.label = "negative"
    print(type(tagged).__name__, tagged.label, "and", type(edited).__name__, edited.label)


if __name__ == "__main__":
    main()
