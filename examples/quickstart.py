"""A first tour: open a PNG, read and edit pixels, copy, save as PNG and BMP, read back."""

from pathlib import Path
import tempfile

from Vorlanx.simpleImage_ext import SimpleImage

HERE = Path(__file__).resolve().parent


def main() -> None:
    # Build an image from raw RGB bytes: 2 x 1 pixels, red then blue.
    tiny = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]))
    print("built", tiny.size, "pixels", tiny.getPixel((0, 0)), tiny.getPixel((1, 0)))

    # Open a real photograph (a path, a Path, or the file's bytes all work).
    photo = SimpleImage.open(HERE / "data" / "kodim23.png")
    width, height = photo.size
    print(f"opened kodim23.png: {width} x {height}, centre pixel {photo.getPixel((width // 2, height // 2))}")

    # Edit: draw a white frame 4 pixels wide on a copy; the original is untouched.
    framed = photo.copy()
    for x in range(width):
        for y in (*range(4), *range(height - 4, height)):
            framed.putPixel((x, y), (255, 255, 255))
    for y in range(height):
        for x in (*range(4), *range(width - 4, width)):
            framed.putPixel((x, y), (255, 255, 255))
    print("framed corner", framed.getPixel((0, 0)), "original corner", photo.getPixel((0, 0)))

    with tempfile.TemporaryDirectory() as out:
        png_path = str(Path(out) / "framed.png")
        bmp_path = str(Path(out) / "framed.bmp")
        framed.save(png_path)
        framed.saveBmp(bmp_path)
        again_png = SimpleImage.open(png_path)
        again_bmp = SimpleImage.open(Path(bmp_path).read_bytes())
        same = again_png._pixels == framed._pixels == again_bmp._pixels
        print(f"saved PNG ({Path(png_path).stat().st_size} bytes) and BMP ({Path(bmp_path).stat().st_size} bytes);",
              "both read back identical:", same)


if __name__ == "__main__":
    main()
