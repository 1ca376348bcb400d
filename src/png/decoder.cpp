// The PNG decoder. The chunk loop gathers the compressed image data; after the header checks
// it is inflated in bounded pieces, and each row is unfiltered as soon as it is complete,
// straight into the pixel buffer while it is still in cache. The inflated image is never held
// whole, and no more is ever inflated than the header allows (plus one byte, to see a surplus).
//
// Errors keep their order: a zlib error, then a length mismatch, win over a bad filter byte,
// which is remembered while inflation runs to the end and reported only after it.
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "png/filters.hpp"
#include "png/png.hpp"
#include "png/protocol.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::png {

namespace {

constexpr const char kLoadName[] = "_loadPng";
constexpr const char kFilterName[] = "_applyPngFilter";
constexpr const char kMalformed[] = "Malformed PNG image data";

// Output asked of one inflate call. It matches the first block of the zlib module's output
// buffer, so a full piece comes back without a joining copy, and it stays in cache while its
// rows are unfiltered.
constexpr Py_ssize_t kWindow = 32 * 1024;
// Compressed input handed to one call: the inflater copies what it could not consume into
// `unconsumed_tail` at every call, so large chunks are fed in slices of this size.
constexpr Py_ssize_t kInputPiece = 32 * 1024;

struct Header {
    int32_t width = -1, height = -1, bitDepth = -1, colorType = -1, compression = -1, filterMethod = -1,
            interlace = -1;
};

struct Geometry {
    int bpp;            // 3 or 4
    size_t width;
    size_t height;
    size_t rowLength;   // width * bpp
    Py_ssize_t expected;    // height * (rowLength + 1)
    Py_ssize_t pixelBytes;  // width * height * 3
};

// Assembles inflated bytes into rows and unfilters each complete row. Makes no interpreter
// call, so the pixel buffer's address is taken afresh at every feed.
//
// A Paeth row waits for the next row: when that is Paeth too, the two are unfiltered together
// (see unfilterPaethPair), which is markedly faster than one after the other. RGB rows are
// assembled in the pixel buffer itself; RGBA rows in a ring of three (previous, waiting,
// filling), each stripped of its alpha once reconstructed.
class Rows {
public:
    Rows(const Geometry& g, PyObject* pixels) : g_(g), pixels_(pixels), k_(kernels::bestKernels()) {}

    bool init() {
        if (g_.bpp == 4 && g_.height > 0 && g_.rowLength > 0) {
            // Left uninitialised: every byte is written before it is read. Fewer than three rows
            // never have one waiting, so they need only as many buffers as rows.
            ringRows_ = std::min<size_t>(3, g_.height);
            ring_.reset(new (std::nothrow) uint8_t[ringRows_ * g_.rowLength]);
            if (!ring_) {
                PyErr_NoMemory();
                return false;
            }
        }
        return true;
    }

    void reset() {
        y_ = 0;
        pos_ = 0;
        needFilter_ = true;
        waiting_ = false;
        bad_ = -1;
    }

    void feed(const uint8_t* p, size_t n) {
        uint8_t* pix = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels_));
        while (n > 0 && y_ < g_.height) {
            if (needFilter_) {
                filter_ = *p++;
                --n;
                needFilter_ = false;
                pos_ = 0;
                if (g_.rowLength == 0) endRow(pix);
                continue;
            }
            size_t take = std::min(n, g_.rowLength - pos_);
            // After a bad filter byte nothing more can be reconstructed; the bytes are only counted.
            if (bad_ < 0) std::memcpy(row(pix, y_) + pos_, p, take);
            pos_ += take;
            p += take;
            n -= take;
            if (pos_ == g_.rowLength) endRow(pix);
        }
    }

    int badFilter() const { return bad_; }

