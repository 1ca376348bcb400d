"""BMP decode and encode speed on a 3840 x 2160 image, against a plain copy of the same number
of bytes and, when installed, Pillow and OpenCV. Run by hand:

    PYTHONPATH=build/dev python3 bench/bench_bmp.py [--repeat N]

Times are the best of N runs. Decoding reads from memory (a BytesIO over the file's bytes);
encoding writes to a file in a temporary directory (--dir to choose, e.g. /dev/shm), so its
time includes the kernel's work for the file, shown on its own as the I/O floor row.
"""
import argparse
import io
import os
import random
import tempfile
import time

from Vorlanx import simpleImage_ext as ext

SimpleImage = ext.SimpleImage
WIDTH, HEIGHT = 3840, 2160


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--dir", default=None)
    options = parser.parse_args()
    repeat = options.repeat

    n = WIDTH * HEIGHT * 3
    rng = random.Random(1)
    pixels = bytearray(rng.randbytes(n))
    tmp = tempfile.mkdtemp(dir=options.dir)
    path = os.path.join(tmp, "ours.bmp")
    ext._writeBmp(path, WIDTH, HEIGHT, pixels)
    with open(path, "rb") as f:
        data = f.read()

    rows = []
    floor = best(lambda: bytes(bytearray(n)), repeat)
    rows.append(("copy floor: bytes(bytearray(n))", floor, floor))
    rows.append(("decode: _streamToImage(BytesIO)", best(lambda: SimpleImage._streamToImage(io.BytesIO(data)), repeat),
                 None))
    rows.append(("decode: SimpleImage.open(bytes)", best(lambda: SimpleImage.open(data), repeat), None))
    def raw_write():
        with open(os.path.join(tmp, "raw.bin"), "wb") as f:
            f.write(data)
    rows.append(("I/O floor: one write of the file's bytes", best(raw_write, repeat), None))
    rows.append(("encode: _writeBmp(path)", best(lambda: ext._writeBmp(path, WIDTH, HEIGHT, pixels), repeat), None))

    try:
        from PIL import Image
    except ImportError:
        Image = None
    if Image is not None:
        def pil_decode():
            with Image.open(io.BytesIO(data)) as im:
                im.load()
        im = Image.frombytes("RGB", (WIDTH, HEIGHT), bytes(pixels))
        rows.append(("Pillow decode", best(pil_decode, repeat), None))
        rows.append(("Pillow encode", best(lambda: im.save(os.path.join(tmp, "pil.bmp"), format="BMP"), repeat),
                     None))
    try:
        import cv2
        import numpy as np
    except ImportError:
        cv2 = None
    if cv2 is not None:
        buf = np.frombuffer(data, dtype=np.uint8)
        arr = np.frombuffer(bytes(pixels), dtype=np.uint8).reshape(HEIGHT, WIDTH, 3)
        rows.append(("OpenCV decode (BGR, no swap)", best(lambda: cv2.imdecode(buf, cv2.IMREAD_COLOR), repeat), None))
        rows.append(("OpenCV encode (BGR, no swap)", best(lambda: cv2.imwrite(os.path.join(tmp, "cv.bmp"), arr), repeat),
                     None))

    print(f"{WIDTH} x {HEIGHT} RGB ({n / 1e6:.1f} MB), best of {repeat}")
    print(f"{'operation':40s} {'ms':>8s} {'x floor':>8s}")
    for name, t, _ in rows:
        print(f"{name:40s} {t * 1e3:8.2f} {t / floor:8.2f}")
    for f in os.listdir(tmp):
        os.remove(os.path.join(tmp, f))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
