"""File-system faults: full devices, directories, missing folders, files that cannot be written,
files that shrink while read, pipes that end early or lose their reader. Each gives the
platform's exception, nothing crashes, and a writer leaves the documented state: a failure
before the file is opened creates or truncates nothing, a failure while writing leaves the
partial file closed and in place."""
import errno
import io
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

import Vorlanx.simpleImage_ext as ext
from test_reliability_support import bmp_bytes, png_bytes

SimpleImage = ext.SimpleImage
IMAGE = SimpleImage(64, 48, bytes(i * 7 % 256 for i in range(64 * 48 * 3)))

WRITERS = {
    "save": lambda path: IMAGE.save(path),
    "saveBmp": lambda path: IMAGE.saveBmp(path),
    "_writePng": lambda path: ext._writePng(path, 64, 48, IMAGE._pixels),
    "_writeBmp": lambda path: ext._writeBmp(path, 64, 48, IMAGE._pixels),
}
SHORT = "Pixel data length does not match image dimensions"


def full_file(writer, tmp_path):
    path = str(tmp_path / f"reference-{writer}")
    WRITERS[writer](path)
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.parametrize("writer", sorted(WRITERS))
class TestWriters:
    def test_full_device(self, writer):
        with pytest.raises(OSError) as info:
            WRITERS[writer]("/dev/full")
        assert info.value.errno == errno.ENOSPC

    def test_directory(self, writer, tmp_path):
        with pytest.raises(IsADirectoryError):
            WRITERS[writer](str(tmp_path))
        assert tmp_path.is_dir() and list(tmp_path.iterdir()) == []

    def test_missing_folder(self, writer, tmp_path):
        with pytest.raises(FileNotFoundError):
            WRITERS[writer](str(tmp_path / "missing" / "out"))
        assert list(tmp_path.iterdir()) == []

    def test_read_only_file(self, writer, tmp_path):
        path = tmp_path / "kept"
        path.write_bytes(b"precious")
        if os.geteuid() != 0:
            path.chmod(0o444)
        elif shutil.which("chattr") is None or subprocess.run(["chattr", "+i", str(path)]).returncode != 0:
            pytest.skip("running as root and the file cannot be made immutable here")
        try:
            with pytest.raises(PermissionError):
                WRITERS[writer](str(path))
        finally:
            if os.geteuid() == 0:
                subprocess.run(["chattr", "-i", str(path)], check=True)
        assert path.read_bytes() == b"precious"

    def test_write_failing_half_way_leaves_the_partial_file(self, writer, tmp_path):
        """The file-size limit makes the write fail part-way, as a full disk would."""
        want = full_file(writer, tmp_path)
        limit = len(want) // 2
        path = tmp_path / "partial"
        code = f"""
            import resource, signal, sys
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
            sys.path.insert(0, {os.path.dirname(__file__)!r})
            import test_reliability_faults as t
            try:
                t.WRITERS[{writer!r}]({str(path)!r})
            except OSError as exc:
                print("errno", exc.errno)
        """
        run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                             timeout=120, env=dict(os.environ))
        assert run.returncode == 0, run.stderr
        assert run.stdout.split() == ["errno", str(errno.EFBIG)]
        partial = path.read_bytes()
        assert 0 < len(partial) <= limit and want.startswith(partial)

    def test_validation_failure_touches_nothing(self, writer, tmp_path):
        existing = tmp_path / "existing"
        existing.write_bytes(b"old content")
        fresh = tmp_path / "fresh"
        for path in (existing, fresh):
            if writer in ("save", "saveBmp"):
                img = IMAGE.copy()
                img._pixels = bytearray(10)
                call = lambda p=path, img=img: getattr(img, writer)(str(p))
            else:
                call = lambda p=path: getattr(ext, writer)(str(p), 64, 48, b"abc")
            with pytest.raises(ValueError, match=SHORT):
                call()
        assert existing.read_bytes() == b"old content" and not fresh.exists()


