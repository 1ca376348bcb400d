// Any other zlib bound in the namespace (zlib-ng, ISA-L, a wrapper) is called as the zlib
// module: a decompressor fed the joined IDAT data a slice at a time, asked for bounded pieces
// of output, each handed to the rows as it arrives. No more than the header allows plus one
// byte is ever asked for; zlib's own error is what a broken stream raises, in stream order.
#include <algorithm>
#include <cstring>

#include "png/image_data.hpp"
#include "png/protocol.hpp"
#include "png/rows.hpp"
#include "runtime/names.hpp"

namespace si::png {

namespace {

// Output asked of one inflater call. zlib copies the end of every call's output into its own
// 32 KiB history, and a match reaching back past the start of the call is served from that
// history on a slower path: costs paid per call. Photograph-like data (under 4:1) inflates
// slowly enough for them to dominate (the Kodak photographs took 1.35x the one-shot inflate in
// 32 KiB pieces, 1.17x in 254 KiB ones), so it is asked for in large pieces, at the price of the zlib module joining its output
// blocks; flat graphics inflate at nearly copying speed, where that join would cost more than
// the calls save, so they are asked for one output block at a time, which comes back without
// a join.
constexpr Py_ssize_t kLargePiece = 260000;
constexpr Py_ssize_t kBlockPiece = 30237;  // under the zlib module's first 32 KiB block
constexpr Py_ssize_t kDenseRatio = 4;
// Neither size is a multiple of 4096, so the history copy's source and destination shift
// against each other from call to call. At a fixed distance of 16 bytes modulo 4096, which is
// where the allocator tends to put the history right behind a reused 32 KiB block, the copy
// ran twenty times slower than normal on the project's machine, for the whole decode.
//
// Compressed input handed to one call is sized to make about one piece of output: the inflater
// copies what it could not consume into `unconsumed_tail` at every call, and a call fed less
// than a piece's worth returns short. Small chunks are gathered to reach that size.
constexpr Py_ssize_t kMinInput = 4096;
constexpr Py_ssize_t kMaxInput = 1 << 22;


// Is the exception being raised the inflater's own error class (`zlib.error`)? Leaves it set.
bool isInflaterError(PyObject* zlib) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref errorClass(PyObject_GetAttr(zlib, names().error));
    PyErr_Clear();
    bool matches = errorClass && PyErr_GivenExceptionMatches(type, errorClass.get());
    PyErr_Restore(type, value, tb);
    return matches;
}

// For an inflater error raised where the output might have reached the surplus byte.
void orderError(PyObject* zlib, PyObject* chunks, Py_ssize_t expected) {
    if (!isInflaterError(zlib)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref joined = joinChunks(chunks);
    if (!joined) {
        // The chunks joined before; if they cannot now, the inflater's error stands.
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    decideOrder(joined.get(), expected);
}

// Hands one inflater result to the rows, refusing it at once if it takes the total past
// `expected`. The buffer export is held only while the bytes are copied out; nothing is ever
// written into the object zlib returned.
bool consume(PyObject* out, Rows& rows, Py_ssize_t expected, Py_ssize_t& produced, Py_ssize_t& n) {
    Py_buffer view;
    if (PyObject_GetBuffer(out, &view, PyBUF_SIMPLE) < 0) return false;
    n = view.len;
    bool fits = n <= expected - produced;
    if (fits) {
        produced += n;
        rows.feed(static_cast<const uint8_t*>(view.buf), size_t(n));
    }
    PyBuffer_Release(&view);
    return fits || malformed();
}

// The joined IDAT data in pieces of about `size` bytes, never joined whole: a piece within one
// chunk is the chunk or a view of it; the tail of a chunk and the chunks after it, while they
// are exact bytes, are gathered into a new bytes object. Anything else a rebound `_readChunk`
// produced is handed on as it is, so the inflater sees it as before.
//
// `chunks` is a tuple the caller holds: a chunk's __len__, the inflater or a finalizer may
// empty or refill the list the chunks were gathered in, but not the tuple, so every chunk,
// its length and the offset into it stay valid for as long as they are used.
class InputPieces {
public:
    InputPieces(PyObject* chunks, Py_ssize_t size) : chunks_(chunks), size_(size) {}

    // 1: `piece` is the next piece; 0: no input is left; -1: an error is set.
    int next(Ref& piece) {
        for (; c_ < count(); ++c_, offset_ = 0, length_ = -1, whole_.reset()) {
            PyObject* chunk = PyTuple_GET_ITEM(chunks_, c_);
            if (length_ < 0 && !measure(chunk)) return -1;
            Py_ssize_t left = length_ - offset_;
            if (left <= 0) continue;
            if (left < size_ && c_ + 1 < count() && PyBytes_CheckExact(chunk) &&
                PyBytes_CheckExact(PyTuple_GET_ITEM(chunks_, c_ + 1)))
                return gather(piece);
            if (offset_ == 0 && left <= size_) {
                piece = Ref::borrow(chunk);
                offset_ = length_;
                return 1;
            }
            if (!whole_ && !view(chunk)) return -1;
            Py_ssize_t end = offset_ + std::min(size_, left);
            piece.reset(PySequence_GetSlice(whole_.get(), offset_, end));
            if (!piece) return -1;
            offset_ = end;
            return 1;
        }
        return 0;
    }

private:
    Py_ssize_t count() const { return PyTuple_GET_SIZE(chunks_); }

    // The length of `chunk`: exact bytes by their size; anything else by the memoryview it is
    // sliced through, so a __len__ that lies can neither stretch nor stall the slicing (its
    // own errors still surface, as len() would raise them).
    bool measure(PyObject* chunk) {
        if (PyBytes_CheckExact(chunk)) {
            length_ = PyBytes_GET_SIZE(chunk);
            return true;
        }
        if (PyObject_Length(chunk) < 0 || !view(chunk)) return false;
        length_ = PyMemoryView_GET_BUFFER(whole_.get())->len;
        return true;
    }

    // whole_ = memoryview(chunk) as flat bytes, so that slices count bytes whatever the
    // exporter's item size.
    bool view(PyObject* chunk) {
        whole_.reset(PyMemoryView_FromObject(chunk));
        if (!whole_) return false;
        const Py_buffer* b = PyMemoryView_GET_BUFFER(whole_.get());
        if (b->itemsize != 1 || b->ndim != 1) whole_.reset(PyObject_CallMethod(whole_.get(), "cast", "s", "B"));
        return bool(whole_);
    }

    // Copies up to `size_` bytes from the exact bytes chunks starting at the current position.
    int gather(Ref& piece) {
        Py_ssize_t total = 0;
        for (Py_ssize_t c = c_, offset = offset_; c < count() && total < size_; ++c, offset = 0) {
            PyObject* chunk = PyTuple_GET_ITEM(chunks_, c);
            if (!PyBytes_CheckExact(chunk)) break;
            total += std::min(size_ - total, PyBytes_GET_SIZE(chunk) - offset);
        }
        piece.reset(PyBytes_FromStringAndSize(nullptr, total));
        if (!piece) return -1;
        char* dst = PyBytes_AS_STRING(piece.get());
        for (Py_ssize_t copied = 0; copied < total;) {
            PyObject* chunk = PyTuple_GET_ITEM(chunks_, c_);
            Py_ssize_t take = std::min(total - copied, PyBytes_GET_SIZE(chunk) - offset_);
            std::memcpy(dst + copied, PyBytes_AS_STRING(chunk) + offset_, size_t(take));
            copied += take;
            offset_ += take;
            if (offset_ == PyBytes_GET_SIZE(chunk) && copied < total) {
                ++c_;
                offset_ = 0;
                whole_.reset();
            }
        }
        length_ = PyBytes_GET_SIZE(PyTuple_GET_ITEM(chunks_, c_));
        return 1;
    }

    PyObject* chunks_;
    Py_ssize_t size_;
    Py_ssize_t c_ = 0;
    Py_ssize_t offset_ = 0;
    Py_ssize_t length_ = -1;  // of chunk c_, once asked
    Ref whole_;               // a memoryview over chunk c_, for slicing without copies
};

// The output piece and input slice sizes for this image (see kLargePiece). The ratio is taken
// from the exact bytes chunks only, so sizing never calls into the interpreter.
void pieceSizes(PyObject* chunks, Py_ssize_t expected, Py_ssize_t& output, Py_ssize_t& input) {
    double compressed = 0;
    for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(chunks); ++c) {
        PyObject* chunk = PyTuple_GET_ITEM(chunks, c);
        if (PyBytes_CheckExact(chunk)) compressed += double(PyBytes_GET_SIZE(chunk));
    }
    double inflated = double(std::max<Py_ssize_t>(expected, 1));
    output = compressed * kDenseRatio > inflated ? kLargePiece : kBlockPiece;
    // An eighth over the estimate, so that a piece's input rarely runs out before its output.
    double slice = double(output) * (compressed / inflated) * 1.125;
    input = Py_ssize_t(std::clamp(slice, double(kMinInput), double(kMaxInput)));
}

// Inflates the chunks through `decompressor` a piece at a time. 1: the stream ended;
// 0: the input ran out before its end; -1: an error is set.
int inflatePieces(PyObject* zlib, PyObject* decompressor, PyObject* chunks, Py_ssize_t expected, Rows& rows,
                  Py_ssize_t& produced) {
    Py_ssize_t piece = 0, slice = 0;
    pieceSizes(chunks, expected, piece, slice);
    InputPieces pieces(chunks, slice);
    for (;;) {
        Ref input;
        int more = pieces.next(input);
        if (more <= 0) return more;
        for (;;) {
            Py_ssize_t maxLength = std::min(piece, expected + 1 - produced);
            Ref maxLengthObj(PyLong_FromSsize_t(maxLength));
            if (!maxLengthObj) return -1;
            PyObject* args[] = {decompressor, input.get(), maxLengthObj.get()};
            Ref out(PyObject_VectorcallMethod(names().decompress, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              nullptr));
            // A call that fails where it might have given the surplus byte: stream order decides.
            if (!out && maxLength == expected + 1 - produced) orderError(zlib, chunks, expected);
            Py_ssize_t n = 0;
            if (!out || !consume(out.get(), rows, expected, produced, n)) return -1;
            Ref eof(PyObject_GetAttr(decompressor, names().eof));
            int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
            if (ended != 0) return ended;
            Ref tail(PyObject_GetAttr(decompressor, names().unconsumed_tail));
            if (!tail) return -1;
            Py_ssize_t tailLength = PyObject_Length(tail.get());
            if (tailLength < 0) return -1;
            Py_ssize_t inputLength = PyObject_Length(input.get());
            if (inputLength < 0) return -1;
            // Input consumed and the piece not filled: nothing is pending, take more input.
            if (tailLength == 0 && n < maxLength) break;
            // No progress at all: leave the verdict to the final check.
            if (n == 0 && tailLength >= inputLength) break;
            // Otherwise go on with what is left (possibly nothing, to drain pending output).
            input = std::move(tail);
        }
    }
}

// rawImage = zlib.decompress(b"".join(chunks)): one call, as a zlib module without
// decompressobj is used, and how an unfinished stream gets zlib's own error.
Ref inflateOnce(PyObject* zlib, PyObject* chunks, Py_ssize_t expected) {
    Ref joined = joinChunks(chunks);
    if (!joined) return Ref();
    Ref rawImage = callMethod(zlib, names().decompress, joined.get());
    if (!rawImage && isInflaterError(zlib)) decideOrder(joined.get(), expected);
    return rawImage;
}

// len(rawImage) is asked as the interpreter asks it, but the bytes that count are those the
// export holds: data shorter than its __len__ claims would leave rows unwritten.
bool consumeWhole(PyObject* rawImage, Rows& rows, Py_ssize_t expected) {
    Py_ssize_t length = PyObject_Length(rawImage);
    if (length < 0) return false;
    if (length != expected) return malformed();
    rows.reset();
    Py_ssize_t produced = 0, n = 0;
    if (!consume(rawImage, rows, expected, produced, n)) return false;
    return produced == expected || malformed();
}

bool inflateRows(PyObject* zlib, PyObject* chunks, const Geometry& g, Rows& rows) {
    Ref factory(PyObject_GetAttr(zlib, names().decompressobj));
    if (!factory) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref rawImage = inflateOnce(zlib, chunks, g.expected);
        return rawImage && consumeWhole(rawImage.get(), rows, g.expected);
    }
    Ref decompressor(PyObject_CallNoArgs(factory.get()));
    if (!decompressor) return false;
    Py_ssize_t produced = 0;
    int ended = inflatePieces(zlib, decompressor.get(), chunks, g.expected, rows, produced);
    if (ended < 0) return false;
    if (!ended) {
        // Truncated or cut before its checksum: zlib's own error, from the same data in one call.
        Ref rawImage = inflateOnce(zlib, chunks, g.expected);
        return rawImage && consumeWhole(rawImage.get(), rows, g.expected);
    }
    if (produced != g.expected) return malformed();
    return true;
}

}  // namespace

Ref inflateThrough(PyObject* zlib, PyObject* idatChunks, const Geometry& g, int& badFilter) noexcept {
    // The chunks as they are now, in a tuple no Python code can change (see InputPieces).
    Ref chunks(PyList_AsTuple(idatChunks));
    if (!chunks) return chunks;
    Ref pixels(PyByteArray_FromStringAndSize(nullptr, g.pixelBytes));
    if (!pixels) return pixels;
    Rows rows(g, pixels.get());
    if (!rows.init() || !inflateRows(zlib, chunks.get(), g, rows)) return Ref();
    badFilter = rows.badFilter();
    if (badFilter >= 0) return Ref();
    return pixels;
}

}  // namespace si::png
