// BMP decoder: uncompressed 24-bit files with the 40-byte info header, either row order.
//
// Memory follows the data, not the header. The pixel buffer is allocated without being
// filled (the allocator maps large blocks lazily, so pages never written cost nothing) and
// only rows that actually arrive touch it. Buffer positions are signed 32-bit, so an image
// whose buffer would exceed 2147483647 bytes is refused at the first row that would cross
// that limit, after that row has been read; such an image can never decode, so no buffer is
// allocated for it at all and the rows before that point are only checked, not copied.
#include <climits>
#include <cstring>

#include "bmp/bmp.hpp"
#include "bmp/common.hpp"
#include "bmp/rows.hpp"
#include "bmp/stored_rows.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::bmp {

namespace {

constexpr const char kLoadName[] = "_loadBmp";

PyObject* g_fileHeaderFormat = nullptr;  // "<IHHI"
PyObject* g_sizeFormat = nullptr;        // "<I"
PyObject* g_infoFormat = nullptr;        // "<iiHHIIiiII"

void raiseValue(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

// stream.read(n)
Ref readCount(PyObject* stream, long n) {
    Ref count(PyLong_FromLong(n));
    if (!count) return Ref();
    return callMethod(stream, names().read, count.get());
}

// len(data) == n; -1 with an exception set when the length cannot be taken.
int hasLength(PyObject* data, Py_ssize_t n) {
    Py_ssize_t len = PyBytes_CheckExact(data) ? PyBytes_GET_SIZE(data) : PyObject_Size(data);
    if (len < 0) return -1;
    return len == n;
}

// data[:2] == b"BM"
int startsWithMarker(PyObject* data) {
    if (PyBytes_CheckExact(data)) return std::memcmp(PyBytes_AS_STRING(data), "BM", 2) == 0;
    Ref head(PySequence_GetSlice(data, 0, 2));
    if (!head) return -1;
    Ref marker(PyBytes_FromStringAndSize("BM", 2));
    if (!marker) return -1;
    return PyObject_RichCompareBool(head.get(), marker.get(), Py_EQ);
}

// value != expected, by the interpreter's comparison (the unpacked fields are whatever the
// namespace's `struct` returned).
int differs(PyObject* value, long expected) {
    Ref e(PyLong_FromLong(expected));
    if (!e) return -1;
    return PyObject_RichCompareBool(value, e.get(), Py_NE);
}

// bytearray(width * absHeight * 3) for a negative width: the constructor's own refusal of a
// negative count is the error the caller sees.
void raiseNegativeCount(int32_t width, int64_t absHeight) {
    Ref count = exactMulAdd(int64_t{width} * 3, absHeight, 0);
    if (!count) return;
    Ref refused(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), count.get()));
    if (refused) PyErr_SetString(PyExc_SystemError, "bytearray accepted a negative count");
}

}  // namespace

