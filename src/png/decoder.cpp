// The PNG decoder: the signature, then chunk after chunk through the namespace's _readChunk,
// keeping the header and gathering the image data; after the header checks the data becomes
// pixels (image_data.hpp). The inflated image is never larger than the header allows.
//
// Errors keep their order: a chunk error where the chunk is, then the header checks, then
// zlib's error, a length mismatch and last a bad filter byte.
#include "png/header.hpp"
#include "png/image_data.hpp"
#include "png/png.hpp"
#include "png/protocol.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::png {

namespace {

constexpr const char kLoadName[] = "_loadPng";
constexpr const char kFilterName[] = "_applyPngFilter";

// What one chunk does to the decode: 1 goes on, 0 ends the chunk loop, -1 is an error.
int takeChunk(PyObject* chunkType, PyObject* data, Header& header, PyObject* idatChunks) {
    const Constants* k = constants();
    int is = bytesEqual(chunkType, k->empty);
    if (is) return is < 0 ? -1 : 0;  // the stream ended cleanly at a chunk boundary
    is = bytesEqual(chunkType, k->ihdr);
    if (is) return is < 0 || !readHeader(data, header) ? -1 : 1;
    is = bytesEqual(chunkType, k->idat);
    if (is) return is < 0 || PyList_Append(idatChunks, data) < 0 ? -1 : 1;
    is = bytesEqual(chunkType, k->iend);
    return is < 0 ? -1 : !is;
}

}  // namespace

Ref loadPng(PyObject* stream, bool ownFile) noexcept {
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
    for (int more = 1; more;) {
        Ref readChunk = lookup(names()._readChunk);
        SI_TRY(kLoadName, readChunk);
        Ref chunk = ownFile && isFunctionOf(readChunk.get(), kReadChunkSpec)
                        ? png::readChunk(stream, true)
                        : Ref(PyObject_CallOneArg(readChunk.get(), stream));
        SI_TRY(kLoadName, chunk);
        Ref item[2];  // chunkType, data
        SI_TRY(kLoadName, unpack(chunk.get(), 2, item));
        more = takeChunk(item[0].get(), item[1].get(), header, idatChunks.get());
        SI_TRY(kLoadName, more >= 0);
    }

    SI_TRY(kLoadName, checkHeader(header));
    Geometry g;
    SI_TRY(kLoadName, measure(header, g));
    int badFilter = -1;
    Ref pixels = decodeImageData(idatChunks.get(), g, badFilter);
    if (!pixels && badFilter >= 0) {
        PyErr_Format(PyExc_ValueError, "Unsupported PNG filter: %d", badFilter);
        addTraceback(kFilterName, __LINE__);
    }
    SI_TRY(kLoadName, pixels);
    Ref width(PyLong_FromLong(header.width));
    Ref height(PyLong_FromLong(header.height));
    SI_TRY(kLoadName, width && height);
    Ref result(PyTuple_Pack(3, width.get(), height.get(), pixels.get()));
    SI_TRY(kLoadName, result);
    return result;
}

}  // namespace si::png
