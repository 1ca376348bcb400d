#include "png/header.hpp"

#include <climits>

#include "png/protocol.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"

namespace si::png {

bool readHeader(PyObject* data, Header& h) noexcept {
    const Constants* k = constants();
    if (!k) return false;
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

bool checkHeader(const Header& h) noexcept {
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

bool measure(const Header& h, Geometry& g) noexcept {
    // Only a rebound struct can hand back a negative field: no data can match it.
    if (h.width < 0 || h.height < 0) return malformed();
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

bool malformed() noexcept {
    PyErr_SetString(PyExc_ValueError, "Malformed PNG image data");
    return false;
}

}  // namespace si::png