private:
    uint8_t* row(uint8_t* pix, size_t y) const {
        return g_.bpp == 4 ? ring_.get() + (y % ringRows_) * g_.rowLength : pix + y * g_.rowLength;
    }
    const uint8_t* above(uint8_t* pix, size_t y) const { return y == 0 ? nullptr : row(pix, y - 1); }

    void done(uint8_t* pix, size_t y) {
        if (g_.bpp == 4) k_.stripAlpha(row(pix, y), pix + y * g_.width * 3, g_.width);
    }

    void unfilter(uint8_t* pix, size_t y, int filter) {
        kernels::unfilterRow(k_, filter, row(pix, y), above(pix, y), g_.rowLength, g_.bpp);
        done(pix, y);
    }

    void endRow(uint8_t* pix) {
        size_t y = y_++;
        needFilter_ = true;
        // A row of no bytes never has its filter byte looked at.
        if (bad_ >= 0 || g_.rowLength == 0) return;
        if (filter_ > 4) {
            bad_ = filter_;
            return;
        }
        if (waiting_) {
            waiting_ = false;
            if (filter_ == 4) {
                kernels::unfilterPaethPair(k_, row(pix, y - 1), row(pix, y), above(pix, y - 1), g_.rowLength, g_.bpp);
                done(pix, y - 1);
                done(pix, y);
                return;
            }
            unfilter(pix, y - 1, 4);
        }
        // The first row has no row above to pair against, and the last has none after it.
        if (filter_ == 4 && y > 0 && y + 1 < g_.height) {
            waiting_ = true;
            return;
        }
        unfilter(pix, y, filter_);
    }

    const Geometry& g_;
    PyObject* pixels_;
    const kernels::Kernels& k_;
    std::unique_ptr<uint8_t[]> ring_;  // RGBA rows before the alpha is dropped
    size_t ringRows_ = 1;
    size_t y_ = 0;
    size_t pos_ = 0;
    bool needFilter_ = true;
    bool waiting_ = false;  // row y_ - 1 is a Paeth row not yet unfiltered
    int filter_ = 0;
    int bad_ = -1;
};

void malformed() { PyErr_SetString(PyExc_ValueError, kMalformed); }

// width, height, ... = struct.unpack(">IIBBBBB", data), each made a signed 32-bit integer.
bool readHeader(PyObject* data, Header& h) {
    const Constants* k = constants();
    Ref fields = callStruct(names().unpack, k->formatIhdr, {data});
    Ref item[7];
    if (!fields || !unpack(fields.get(), 7, item)) return false;
    int32_t* slots[] = {&h.width, &h.height, &h.bitDepth, &h.colorType, &h.compression, &h.filterMethod, &h.interlace};
    for (int i = 0; i < 7; ++i)
        if (!toInt32(item[i].get(), *slots[i])) return false;
    return true;
}

bool checkHeader(const Header& h) {
    const char* refusal = nullptr;
    if (h.width == -1 || h.height == -1 || h.bitDepth == -1 || h.colorType == -1 || h.compression == -1 ||
        h.filterMethod == -1 || h.interlace == -1)
        refusal = "Incomplete PNG header information";
    else if (h.bitDepth != 8)
        refusal = "Only 8-bit PNG images are supported";
    else if (h.colorType != 2 && h.colorType != 6)
        refusal = "Only RGB/RGBA PNG images are supported";
    else if (h.compression != 0 || h.filterMethod != 0 || h.interlace != 0)
        refusal = "Unsupported PNG configuration (compression/filter/interlace)";
    if (refusal) PyErr_SetString(PyExc_ValueError, refusal);
    return refusal == nullptr;
}

