// The standard zlib's way: the module's own inflater over the joined image data, straight
// into the buffer that becomes the image. It runs without the interpreter lock, as inflation
// always has inside the zlib module, on buffers no Python code can reach, and so does the
// unfiltering of the rows it produced; every other step holds the lock.
//
// RGB rows are inflated where the image will live and compacted in place (each row moves
// down by its filter bytes), so a decode holds the compressed data and one image-sized buffer.
// RGBA rows are inflated into a scratch buffer and stripped of their alpha into the image.
#include <cstring>
#include <memory>
#include <new>

#include "png/image_data.hpp"
#include "flate/inflate.hpp"
#include "png/scanlines.hpp"

namespace si::png {

namespace {

// Copies zlib's own result into `data` when it holds exactly `expected` bytes.
bool takeVerdict(PyObject* rawImage, uint8_t* data, Py_ssize_t expected) {
    if (!PyBytes_CheckExact(rawImage) || PyBytes_GET_SIZE(rawImage) != expected) return malformed();
    std::memcpy(data, PyBytes_AS_STRING(rawImage), size_t(expected));
    return true;
}

}  // namespace

Ref inflateOwn(PyObject* zlib, PyObject* joined, const Geometry& g, int& badFilter) noexcept {
    const bool inPlace = g.bpp == 3;
    Ref pixels(PyByteArray_FromStringAndSize(nullptr, inPlace ? g.expected : g.pixelBytes));
    if (!pixels) return pixels;
    std::unique_ptr<uint8_t[]> scratch;
    if (!inPlace) {
        scratch.reset(new (std::nothrow) uint8_t[size_t(g.expected) + 1]);
        if (!scratch) return Ref(PyErr_NoMemory());
    }
    auto* image = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get()));
    uint8_t* data = inPlace ? image : scratch.get();

    const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(joined));
    const size_t inLen = size_t(PyBytes_GET_SIZE(joined));
    const kernels::Kernels& k = kernels::bestKernels();
    // Inflating and, when the data is whole and sound, unfiltering touch only these buffers,
    // so both run without the lock: with the inflater this fast, unfiltering under the lock
    // held two threads decoding different files to 1.42x the throughput of one.
    inflate::Result r;
    bool done = false;
    Py_BEGIN_ALLOW_THREADS
    r = inflate::zlibInflate(in, inLen, data, size_t(g.expected));
    if (r.status == inflate::Status::End && r.produced == size_t(g.expected)) {
        badFilter = scanlines::firstBadFilter(data, g.height, g.rowLength);
        if (badFilter < 0) scanlines::reconstruct(k, data, g.height, g.width, g.bpp, image);
        done = true;
    }
    Py_END_ALLOW_THREADS

    if (!done) {
        // A stream that gives one byte more than the header allows is refused there, whatever
        // follows it; an error before that point is zlib's own, with zlib's own message.
        if (r.status == inflate::Status::Full || r.status == inflate::Status::End) {
            malformed();
            return Ref();
        }
        Ref verdict = standardVerdict(zlib, joined, g.expected);
        // zlib never accepts what the inflater refuses; were it to, its bytes would stand.
        if (!verdict || !takeVerdict(verdict.get(), data, g.expected)) return Ref();
        badFilter = scanlines::firstBadFilter(data, g.height, g.rowLength);
        if (badFilter < 0) scanlines::reconstruct(k, data, g.height, g.width, g.bpp, image);
    }
    if (badFilter >= 0) return Ref();
    if (inPlace && PyByteArray_Resize(pixels.get(), g.pixelBytes) < 0) return Ref();
    return pixels;
}

}  // namespace si::png
