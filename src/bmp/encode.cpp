// BMP encoder: writes a bottom-up, uncompressed 24-bit file with the 40-byte info header.
//
// Everything that can be refused is refused before the file is opened, so a failed save never
// truncates an existing file: both headers are packed first (struct's own error for negative
// sizes or a file size beyond 32 bits) and the pixel buffer is checked against the size.
// The buffer stays exported from that check until the last write, so nothing can resize it
// under the writer. Rows are converted into a staging buffer of about 1 MiB and written a
// chunk per call.
#include <algorithm>
#include <climits>
#include <cstring>

#include "bmp/bmp.hpp"
#include "bmp/common.hpp"
#include "bmp/rows.hpp"
#include "runtime/buffer.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::bmp {

namespace {

constexpr const char kWriteName[] = "_writeBmp";
constexpr int64_t kStagingBytes = int64_t{1} << 20;

PyObject* g_fileHeaderFormat = nullptr;  // "<IHHI"
PyObject* g_infoFormat = nullptr;        // "<IIIHHIIIIII"

// What goes into the file, all decided before it is opened.
struct Plan {
    PyObject* fileHeader;  // the packed "<IHHI" fields
    PyObject* infoHeader;  // the packed "<IIIHHIIIIII" fields
    const uint8_t* pixels;
    int64_t width;   // pixels per row (0 for a negative width: no pixel bytes)
    int64_t height;  // rows written (0 for a negative height)
    int64_t rowPad;  // zero bytes after each row's pixels, 0 to 3
};

bool writeObject(PyObject* output, PyObject* data) {
    return bool(callMethod(output, names().write, data));
}

// "BM" and the two packed headers: one write when they are byte strings, as they are with
// the standard `struct`, else three writes of what was packed.
bool writeHeaders(PyObject* output, const Plan& p) {
    if (PyBytes_CheckExact(p.fileHeader) && PyBytes_CheckExact(p.infoHeader)) {
        Py_ssize_t n1 = PyBytes_GET_SIZE(p.fileHeader), n2 = PyBytes_GET_SIZE(p.infoHeader);
        Ref all(PyBytes_FromStringAndSize(nullptr, 2 + n1 + n2));
        if (!all) return false;
        char* out = PyBytes_AS_STRING(all.get());
        out[0] = 'B';
        out[1] = 'M';
        std::memcpy(out + 2, PyBytes_AS_STRING(p.fileHeader), n1);
        std::memcpy(out + 2 + n1, PyBytes_AS_STRING(p.infoHeader), n2);
        return writeObject(output, all.get());
    }
    Ref marker(PyBytes_FromStringAndSize("BM", 2));
    return marker && writeObject(output, marker.get()) && writeObject(output, p.fileHeader) &&
           writeObject(output, p.infoHeader);
}

// The rows, bottom row first, as many whole rows per write as fit the staging buffer.
bool writeRows(PyObject* output, const Plan& p) {
    if (p.height == 0) return true;
    const int64_t rowBytes = 3 * p.width;
    const int64_t storedRow = rowBytes + p.rowPad;  // > 0 only when there is something to write
    if (storedRow == 0) return true;
    const int64_t rowsPerChunk = std::min(p.height, std::max<int64_t>(1, kStagingBytes / storedRow));
    // One padded row of a buffer near the 32-bit limit can pass what the process can hold.
    if (rowsPerChunk * storedRow > PY_SSIZE_T_MAX) {
        PyErr_NoMemory();
        return false;
    }
    Ref staging(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rowsPerChunk * storedRow)));
    if (!staging) return false;
    // The view keeps the staging buffer from being resized while a write holds it.
    Ref fullView(PyMemoryView_FromObject(staging.get()));
    if (!fullView) return false;
    uint8_t* stage = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(staging.get()));
    for (int64_t done = 0; done < p.height;) {
        const int64_t n = std::min(rowsPerChunk, p.height - done);
        for (int64_t i = 0; i < n; ++i) {
            const int64_t y = p.height - 1 - (done + i);
            rows::toStoredRow(p.pixels + y * rowBytes, stage + i * storedRow, static_cast<size_t>(p.width),
                              static_cast<size_t>(p.rowPad));
        }
        done += n;
        if (n == rowsPerChunk) {
            if (!writeObject(output, fullView.get())) return false;
        } else {
            Ref part(PySequence_GetSlice(fullView.get(), 0, static_cast<Py_ssize_t>(n * storedRow)));
            if (!part || !writeObject(output, part.get())) return false;
        }
    }
    return true;
}

