"""Fuzz target: SimpleImage.open on arbitrary bytes (and the same bytes as a bytearray).

    python fuzz/fuzz_open.py [libFuzzer flags] [corpus dirs]
"""
import sys

import atheris

with atheris.instrument_imports():
    from common import SimpleImage, check_image, guarded, slow_under_asan


def test_one_input(data: bytes) -> None:
    if slow_under_asan(data):
        return
    image = guarded(lambda: SimpleImage.open(data), data)
    if image is not None:
        check_image(image, data)
    # The bytearray branch must decide exactly as the bytes branch did.
    again = guarded(lambda: SimpleImage.open(bytearray(data)), data)
    assert (again is None) == (image is None)
    if image is not None:
        assert (again.width, again.height, again._pixels) == (image.width, image.height, image._pixels)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
