// The PNG decoder. The chunk loop gathers the compressed image data; after the header checks
// it is inflated in bounded pieces, and each row is unfiltered as soon as it is complete,
// straight into the pixel buffer while it is still in cache. The inflated image is never held
// whole, and no more is ever inflated than the header allows (plus one byte, to see a surplus).
//
// Errors keep their order: a zlib error, then a length mismatch, win over a bad filter byte,
// which is remembered while inflation runs to the end and reported only after it.
#include <algorithm>
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
// A Paeth row (or an Average row of RGBA pixels) waits for the next row: when that has the same
// filter, the two are unfiltered together (see unfilterPair), which is markedly faster than one
// after the other. RGB rows are
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
        waiting_ = 0;
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
            int waiting = waiting_;
            waiting_ = 0;
            if (filter_ == waiting) {
                kernels::unfilterPair(k_, waiting, row(pix, y - 1), row(pix, y), above(pix, y - 1), g_.rowLength,
                                      g_.bpp);
                done(pix, y - 1);
                done(pix, y);
                return;
            }
            unfilter(pix, y - 1, waiting);
        }
        // The first row has no row above to pair against, and the last has none after it.
        if ((filter_ == 4 || (filter_ == 3 && g_.bpp == 4)) && y > 0 && y + 1 < g_.height) {
            waiting_ = filter_;
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
    int waiting_ = 0;  // the filter (3 or 4) of row y_ - 1 when it is not yet unfiltered
    int filter_ = 0;
    int bad_ = -1;
};

void malformed() { PyErr_SetString(PyExc_ValueError, kMalformed); }

// width, height, ... = struct.unpack(">IIBBBBB", data), each made a signed 32-bit integer.
bool readHeader(PyObject* data, Header& h) {
    const Constants* k = constants();
    if (PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) == 13) {
        // The standard struct's fields, read here; sizes past the int32 range take the long
        // way for its exact refusal.
        const char* p = PyBytes_AS_STRING(data);
        uint32_t width = bigEndian32(p), height = bigEndian32(p + 4);
        int standard = width <= INT32_MAX && height <= INT32_MAX ? standardStruct(names().unpack) : 0;
        if (standard < 0) return false;
        if (standard) {
            int32_t bytes[5];
            for (int i = 0; i < 5; ++i) bytes[i] = static_cast<unsigned char>(p[8 + i]);
            h = Header{int32_t(width), int32_t(height), bytes[0], bytes[1], bytes[2], bytes[3], bytes[4]};
            return true;
        }
    }
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

// The joined IDAT data in pieces of about `size` bytes, never joined whole: a piece within one
// chunk is the chunk or a view of it; the tail of a chunk and the chunks after it, while they
// are exact bytes, are gathered into a new bytes object. Anything else a rebound `_readChunk`
// produced is handed on as it is, so the inflater sees it as before.
class InputPieces {
public:
    InputPieces(PyObject* chunks, Py_ssize_t size) : chunks_(chunks), size_(size) {}

    // 1: `piece` is the next piece; 0: no input is left; -1: an error is set.
    int next(Ref& piece) {
        for (; c_ < count(); ++c_, offset_ = 0, length_ = -1, whole_.reset()) {
            PyObject* chunk = PyList_GET_ITEM(chunks_, c_);
            if (length_ < 0 && !measure(chunk)) return -1;
            Py_ssize_t left = length_ - offset_;
            if (left <= 0) continue;
            if (left < size_ && c_ + 1 < count() && PyBytes_CheckExact(chunk) &&
                PyBytes_CheckExact(PyList_GET_ITEM(chunks_, c_ + 1)))
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
    Py_ssize_t count() const { return PyList_GET_SIZE(chunks_); }

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
            PyObject* chunk = PyList_GET_ITEM(chunks_, c);
            if (!PyBytes_CheckExact(chunk)) break;
            total += std::min(size_ - total, PyBytes_GET_SIZE(chunk) - offset);
        }
        piece.reset(PyBytes_FromStringAndSize(nullptr, total));
        if (!piece) return -1;
        char* dst = PyBytes_AS_STRING(piece.get());
        for (Py_ssize_t copied = 0; copied < total;) {
            PyObject* chunk = PyList_GET_ITEM(chunks_, c_);
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
        length_ = PyBytes_GET_SIZE(PyList_GET_ITEM(chunks_, c_));
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
void pieceSizes(PyObject* idatChunks, Py_ssize_t expected, Py_ssize_t& output, Py_ssize_t& input) {
    double compressed = 0;
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(idatChunks); ++c) {
        PyObject* chunk = PyList_GET_ITEM(idatChunks, c);
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
int inflatePieces(PyObject* decompressor, PyObject* idatChunks, Py_ssize_t expected, Rows& rows,
                  Py_ssize_t& produced) {
    Py_ssize_t piece = 0, slice = 0;
    pieceSizes(idatChunks, expected, piece, slice);
    InputPieces pieces(idatChunks, slice);
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
            // Input consumed and the piece not filled: nothing is pending, take more input.
            if (tailLength == 0 && n < maxLength) break;
            // No progress at all: leave the verdict to the final check.
            if (n == 0 && tailLength >= inputLength) break;
            // Otherwise go on with what is left (possibly nothing, to drain pending output).
            input = std::move(tail);
        }
    }
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

// len(rawImage) is asked as the interpreter asks it, but the bytes that count are those the
// export holds: data shorter than its __len__ claims would leave rows unwritten.
bool consumeWhole(PyObject* rawImage, Rows& rows, Py_ssize_t expected) {
    Py_ssize_t length = PyObject_Length(rawImage);
    if (length < 0) return false;
    if (length != expected) {
        malformed();
        return false;
    }
    rows.reset();
    Py_ssize_t produced = 0, n = 0;
    if (!consume(rawImage, rows, expected, produced, n)) return false;
    if (produced != expected) {
        malformed();
        return false;
    }
    return true;
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