PyObject* writeBmpBody(const Args& a) {
    PyObject* path = a.obj[0];
    const int32_t width = a.i32[1];
    const int32_t height = a.i32[2];
    PyObject* pixels = a.obj[3];
    SI_TRY(kWriteName, interned(g_fileHeaderFormat, "<IHHI") && interned(g_infoFormat, "<IIIHHIIIIII"));

    // Sizes, exact at any magnitude so that struct sees the true values and refuses them.
    const int64_t rowStride = storedRowStride(width);
    Ref pixelArraySize = exactMulAdd(rowStride, height, 0);
    Ref fileSize = exactMulAdd(rowStride, height, 54);
    SI_TRY(kWriteName, pixelArraySize && fileSize);

    Ref pixBuf = PyByteArray_Check(pixels) ? Ref::borrow(pixels) : toByteArray(pixels);
    SI_TRY(kWriteName, pixBuf);

    Ref widthObj(PyLong_FromLong(width)), heightObj(PyLong_FromLong(height));
    Ref n0(PyLong_FromLong(0)), n1(PyLong_FromLong(1)), n24(PyLong_FromLong(24)), n40(PyLong_FromLong(40)),
        n54(PyLong_FromLong(54)), ppm(PyLong_FromLong(2835));
    SI_TRY(kWriteName, widthObj && heightObj && n0 && n1 && n24 && n40 && n54 && ppm);
    Ref fileHeader = callStruct(names().pack, g_fileHeaderFormat, {fileSize.get(), n0.get(), n0.get(), n54.get()});
    SI_TRY(kWriteName, fileHeader);
    Ref infoHeader = callStruct(names().pack, g_infoFormat,
                                {n40.get(), widthObj.get(), heightObj.get(), n1.get(), n24.get(), n0.get(),
                                 pixelArraySize.get(), ppm.get(), ppm.get(), n0.get(), n0.get()});
    SI_TRY(kWriteName, infoHeader);

    // The rows written follow the stored layout for any sizes the packing let through
    // (with the standard struct only non-negative ones): max(height, 0) rows, each of
    // max(width, 0) pixels and rowStride - 3 * width zero bytes.
    Plan plan{fileHeader.get(), infoHeader.get(), nullptr, std::max<int64_t>(width, 0), std::max<int64_t>(height, 0),
              rowStride - 3 * int64_t{width}};
    BufferView view;
    SI_TRY(kWriteName, view.acquire(pixBuf.get()));
    int64_t needed = 0;
    if (__builtin_mul_overflow(plan.width * 3, plan.height, &needed) || view.size() < needed) {
        PyErr_SetString(PyExc_ValueError, "Pixel data length does not match image dimensions");
        SI_FAIL(kWriteName);
    }
    plan.pixels = view.data();

    OpenedFile output;
    bool ok = openFile(path, names().wb, output) && writeHeaders(output.stream.get(), plan) &&
              writeRows(output.stream.get(), plan);
    // Closed on every way out; a partial file stays where it is.
    ok = exitContext(output) && ok;
    SI_TRY(kWriteName, ok);
    Py_RETURN_NONE;
}

const char* const kWriteLocals[] = {"rowStride", "pixelArraySize", "fileSize", "pix_buf", "output", "rowPad",
                                    "padBytes",  "y",              "start",    "x",       "idx",    "r",
                                    "g",         "b",              nullptr};
const Annotation kWriteAnnotations[] = {{"return", "None"}, {nullptr, nullptr}};

}  // namespace

const FunctionSpec kWriteBmpSpec = {
    "_writeBmp", "_writeBmp", Kind::Function, 4, {"path", "width", "height", "pixels"},
    {Check::None, Check::Int32, Check::Int32, Check::None}, kWriteLocals, kWriteAnnotations, writeBmpBody,
};

}  // namespace si::bmp
