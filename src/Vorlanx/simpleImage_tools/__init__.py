"""Pure-Python tools beside the extension: numpy arrays, images as bytes, and many files at once.

- ``to_array`` / ``from_array``: a zero-copy numpy view of an image, and images from arrays.
- ``encode_png`` / ``encode_bmp``: the bytes ``save`` / ``saveBmp`` would write, in memory
  (decode bytes with ``SimpleImage.open(data)``).
- ``process`` / ``convert``: a per-image function (or none) over many files, in a process pool
  or on a Dask cluster, with atomic outputs; the ``simpleimage-convert`` command.

numpy, tqdm and Dask are optional, imported only where used:
``pip install "Vorlanx-simpleImage[tools]"``.
"""

from ._arrays import from_array, to_array
from ._batch import Edit, Report, Result, convert, process
from ._encode import encode_bmp, encode_png

__all__ = ["Edit", "Report", "Result", "convert", "encode_bmp", "encode_png", "from_array", "process", "to_array"]