// Every size the decode works with, each within the signed 32-bit range, checked before anything
// is allocated or inflated.
bool measure(const Header& h, Geometry& g) {
    if (h.width < 0 || h.height < 0) {
        // Only a rebound struct can hand back a negative field: no data can match it.
        malformed();
        return false;
    }
    int64_t bpp = h.colorType == 2 ? 3 : 4;
    int64_t rowLength = 0, expected = 0, pixels = 0;
    if (__builtin_mul_overflow(int64_t{h.width}, bpp, &rowLength) || rowLength > INT32_MAX ||
        __builtin_mul_overflow(int64_t{h.height}, rowLength + 1, &expected) || expected > INT32_MAX ||
        __builtin_mul_overflow(int64_t{h.width} * h.height, int64_t{3}, &pixels) || pixels > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "PNG image too large");
        return false;
    }
    g = Geometry{static_cast<int>(bpp), size_t(h.width), size_t(h.height), size_t(rowLength),
                 Py_ssize_t(expected), Py_ssize_t(pixels)};
    return true;
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
    if (!fits) malformed();
    return fits;
}

// Inflates the chunks through `decompressor` a window at a time. 1: the stream ended;
// 0: the input ran out before its end; -1: an error is set.
int inflatePieces(PyObject* decompressor, PyObject* idatChunks, Py_ssize_t expected, Rows& rows,
                  Py_ssize_t& produced) {
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(idatChunks); ++c) {
        Ref chunk = Ref::borrow(PyList_GET_ITEM(idatChunks, c));
        Py_ssize_t chunkLength = PyObject_Length(chunk.get());
        if (chunkLength < 0) return -1;
        Ref whole;  // a memoryview over a large chunk, for slicing without copies
        for (Py_ssize_t start = 0; start < chunkLength; start += kInputPiece) {
            Ref input;
            if (chunkLength <= kInputPiece) {
                input = Ref::borrow(chunk.get());
            } else {
                if (!whole) whole.reset(PyMemoryView_FromObject(chunk.get()));
                if (!whole) return -1;
                input.reset(PySequence_GetSlice(whole.get(), start, std::min(start + kInputPiece, chunkLength)));
                if (!input) return -1;
            }
            for (;;) {
                Py_ssize_t maxLength = std::min(kWindow, expected + 1 - produced);
                Ref maxLengthObj(PyLong_FromSsize_t(maxLength));
                if (!maxLengthObj) return -1;
                PyObject* args[] = {decompressor, input.get(), maxLengthObj.get()};
                Ref out(PyObject_VectorcallMethod(names().decompress, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  nullptr));
                Py_ssize_t n = 0;
                if (!out || !consume(out.get(), rows, expected, produced, n)) return -1;
                Ref eof(PyObject_GetAttr(decompressor, names().eof));
                int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
                if (ended != 0) return ended;
                Ref tail(PyObject_GetAttr(decompressor, names().unconsumed_tail));
                if (!tail) return -1;
                Py_ssize_t tailLength = PyObject_Length(tail.get());
                Py_ssize_t inputLength = PyObject_Length(input.get());
                if (tailLength < 0 || inputLength < 0) return -1;
                // Input consumed and the window not filled: nothing is pending, take more input.
                if (tailLength == 0 && n < maxLength) break;
                // No progress at all: leave the verdict to the final check.
                if (n == 0 && tailLength >= inputLength) break;
                // Otherwise go on with what is left (possibly nothing, to drain pending output).
                input = std::move(tail);
            }
        }
    }
    return 0;
}

// rawImage = zlib.decompress(b"".join(idatChunks)): one call, as a zlib module without
// decompressobj is used, and how an unfinished stream gets zlib's own error.
Ref inflateWhole(PyObject* idatChunks) {
    const Constants* k = constants();
    Ref joined(_PyBytes_Join(k->empty, idatChunks));
    if (!joined) return Ref();
    Ref zlib = lookup(names().zlib);
    if (!zlib) return Ref();
    return callMethod(zlib.get(), names().decompress, joined.get());
}

bool consumeWhole(PyObject* rawImage, Rows& rows, Py_ssize_t expected) {
    Py_ssize_t length = PyObject_Length(rawImage);
    if (length < 0) return false;
    if (length != expected) {
        malformed();
        return false;
    }
    rows.reset();
    Py_ssize_t produced = 0, n = 0;
    return consume(rawImage, rows, expected, produced, n);
}

