// From the gathered IDAT data to the pixel buffer. While the namespace's `zlib` is the
// standard module, the data is inflated whole by the module's own inflater (identical to
// zlib, several times faster); anything else bound there is called as a zlib module, a piece
// at a time. Either way no more is inflated than the header allows plus one byte, and the
// verdicts are the same: zlib's own error, then "Malformed PNG image data", then the filter
// error, with errors in stream order (see decideOrder).
#pragma once

#include "png/header.hpp"
#include "runtime/ref.hpp"

namespace si::png {

// The pixel buffer (width * height * 3 bytes), or null with an error set. When the image data
// is sound but a row's filter type is unknown, returns null with no error set and that
// filter byte in `badFilter`. `idatChunks` (a list the caller owns) may be emptied.
Ref decodeImageData(PyObject* idatChunks, const Geometry& g, int& badFilter) noexcept;

// --- the two ways, and what they share

// b"".join(chunks) for a list or a tuple, one copy for exact bytes, else the interpreter's
// own join.
Ref joinChunks(PyObject* chunks) noexcept;

// The module's own inflater over `joined` (exact bytes), straight into the pixel buffer;
// `zlib` is the standard module, asked for its own error when the data is refused.
Ref inflateOwn(PyObject* zlib, PyObject* joined, const Geometry& g, int& badFilter) noexcept;

// Through `zlib` (a module, or anything bound in its place), a piece at a time.
Ref inflateThrough(PyObject* zlib, PyObject* idatChunks, const Geometry& g, int& badFilter) noexcept;

// Stream order, for an error an inflater raised: when the stream in `joined` gives
// expected + 1 bytes before it fails, the image data is too long whatever follows, and the
// error is replaced by "Malformed PNG image data". Returns false (an error set either way).
bool decideOrder(PyObject* joined, Py_ssize_t expected) noexcept;

// zlib's own verdict on data the module's inflater refused, from the standard module: its
// error, set, or (never expected) the bytes it inflated; at most expected + 1 of them.
Ref standardVerdict(PyObject* zlib, PyObject* joined, Py_ssize_t expected) noexcept;

}  // namespace si::png
