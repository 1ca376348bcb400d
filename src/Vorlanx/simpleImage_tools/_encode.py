"""PNG and BMP files as bytes, written by the module's own writers into an in-memory file.

``save`` hands its fields to the writer named ``_writePng`` (``saveBmp``: ``_writeBmp``) in the
module's namespace, and the writer opens its path with the built-in ``open``, which also takes
an open file descriptor. Giving the writer a descriptor of an anonymous in-memory file and
reading the file back yields, by construction, what ``save`` writes: the same writer (a user's
rebinding included), the same checks, the same errors.
"""

from __future__ import annotations

import mmap
import os
import tempfile
import threading
from typing import Any

from .. import simpleImage_ext as _ext
from ..simpleImage_ext import SimpleImage

# Read the record's own fields, as save does, whatever a subclass defines over them.
_FIELDS = tuple(SimpleImage.__dict__[name] for name in ("width", "height", "_pixels"))
_MODULE_FUNCTION = type(SimpleImage.__dict__["save"])
# A thread keeps its in-memory file (and the pages in it) for the next call up to this size:
# writing over pages that already exist is what brings an encode level with a save to a file
# in /dev/shm (3840 x 2160 BMP: 8.7 ms against 10.0 ms; a fresh file each time: 14.9 ms).
_KEEP_LIMIT = 64 << 20
_idle = threading.local()


def encode_png(img: SimpleImage) -> bytes:
    """The bytes ``img.save(path)`` writes to a file: an 8-bit RGB PNG.

    Raises what save raises, for the same reasons. Decode with ``SimpleImage.open(data)``.
    """
    return _encode(img, "_writePng")


def encode_bmp(img: SimpleImage) -> bytes:
    """The bytes ``img.saveBmp(path)`` writes to a file: a 24-bit bottom-up BMP."""
    return _encode(img, "_writeBmp")


def _encode(img: SimpleImage, writer_name: str) -> bytes:
    writer = getattr(_ext, writer_name)
    fields = [field.__get__(img) for field in _FIELDS]
    if not hasattr(os, "memfd_create") or type(writer) is not _MODULE_FUNCTION or writer.__name__ != writer_name:
        # A writer of the user's own may seek or leave holes: it gets an empty file, as a
        # fresh path would give it, and the whole file is the result. So does every writer
        # where files are not in memory, as there is little to gain from reusing one.
        fd = _empty_file()
        try:
            _call(writer, fd, fields)
            return _read_whole(fd)
        finally:
            os.close(fd)
    # The module's writers write once from the start, so what they wrote ends at the file
    # offset, whatever an earlier, larger image left after it.
    scratch = _take_scratch()
    try:
        os.lseek(scratch.fd, 0, os.SEEK_SET)
        _call(writer, scratch.fd, fields)
        return scratch.read(os.lseek(scratch.fd, 0, os.SEEK_CUR))
    finally:
        _give_back(scratch)


def _call(writer: Any, fd: int, fields: list[Any]) -> None:
    """writer(dup of fd, width, height, pixels); the dup is the writer's to close once it opens it."""
    identity = _identity(fd)
    path = os.dup(fd)
    try:
        writer(path, *fields)
    finally:
        # Still ours when the writer refused before opening it (or never opened it). Once it
        # is closed its number may be reused by another thread's file: only a descriptor of
        # this very file is closed here.
        try:
            if _identity(path) == identity:
                os.close(path)
        except OSError:
            pass


def _identity(fd: int) -> tuple[int, int]:
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


def _read_whole(fd: int) -> bytes:
    with open(fd, "rb", buffering=0, closefd=False) as f:
        f.seek(0)
        return f.readall()


def _empty_file() -> int:
    """A descriptor of a new, empty, unnamed file: in memory where the platform allows."""
    if hasattr(os, "memfd_create"):
        try:
            return os.memfd_create("simpleimage-encode", os.MFD_CLOEXEC)
        except OSError:
            pass  # a kernel or sandbox without it
    with tempfile.TemporaryFile() as f:
        return os.dup(f.fileno())


class _Scratch:
    """An anonymous in-memory file with a read-only mapping of it, owned by one thread at a time."""

    def __init__(self) -> None:
        self.fd = _empty_file()
        self.pid = os.getpid()
        self.map: mmap.mmap | None = None

    def read(self, length: int) -> bytes:
        if length == 0:
            return b""
        if self.map is None or len(self.map) < length:
            if self.map is not None:
                self.map.close()
            self.map = mmap.mmap(self.fd, os.fstat(self.fd).st_size, prot=mmap.PROT_READ)
        return self.map[:length]

    def size(self) -> int:
        return os.fstat(self.fd).st_size

    def close(self) -> None:
        if self.map is not None:
            self.map.close()
            self.map = None
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __del__(self) -> None:
        self.close()


def _take_scratch() -> _Scratch:
    # Taken out of the slot while in use: a writer that calls back into an encoder (through a
    # rebound zlib) gets a file of its own.
    scratch: _Scratch | None = getattr(_idle, "scratch", None)
    _idle.scratch = None
    # A forked child inherits the slot, but the file's offset is shared with the parent.
    if scratch is None or scratch.pid != os.getpid():
        return _Scratch()
    return scratch


def _give_back(scratch: _Scratch) -> None:
    if scratch.size() <= _KEEP_LIMIT and getattr(_idle, "scratch", None) is None:
        _idle.scratch = scratch
    else:
        scratch.close()
