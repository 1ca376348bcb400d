#include "png/protocol.hpp"

#include <cstring>

#include "png/crc.hpp"
#include "runtime/names.hpp"

namespace si::png {

namespace {

// Whether `f` is the crc32 of the interpreter's own zlib extension module, whose result is
// known: then the checksum can be computed here, several times faster, with nothing observable
// changed. A rebound zlib, or a replaced crc32, is called as usual.
bool isStandardCrc32(PyObject* f) {
    if (!PyCFunction_Check(f)) return false;
    auto* fn = reinterpret_cast<PyCFunctionObject*>(f);
    if (std::strcmp(fn->m_ml->ml_name, "crc32") != 0 || !fn->m_self || !PyModule_Check(fn->m_self)) return false;
    PyModuleDef* def = PyModule_GetDef(fn->m_self);
    return def && std::strcmp(def->m_name, "zlib") == 0;
}

// The direct path for exact bytes, or a null Ref with no error set when it does not apply.
Ref directCrc(PyObject* zlib, PyObject* chunkType, PyObject* data) {
    if (!crc::available() || !PyModule_CheckExact(zlib) || !PyBytes_CheckExact(chunkType) || !PyBytes_CheckExact(data))
        return Ref();
    PyObject* crc32 = PyDict_GetItemWithError(PyModule_GetDict(zlib), names().crc32);
    if (!crc32 || !isStandardCrc32(crc32)) return Ref();
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

Ref unpackU32(PyObject* data) noexcept {
    const Constants* k = constants();
    if (!k) return Ref();
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
