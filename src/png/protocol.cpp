#include "png/protocol.hpp"

#include <cstring>

#include "png/crc.hpp"
#include "runtime/names.hpp"

namespace si::png {

namespace {

// zlib.crc32 computed here (several times faster) when it is the standard one and both
// operands are exact bytes; else a null Ref with no error set.
Ref directCrc(PyObject* zlib, PyObject* chunkType, PyObject* data) {
    if (!crc::available() || !PyBytes_CheckExact(chunkType) || !PyBytes_CheckExact(data) ||
        !isStandardFunction(zlib, names().crc32, "zlib"))
        return Ref();
    auto bytes = [](PyObject* b) { return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(b)); };
    uint32_t crc = crc::update(0, bytes(chunkType), size_t(PyBytes_GET_SIZE(chunkType)));
    crc = crc::update(crc, bytes(data), size_t(PyBytes_GET_SIZE(data)));
    return Ref(PyLong_FromUnsignedLong(crc));
}

bool make(PyObject*& slot, PyObject* made) {
    slot = made;
    return made != nullptr;
}

}  // namespace

uint32_t bigEndian32(const char* p) noexcept {
    auto b = [p](int i) { return uint32_t(static_cast<unsigned char>(p[i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

const Constants* constants() noexcept {
    static Constants k{};
    static bool ready = false;
    if (ready) return &k;
    // The interpreter lock serialises first use; after a failure the next call fills in only
    // the slots still empty.
    auto once = [](PyObject*& slot, PyObject* (*build)()) { return slot || make(slot, build()); };
    ready = once(k.formatU32, [] { return PyUnicode_InternFromString(">I"); }) &&
            once(k.formatIhdr, [] { return PyUnicode_InternFromString(">IIBBBBB"); }) &&
            once(k.ihdr, [] { return PyBytes_FromStringAndSize("IHDR", 4); }) &&
            once(k.idat, [] { return PyBytes_FromStringAndSize("IDAT", 4); }) &&
            once(k.iend, [] { return PyBytes_FromStringAndSize("IEND", 4); }) &&
            once(k.empty, [] { return PyBytes_FromStringAndSize(nullptr, 0); }) &&
            once(k.four, [] { return PyLong_FromLong(4); }) && once(k.eight, [] { return PyLong_FromLong(8); }) &&
            once(k.crcMask, [] { return PyLong_FromUnsignedLong(0xFFFFFFFFUL); });
    return ready ? &k : nullptr;
}

int standardStruct(PyObject* method) noexcept {
    Ref module = lookup(names().struct_);
    return module ? isStandardFunction(module.get(), method, "_struct") : -1;
}

Ref unpackU32(PyObject* data) noexcept {
    const Constants* k = constants();
    if (!k) return Ref();
    if (PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) == 4) {
        int standard = standardStruct(names().unpack);
        if (standard < 0) return Ref();
        if (standard) return Ref(PyLong_FromUnsignedLong(bigEndian32(PyBytes_AS_STRING(data))));
    }
    Ref fields = callStruct(names().unpack, k->formatU32, {data});
    if (!fields) return Ref();
    if (PyTuple_CheckExact(fields.get()) && PyTuple_GET_SIZE(fields.get()) > 0)
        return Ref::borrow(PyTuple_GET_ITEM(fields.get(), 0));
    Ref zero(PyLong_FromLong(0));
    return zero ? Ref(PyObject_GetItem(fields.get(), zero.get())) : Ref();
}

Ref packU32(PyObject* value) noexcept {
    const Constants* k = constants();
    if (!k) return Ref();
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        int standard = !overflow && v >= 0 && v <= 0xFFFFFFFFLL ? standardStruct(names().pack) : 0;
        if (standard < 0) return Ref();
        if (standard) {
            const char out[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
            return Ref(PyBytes_FromStringAndSize(out, 4));
        }
    }
    return callStruct(names().pack, k->formatU32, {value});
}

Ref chunkCrc(PyObject* chunkType, PyObject* data) noexcept {
    const Constants* k = constants();
    if (!k) return Ref();
    Ref zlib = lookup(names().zlib);
    if (!zlib) return Ref();
    if (Ref direct = directCrc(zlib.get(), chunkType, data); direct || PyErr_Occurred()) return direct;
    Ref typeCrc = callMethod(zlib.get(), names().crc32, chunkType);
    if (!typeCrc) return Ref();
    zlib = lookup(names().zlib);
    if (!zlib) return Ref();
    PyObject* args[] = {zlib.get(), data, typeCrc.get()};
    Ref crc(PyObject_VectorcallMethod(names().crc32, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!crc) return Ref();
    return Ref(PyNumber_And(crc.get(), k->crcMask));
}

int bytesEqual(PyObject* a, PyObject* b) noexcept {
    if (PyBytes_CheckExact(a) && PyBytes_CheckExact(b))
        return PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
               std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), PyBytes_GET_SIZE(a)) == 0;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

}  // namespace si::png
