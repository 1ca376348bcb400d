// The PNG writer: one IHDR, the scanlines (filter type 0) compressed as one zlib call would
// compress them into one IDAT (see compress.hpp), and IEND. Everything is built in memory before the file is opened, so a refusal leaves
// the file system untouched.
#include <cstdint>
#include <cstring>

#include "platform/cpu.hpp"
#include "png/compress.hpp"
#include "png/png.hpp"
#include "png/protocol.hpp"
#include "runtime/buffer.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

#ifdef SI_X86
#include <emmintrin.h>
#endif

namespace si::png {

namespace {

constexpr const char kWriteName[] = "_writePng";
constexpr const char kBytesName[] = "_write_png_bytes";

// ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
Ref packHeader(PyObject* width, PyObject* height) {
    const Constants* k = constants();
    Ref eight(PyLong_FromLong(8)), two(PyLong_FromLong(2)), zero(PyLong_FromLong(0));
    if (!eight || !two || !zero) return Ref();
    return callStruct(names().pack, k->formatIhdr,
                      {width, height, eight.get(), two.get(), zero.get(), zero.get(), zero.get()});
}

void copyPlain(uint8_t* dst, const uint8_t* src, size_t n) { std::memcpy(dst, src, n); }

#ifdef SI_X86
constexpr int64_t kStreamFrom = 16 << 20;

// memcpy with non-temporal stores for the 16-byte-aligned middle of the destination.
void copyStreaming(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t head = (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15;
    if (head > n) head = n;
    std::memcpy(dst, src, head);
    dst += head, src += head, n -= head;
    for (; n >= 64; n -= 64, dst += 64, src += 64) {
        const auto* s = reinterpret_cast<const __m128i*>(src);
        auto* d = reinterpret_cast<__m128i*>(dst);
        const __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
        const __m128i c = _mm_loadu_si128(s + 2), e = _mm_loadu_si128(s + 3);
        _mm_stream_si128(d, a);
        _mm_stream_si128(d + 1, b);
        _mm_stream_si128(d + 2, c);
        _mm_stream_si128(d + 3, e);
    }
    std::memcpy(dst, src, n);
}
#endif

// The scanline data: per row a 0 filter byte and the row's bytes, one bulk copy each, read
// from the export the caller holds (its length was checked against the rows). Nothing here
// calls back into the interpreter.
Ref writePngBytes(int32_t width, int32_t height, const BufferView& pixels) {
    // A negative width (only past a rebound struct) gives empty rows, as slicing would.
    int64_t rowStride = width > 0 ? int64_t{width} * 3 : 0;
    int64_t rows = height > 0 ? height : 0;
    // rows * rowStride <= pixels.size(), so this cannot overflow 64 bits; with the filter bytes it
    // can pass the largest object a 32-bit process holds.
    int64_t total = rows * (rowStride + 1);
    if (total > PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        SI_FAIL(kBytesName);
    }
    Ref raw(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!raw) SI_FAIL(kBytesName);
    auto* dst = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(raw.get()));
    void (*copy)(uint8_t*, const uint8_t*, size_t) = copyPlain;
#ifdef SI_X86
    // Scanlines far larger than the caches are written past them: the deflater reads them
    // in order long after, and the stores no longer read each line in first.
    if (total >= kStreamFrom) copy = copyStreaming;
#endif
    for (int64_t y = 0; y < rows; ++y) {
        *dst++ = 0;
        copy(dst, pixels.data() + y * rowStride, static_cast<size_t>(rowStride));
        dst += rowStride;
    }
#ifdef SI_X86
    if (copy == copyStreaming) _mm_sfence();
#endif
    return raw;
}

// Does the export hold at least width * height * 3 bytes? Its own length decides, never what
// the object's __len__ says. Unsigned 64 bits hold it: two positive 32-bit sizes times 3 stay
// below 2^64 (but not below 2^63).
bool lengthMatches(int32_t width, int32_t height, const BufferView& pixels) {
    if (width > 0 && height > 0 && uint64_t(width) * uint64_t(height) * 3 > uint64_t(pixels.size())) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        return false;
    }
    return true;
}

// output.write(_makeChunk(chunkType, data)), `_makeChunk` looked up now.
bool writeChunk(PyObject* output, PyObject* chunkType, PyObject* data) {
    Ref makeChunk = lookup(names()._makeChunk);
    if (!makeChunk) return false;
    Ref chunk = call(makeChunk.get(), {chunkType, data});
    return chunk && callMethod(output, names().write, chunk.get());
}

bool writeFile(PyObject* output, PyObject* ihdr, PyObject* compressed) {
    const Constants* k = constants();
    Ref signature = lookup(names().PNG_SIGNATURE);
    return signature && callMethod(output, names().write, signature.get()) && writeChunk(output, k->ihdr, ihdr) &&
           writeChunk(output, k->idat, compressed) && writeChunk(output, k->iend, k->empty);
}

PyObject* writePngBody(const Args& a) {
    PyObject* path = a.obj[0];
    int32_t width = a.i32[1], height = a.i32[2];
    const Constants* k = constants();
    SI_TRY(kWriteName, k);
    Ref widthObj(PyLong_FromLong(width)), heightObj(PyLong_FromLong(height));
    SI_TRY(kWriteName, widthObj && heightObj);
    Ref ihdr = packHeader(widthObj.get(), heightObj.get());
    SI_TRY(kWriteName, ihdr);
    Ref pixView = PyByteArray_Check(a.obj[3]) ? Ref::borrow(a.obj[3]) : toByteArray(a.obj[3]);
    SI_TRY(kWriteName, pixView);
    Ref compressed;
    {
        BufferView pixels;
        SI_TRY(kWriteName, pixels.acquire(pixView.get()) && lengthMatches(width, height, pixels));
        Ref raw = writePngBytes(width, height, pixels);
        pixels.release();
        SI_TRY(kWriteName, raw);
        Ref zlib = lookup(names().zlib);
        SI_TRY(kWriteName, zlib);
        compressed = compressScanlines(zlib.get(), raw.get());
        SI_TRY(kWriteName, compressed);
    }
    OpenedFile output;
    bool ok = openFile(path, names().wb, output) && writeFile(output.stream.get(), ihdr.get(), compressed.get());
    // Closed on every way out; a failed write leaves what was written before it.
    ok = exitContext(output) && ok;
    SI_TRY(kWriteName, ok);
    Py_RETURN_NONE;
}

const char* const kWriteLocals[] = {"ihdr", "raw", "pix_view", "compressed", "output", nullptr};
const Annotation kWriteAnnotations[] = {{"return", "None"}, {nullptr, nullptr}};

}  // namespace

const FunctionSpec kWritePngSpec = {
    "_writePng", kWriteName, Kind::Function, 4, {"path", "width", "height", "pixels"},
    {Check::None, Check::Int32, Check::Int32, Check::None}, kWriteLocals, kWriteAnnotations, writePngBody,
};

}  // namespace si::png
