// Chunk framing: _readChunk takes one chunk off a stream and checks its CRC; _makeChunk frames
// one. The CRC goes through the namespace's zlib and the fields through its struct, so a
// rebound module is what both use.
#include <cstring>

#include "png/png.hpp"
#include "png/protocol.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::png {

namespace {

constexpr const char kReadName[] = "_readChunk";
constexpr const char kMakeName[] = "_makeChunk";

// len(obj) == expected, with len() as the interpreter takes it: -1 on error.
int lengthIs(PyObject* obj, Py_ssize_t expected) {
    Py_ssize_t n = PyObject_Length(obj);
    return n < 0 ? -1 : n == expected;
}

// Data longer than this is asked of the module's own file only if the file holds it.
constexpr long long kPlainRead = 1 << 20;

// What to ask of the stream for the chunk data: `length` itself, or, from a file the module
// opened itself that holds less than a large claim, only what is left (the read then comes
// back short, as it would have, without reserving the claim first).
Ref dataRequest(PyObject* stream, PyObject* length, bool ownFile) {
    long long claimed = ownFile && PyLong_CheckExact(length) ? PyLong_AsLongLong(length) : 0;
    if (claimed > kPlainRead) {
        int64_t left = bytesLeft(stream);
        if (left >= 0 && left < claimed) return Ref(PyLong_FromLongLong(left));
    }
    return Ref::borrow(length);
}

}  // namespace

Ref readChunk(PyObject* stream, bool ownFile) noexcept {
    const Constants* k = constants();
    SI_TRY(kReadName, k);

    Ref lengthBytes = callMethod(stream, names().read, k->four);
    SI_TRY(kReadName, lengthBytes);
    Py_ssize_t got = PyObject_Length(lengthBytes.get());
    SI_TRY(kReadName, got >= 0);
    if (got == 0) return Ref(PyTuple_Pack(2, k->empty, k->empty));
    if (got != 4) {
        PyErr_SetString(PyExc_ValueError, "Unexpected EOF while reading chunk length");
        SI_FAIL(kReadName);
    }
    Ref length = unpackU32(lengthBytes.get());
    SI_TRY(kReadName, length);

    Ref chunkType = callMethod(stream, names().read, k->four);
    SI_TRY(kReadName, chunkType);
    int ok = lengthIs(chunkType.get(), 4);
    SI_TRY(kReadName, ok >= 0);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "Unexpected EOF while reading chunk type");
        SI_FAIL(kReadName);
    }

    Ref request = dataRequest(stream, length.get(), ownFile);
    SI_TRY(kReadName, request);
    Ref data = callMethod(stream, names().read, request.get());
    SI_TRY(kReadName, data);
    Py_ssize_t dataLength = PyObject_Length(data.get());
    SI_TRY(kReadName, dataLength >= 0);
    Ref dataLengthObj(PyLong_FromSsize_t(dataLength));
    SI_TRY(kReadName, dataLengthObj);
    int differs = PyObject_RichCompareBool(dataLengthObj.get(), length.get(), Py_NE);
    SI_TRY(kReadName, differs >= 0);
    if (differs) {
        PyErr_SetString(PyExc_ValueError, "Unexpected EOF while reading chunk data");
        SI_FAIL(kReadName);
    }

    Ref crc = callMethod(stream, names().read, k->four);
    SI_TRY(kReadName, crc);
    ok = lengthIs(crc.get(), 4);
    SI_TRY(kReadName, ok >= 0);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "Unexpected EOF while reading chunk CRC");
        SI_FAIL(kReadName);
    }

    Ref actualCrc = chunkCrc(chunkType.get(), data.get());
    SI_TRY(kReadName, actualCrc);
    Ref expectedCrc = unpackU32(crc.get());
    SI_TRY(kReadName, expectedCrc);
    differs = PyObject_RichCompareBool(expectedCrc.get(), actualCrc.get(), Py_NE);
    SI_TRY(kReadName, differs >= 0);
    if (differs) {
        PyErr_SetString(PyExc_ValueError, "Corrupted PNG chunk detected");
        SI_FAIL(kReadName);
    }
    // The stream's own objects, not copies.
    Ref result(PyTuple_Pack(2, chunkType.get(), data.get()));
    SI_TRY(kReadName, result);
    return result;
}

namespace {

PyObject* readChunkBody(const Args& a) { return readChunk(a.obj[0], false).release(); }

// length + chunkType + data + crc: one allocation when all four are exact bytes, else the
// interpreter's own concatenation (a rebound struct may pack into something else).
Ref concat(PyObject* const (&parts)[4]) {
    bool exact = true;
    Py_ssize_t total = 0;
    for (PyObject* p : parts) {
        exact = exact && PyBytes_CheckExact(p);
        if (exact && __builtin_add_overflow(total, PyBytes_GET_SIZE(p), &total)) return Ref(PyErr_NoMemory());
    }
    if (exact) {
        Ref out(PyBytes_FromStringAndSize(nullptr, total));
        if (!out) return Ref();
        char* dst = PyBytes_AS_STRING(out.get());
        for (PyObject* p : parts) {
            std::memcpy(dst, PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p));
            dst += PyBytes_GET_SIZE(p);
        }
        return out;
    }
    Ref out = Ref::borrow(parts[0]);
    for (int i = 1; i < 4 && out; ++i) out.reset(PyNumber_Add(out.get(), parts[i]));
    return out;
}

PyObject* makeChunkBody(const Args& a) {
    PyObject* chunkType = a.obj[0];
    PyObject* data = a.obj[1];
    Ref dataLength(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
    SI_TRY(kMakeName, dataLength);
    Ref length = packU32(dataLength.get());
    SI_TRY(kMakeName, length);
    Ref crcValue = chunkCrc(chunkType, data);
    SI_TRY(kMakeName, crcValue);
    Ref crc = packU32(crcValue.get());
    SI_TRY(kMakeName, crc);
    PyObject* const parts[4] = {length.get(), chunkType, data, crc.get()};
    Ref chunk = concat(parts);
    SI_TRY(kMakeName, chunk);
    return chunk.release();
}

const char* const kReadLocals[] = {"lengthBytes", "length", "chunkType", "data", "crc", "expectedCrc", "actualCrc",
                                   nullptr};
const char* const kMakeLocals[] = {"length", "crcValue", "crc", nullptr};
const Annotation kReadAnnotations[] = {{"return", "Tuple[bytes, bytes]"}, {nullptr, nullptr}};
const Annotation kMakeAnnotations[] = {{"chunkType", "bytes"}, {"data", "bytes"}, {"return", "bytes"}, {nullptr, nullptr}};

}  // namespace

const FunctionSpec kReadChunkSpec = {
    "_readChunk", kReadName, Kind::Function, 1, {"stream"}, {Check::None}, kReadLocals, kReadAnnotations,
    readChunkBody,
};
const FunctionSpec kMakeChunkSpec = {
    "_makeChunk", kMakeName, Kind::Function, 2, {"chunkType", "data"}, {Check::ExactBytes, Check::ExactBytes},
    kMakeLocals, kMakeAnnotations, makeChunkBody,
};

}  // namespace si::png