@pytest.mark.parametrize("writer", ["_writePng", "_writeBmp"])
def test_negative_size_creates_nothing(writer, tmp_path):
    with pytest.raises(struct.error):
        getattr(ext, writer)(str(tmp_path / "out"), -1, 2, b"")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("writer", ["save", "saveBmp"])
def test_pipe_whose_reader_leaves(writer, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)

    def reader():
        with open(fifo, "rb") as f:
            f.read(10)

    thread = threading.Thread(target=reader)
    thread.start()
    big = SimpleImage(512, 512, os.urandom(512 * 512 * 3))  # more than the pipe holds
    try:
        with pytest.raises(BrokenPipeError):
            getattr(big, writer)(str(fifo))
    finally:
        thread.join(timeout=30)
    assert not thread.is_alive()


# Readers ----------------------------------------------------------------------------------

def test_opening_a_directory(tmp_path):
    with pytest.raises(IsADirectoryError):
        SimpleImage.open(str(tmp_path))
    with pytest.raises(IsADirectoryError):
        SimpleImage.open(tmp_path)


def test_opening_a_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        SimpleImage.open(str(tmp_path / "missing.png"))


class Shrinking(io.FileIO):
    """A file that the writer truncates after the reader's `after`-th read."""

    def __init__(self, path, after, keep):
        super().__init__(path, "rb")
        self.left, self.keep, self.path = after, keep, path

    def read(self, n=-1):
        self.left -= 1
        if self.left == 0:
            os.truncate(self.path, self.keep)
        return super().read(n)


SHRINKING = [
    # (file, the read before which it is cut, bytes kept, expected message). The first read is
    # the format test's; the decoder then starts again from the beginning.
    ("bmp", 2, 10, "Unsupported BMP header"),          # inside the file header
    ("bmp", 3, 16, "Corrupted BMP DIB header"),        # inside the info header size
    ("bmp", 5, 60, "Incomplete BMP pixel data"),       # after the headers, in the first row
    ("png", 2, 8, "Incomplete PNG header information"),  # only the signature remains
    ("png", 5, 20, "Unexpected EOF while reading chunk data"),  # inside the IHDR
    ("png", 9, 46, "Unexpected EOF while reading chunk data"),  # inside the IDAT
    ("png", 10, 49, "Unexpected EOF while reading chunk CRC"),  # inside the IDAT's CRC
]


@pytest.mark.parametrize("kind, after, keep, message", SHRINKING)
def test_file_shrinking_while_read(tmp_path, kind, after, keep, message):
    path = tmp_path / ("in." + kind)
    path.write_bytes(png_bytes(32, 32) if kind == "png" else bmp_bytes(32, 32))
    with Shrinking(str(path), after, keep) as f:
        with pytest.raises(ValueError) as info:
            SimpleImage._streamToImage(f)
    assert str(info.value) == message


def feed_fifo(fifo, data):
    def write():
        with open(fifo, "wb") as f:
            f.write(data)
    thread = threading.Thread(target=write)
    thread.start()
    return thread


@pytest.mark.parametrize("data", [b"", png_bytes(8, 8)[:30], bmp_bytes(8, 8)[:40]], ids=["empty", "png", "bmp"])
def test_fifo_that_ends_early(tmp_path, data):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    thread = feed_fifo(fifo, data)
    # open() cannot rewind a pipe after looking at its first bytes.
    with pytest.raises(io.UnsupportedOperation):
        SimpleImage.open(str(fifo))
    thread.join(timeout=30)
    assert not thread.is_alive()


def test_chunk_reader_on_a_fifo_that_ends_early(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    chunks = png_bytes(8, 8)[8:]
    thread = feed_fifo(fifo, chunks[:40])
    with open(fifo, "rb") as f:
        assert ext._readChunk(f)[0] == b"IHDR"
        with pytest.raises(ValueError, match="Unexpected EOF while reading chunk data"):
            ext._readChunk(f)
    thread.join(timeout=30)
    assert not thread.is_alive()