Ref loadBmp(PyObject* stream, bool ownFile) noexcept {
    if (!interned(g_fileHeaderFormat, "<IHHI") || !interned(g_sizeFormat, "<I") ||
        !interned(g_infoFormat, "<iiHHIIiiII"))
        SI_FAIL(kLoadName);

    // File header: signature, then fileSize, two reserved fields and pixelOffset.
    Ref header = readCount(stream, 14);
    SI_TRY(kLoadName, header);
    int ok = hasLength(header.get(), 14);
    SI_TRY(kLoadName, ok >= 0);
    if (ok) ok = startsWithMarker(header.get());
    SI_TRY(kLoadName, ok >= 0);
    if (!ok) {
        raiseValue("Unsupported BMP header");
        SI_FAIL(kLoadName);
    }
    Ref headerFields(PySequence_GetSlice(header.get(), 2, 14));
    SI_TRY(kLoadName, headerFields);
    Ref fileHeader[4];  // fileSize, reserved, reserved, pixelOffset
    Ref unpacked = callStruct(names().unpack, g_fileHeaderFormat, {headerFields.get()});
    SI_TRY(kLoadName, unpacked && unpack(unpacked.get(), 4, fileHeader));
    PyObject* pixelOffset = fileHeader[3].get();

    // Info header size, which must be that of the 40-byte info header.
    Ref dibHeaderSizeBytes = readCount(stream, 4);
    SI_TRY(kLoadName, dibHeaderSizeBytes);
    ok = hasLength(dibHeaderSizeBytes.get(), 4);
    SI_TRY(kLoadName, ok >= 0);
    if (!ok) {
        raiseValue("Corrupted BMP DIB header");
        SI_FAIL(kLoadName);
    }
    Ref dibHeaderSize;
    unpacked = callStruct(names().unpack, g_sizeFormat, {dibHeaderSizeBytes.get()});
    SI_TRY(kLoadName, unpacked && unpack(unpacked.get(), 1, &dibHeaderSize));
    ok = differs(dibHeaderSize.get(), 40);
    SI_TRY(kLoadName, ok >= 0);
    if (ok) {
        raiseValue("Only BITMAPINFOHEADER BMP files are supported");
        SI_FAIL(kLoadName);
    }

    // Info header body. A short read is left to the unpacking, whose struct.error stands.
    Ref dibData = readCount(stream, 36);
    SI_TRY(kLoadName, dibData);
    Ref info[10];  // width, height, planes, bitCount, compression, imageSize, xPpm, yPpm, clrUsed, clrImportant
    unpacked = callStruct(names().unpack, g_infoFormat, {dibData.get()});
    SI_TRY(kLoadName, unpacked && unpack(unpacked.get(), 10, info));
    const struct {
        int field;
        long expected;
    } required[] = {{2, 1}, {3, 24}, {4, 0}};  // planes, bitCount, compression, in that order
    for (const auto& r : required) {
        ok = differs(info[r.field].get(), r.expected);
        SI_TRY(kLoadName, ok >= 0);
        if (ok) {
            raiseValue("Only uncompressed 24-bit BMP files are supported");
            SI_FAIL(kLoadName);
        }
    }
    int32_t width = 0, height = 0;
    SI_TRY(kLoadName, toInt32(info[0].get(), width) && toInt32(info[1].get(), height));

    const int64_t absHeight = height < 0 ? -int64_t{height} : int64_t{height};
    const int64_t rowStride = storedRowStride(width);
    if (width < 0 && absHeight != 0) {
        raiseNegativeCount(width, absHeight);
        SI_FAIL(kLoadName);
    }
    // From here width >= 0, or the image has no rows.
    const int64_t rowBytes = width > 0 ? 3 * int64_t{width} : 0;
    int64_t size = 0;
    const bool fits = !__builtin_mul_overflow(rowBytes, absHeight, &size) && size <= INT32_MAX;
    Ref pixels;
    if (fits) {
        pixels.reset(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        SI_TRY(kLoadName, pixels);
    }

    SI_TRY(kLoadName, callMethod(stream, names().seek, pixelOffset));

    // A zero-length row can never fail or change the buffer: its reads are skipped, however
    // many rows the header declares.
    if (rowStride > 0) {
        StoredRows stored(stream, rowStride, absHeight, ownFile);
        // The first row to cross the signed 32-bit range is refused once read: the last row
        // of a bottom-up image comes first, a top-down image crosses it at this row.
        if (!fits) stored.stopAfter(height > 0 ? 0 : INT32_MAX / rowBytes);
        uint8_t* out = pixels ? reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels.get())) : nullptr;
        for (int64_t row = 0; row < absHeight; ++row) {
            const uint8_t* rowData = stored.next();
            SI_TRY(kLoadName, rowData);
            const int64_t targetRow = height > 0 ? absHeight - 1 - row : row;
            int64_t baseIndex = 0, end = 0;
            if (__builtin_mul_overflow(targetRow, rowBytes, &baseIndex) ||
                __builtin_add_overflow(baseIndex, rowBytes, &end) || end > INT32_MAX) {
                PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
                SI_FAIL(kLoadName);
            }
            // Without a buffer (it would exceed the limit) a later row is certain to fail the
            // check above; until then the rows are only checked.
            if (out) rows::swapRedBlue(rowData, out + baseIndex, static_cast<size_t>(width));
        }
    }
    // Here `pixels` exists: without it the row holding the buffer's last byte fails above.
    Ref result(Py_BuildValue("(iLO)", width, static_cast<long long>(absHeight), pixels.get()));
    SI_TRY(kLoadName, result);
    return result;
}

}  // namespace si::bmp
