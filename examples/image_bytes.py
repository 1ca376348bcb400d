"""Images as bytes: PNG and BMP files made in memory (for a web response, an object store, a
queue), and decoded from bytes again."""

from pathlib import Path

from Vorlanx.simpleImage_ext import SimpleImage
from Vorlanx.simpleImage_tools import encode_bmp, encode_png

HERE = Path(__file__).resolve().parent


def main() -> None:
    img = SimpleImage.open(HERE / "data" / "kodim23.png")
    png: bytes = encode_png(img)      # exactly what img.save(path) would write
    bmp: bytes = encode_bmp(img)      # exactly what img.saveBmp(path) would write
    print(f"PNG {len(png)} bytes, BMP {len(bmp)} bytes")

    again = SimpleImage.open(png)     # bytes are always content, never a file name
    print("decoded from PNG bytes:", again.size, "identical:", again._pixels == img._pixels)


if __name__ == "__main__":
    main()
