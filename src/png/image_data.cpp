#include "png/image_data.hpp"

#include <cstring>
#include <memory>
#include <new>

#include "flate/inflate.hpp"
#include "png/protocol.hpp"
#include "runtime/names.hpp"

namespace si::png {

Ref decodeImageData(PyObject* idatChunks, const Geometry& g, int& badFilter) noexcept {
    Ref zlib = lookup(names().zlib);
    if (!zlib) return Ref();
    if (!isStandardFunction(zlib.get(), names().decompressobj, "zlib") ||
        !isStandardFunction(zlib.get(), names().decompress, "zlib"))
        return inflateThrough(zlib.get(), idatChunks, g, badFilter);
    Ref joined = joinChunks(idatChunks);
    if (!joined) return Ref();
    // The compressed data is then held once: the chunks go before the image is allocated.
    if (PyList_SetSlice(idatChunks, 0, PyList_GET_SIZE(idatChunks), nullptr) < 0) return Ref();
    return inflateOwn(zlib.get(), joined.get(), g, badFilter);
}

Ref joinChunks(PyObject* chunks) noexcept {
    // Sizes and items are read between the two loops with nothing in between that can run
    // Python code: a bytes object is not tracked by the collector, so making one never
    // starts a collection.
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(chunks);
    Py_ssize_t total = 0;
    for (Py_ssize_t c = 0; c < count; ++c) {
        PyObject* chunk = PySequence_Fast_GET_ITEM(chunks, c);
        // What a rebound _readChunk returned is joined by the interpreter, through the
        // buffers the objects export.
        if (!PyBytes_CheckExact(chunk)) return Ref(_PyBytes_Join(constants()->empty, chunks));
        if (__builtin_add_overflow(total, PyBytes_GET_SIZE(chunk), &total)) return Ref(PyErr_NoMemory());
    }
    if (count == 1) return Ref::borrow(PySequence_Fast_GET_ITEM(chunks, 0));
    Ref joined(PyBytes_FromStringAndSize(nullptr, total));
    if (!joined) return joined;
    char* out = PyBytes_AS_STRING(joined.get());
    for (Py_ssize_t c = 0; c < count; ++c) {
        PyObject* chunk = PySequence_Fast_GET_ITEM(chunks, c);
        std::memcpy(out, PyBytes_AS_STRING(chunk), size_t(PyBytes_GET_SIZE(chunk)));
        out += PyBytes_GET_SIZE(chunk);
    }
    return joined;
}

// Whether the stream in `joined` gives more than `expected` bytes before it ends or fails:
// 1 or 0, or -1 with MemoryError set. Run without the interpreter lock, like any inflation.
static int overflows(PyObject* joined, Py_ssize_t expected) noexcept {
    // The inflater needs the output as its history; this runs only on a failing decode.
    std::unique_ptr<uint8_t[]> history(new (std::nothrow) uint8_t[size_t(expected) + 1]);
    if (!history) {
        PyErr_NoMemory();
        return -1;
    }
    const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(joined));
    const size_t inLen = size_t(PyBytes_GET_SIZE(joined));
    inflate::Result r;
    Py_BEGIN_ALLOW_THREADS
    r = inflate::zlibInflate(in, inLen, history.get(), size_t(expected));
    Py_END_ALLOW_THREADS
    return r.status == inflate::Status::Full;
}

bool decideOrder(PyObject* joined, Py_ssize_t expected) noexcept {
    // An inflater that raises from one call cannot tell how much it produced before its
    // error, and where its input and output pieces fall would otherwise decide the verdict.
    // The module's inflater reads the stream in order and knows exactly where an error lies.
    if (!PyBytes_CheckExact(joined)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    int surplus = overflows(joined, expected);
    if (surplus == 0) {
        PyErr_Restore(type, value, tb);
        return false;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return surplus < 0 ? false : malformed();
}

Ref standardVerdict(PyObject* zlib, PyObject* joined, Py_ssize_t expected) noexcept {
    // Through a decompressor with an output limit, as the piecewise decode has always asked
    // it, so that its messages are those the decoder has always raised and nothing is ever
    // inflated past the limit.
    Ref decompressor = callMethod(zlib, names().decompressobj);
    Ref limit(PyLong_FromSsize_t(expected + 1));
    if (!decompressor || !limit) return Ref();
    PyObject* args[] = {decompressor.get(), joined, limit.get()};
    Ref out(PyObject_VectorcallMethod(names().decompress, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!out) return out;
    Ref eof(PyObject_GetAttr(decompressor.get(), names().eof));
    int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
    if (ended < 0) return Ref();
    // The standard module was proven bound before the chunks were released, and a chunk's
    // finalizer may have replaced it since: what came back is measured only if it is bytes.
    if (ended || !PyBytes_CheckExact(out.get()) || PyBytes_GET_SIZE(out.get()) > expected) return out;
    // Truncated, or cut before its checksum: zlib's error for that comes from one call.
    return callMethod(zlib, names().decompress, joined);
}

}  // namespace si::png