bool inflate(PyObject* idatChunks, const Geometry& g, Rows& rows) {
    Ref zlib = lookup(names().zlib);
    if (!zlib) return false;
    Ref factory(PyObject_GetAttr(zlib.get(), names().decompressobj));
    if (!factory) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref rawImage = inflateWhole(idatChunks);
        return rawImage && consumeWhole(rawImage.get(), rows, g.expected);
    }
    Ref decompressor(PyObject_CallNoArgs(factory.get()));
    if (!decompressor) return false;
    Py_ssize_t produced = 0;
    int ended = inflatePieces(decompressor.get(), idatChunks, g.expected, rows, produced);
    if (ended < 0) return false;
    if (!ended) {
        // Truncated or cut before its checksum: zlib's own error, from the same data in one call.
        Ref rawImage = inflateWhole(idatChunks);
        return rawImage && consumeWhole(rawImage.get(), rows, g.expected);
    }
    if (produced != g.expected) {
        malformed();
        return false;
    }
    return true;
}

}  // namespace

Ref loadPng(PyObject* stream) noexcept {
    const Constants* k = constants();
    SI_TRY(kLoadName, k);
    Ref signature = callMethod(stream, names().read, k->eight);
    SI_TRY(kLoadName, signature);
    Ref pngSignature = lookup(names().PNG_SIGNATURE);
    SI_TRY(kLoadName, pngSignature);
    int same = bytesEqual(signature.get(), pngSignature.get());
    SI_TRY(kLoadName, same >= 0);
    if (!same) {
        PyErr_SetString(PyExc_ValueError, "Unsupported PNG signature");
        SI_FAIL(kLoadName);
    }

    Header header;
    Ref idatChunks(PyList_New(0));
    SI_TRY(kLoadName, idatChunks);
    for (;;) {
        Ref readChunk = lookup(names()._readChunk);
        SI_TRY(kLoadName, readChunk);
        Ref chunk(PyObject_CallOneArg(readChunk.get(), stream));
        SI_TRY(kLoadName, chunk);
        Ref item[2];
        SI_TRY(kLoadName, unpack(chunk.get(), 2, item));
        PyObject* chunkType = item[0].get();
        PyObject* data = item[1].get();
        int is = bytesEqual(chunkType, k->empty);
        SI_TRY(kLoadName, is >= 0);
        if (is) break;  // the stream ended cleanly at a chunk boundary
        is = bytesEqual(chunkType, k->ihdr);
        SI_TRY(kLoadName, is >= 0);
        if (is) {
            SI_TRY(kLoadName, readHeader(data, header));
            continue;
        }
        is = bytesEqual(chunkType, k->idat);
        SI_TRY(kLoadName, is >= 0);
        if (is) {
            SI_TRY(kLoadName, PyList_Append(idatChunks.get(), data) == 0);
            continue;
        }
        is = bytesEqual(chunkType, k->iend);
        SI_TRY(kLoadName, is >= 0);
        if (is) break;
    }

    SI_TRY(kLoadName, checkHeader(header));
    Geometry g;
    SI_TRY(kLoadName, measure(header, g));
    Ref pixels(PyByteArray_FromStringAndSize(nullptr, g.pixelBytes));
    SI_TRY(kLoadName, pixels);
    Rows rows(g, pixels.get());
    SI_TRY(kLoadName, rows.init());
    SI_TRY(kLoadName, inflate(idatChunks.get(), g, rows));
    if (rows.badFilter() >= 0) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", rows.badFilter());
        addTraceback(kFilterName, __LINE__);
        SI_FAIL(kLoadName);
    }
    Ref width(PyLong_FromLong(header.width));
    Ref height(PyLong_FromLong(header.height));
    SI_TRY(kLoadName, width && height);
    Ref result(PyTuple_Pack(3, width.get(), height.get(), pixels.get()));
    SI_TRY(kLoadName, result);
    return result;
}

}  // namespace si::png
