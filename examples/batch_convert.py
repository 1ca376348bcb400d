"""Many files: convert a folder in parallel, then apply an edit of your own to every image.

The edit must be a module-level function: worker processes find it by its name.
"""

import tempfile
from pathlib import Path

from Vorlanx.simpleImage_ext import SimpleImage
from Vorlanx.simpleImage_tools import convert, process, to_array

HERE = Path(__file__).resolve().parent


def negative(img: SimpleImage) -> SimpleImage:
    """Runs in a worker process, once per file."""
    pixels = to_array(img)
    pixels[...] = 255 - pixels
    return img


def main() -> None:
    with tempfile.TemporaryDirectory() as out:
        report = convert([HERE / "data"], out, to="bmp")
        print("convert:", report.summary())

        report = process([HERE / "data"], Path(out) / "negative", negative, to="png", jobs=2)
        print("process:", report.summary())
        for failure in report.failures:
            print("failed:", failure.source, failure.message)
        print("outputs:", sorted(p.name for p in Path(out).rglob("*.*")))


if __name__ == "__main__":
    main()
