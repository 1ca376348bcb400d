// The door between SimpleImage and files: opening with format detection, and saving.
#include <cstring>

#include "bmp/bmp.hpp"
#include "image/image.hpp"
#include "png/png.hpp"
#include "runtime/convert.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si::image {

namespace {

constexpr const char kOpenName[] = "SimpleImage.open";
constexpr const char kStreamName[] = "SimpleImage._streamToImage";

PyObject* streamToImage(PyObject* stream, bool ownFile);

// Calls cls._streamToImage(stream), fetched afresh so a subclass's override is honoured, and
// unpacks the decoder result. When it is the module's own and the stream is a file opened
// here, no one else can see the stream, and the decoders may read it as suits them.
bool decodeStream(PyObject* cls, PyObject* stream, bool ownFile, Ref* result) {
    Ref decode(PyObject_GetAttr(cls, names()._streamToImage));
    if (!decode) return false;
    Ref decoded(ownFile && isFunctionOf(decode.get(), kStreamToImageSpec) ? streamToImage(stream, true)
                                                                          : PyObject_CallOneArg(decode.get(), stream));
    return decoded && unpack(decoded.get(), 3, result);
}

PyObject* openBody(const Args& a) {
    PyObject* cls = a.self;
    PyObject* source = a.obj[0];
    Ref path = lookup(names().Path);
    SI_TRY(kOpenName, path);
    Ref result[3];
    int isPath = PyUnicode_Check(source) ? 1 : PyObject_IsInstance(source, path.get());
    SI_TRY(kOpenName, isPath >= 0);
    if (isPath) {
        OpenedFile file;
        bool ok = openFile(source, names().rb, file) && decodeStream(cls, file.stream.get(), true, result);
        // Closed on every way out, before the image is made.
        ok = exitContext(file) && ok;
        SI_TRY(kOpenName, ok);
    } else if (PyBytes_Check(source) || PyByteArray_Check(source)) {
        Ref bytesIO = lookup(names().BytesIO);
        SI_TRY(kOpenName, bytesIO);
        Ref stream(PyObject_CallOneArg(bytesIO.get(), source));
        SI_TRY(kOpenName, stream);
        SI_TRY(kOpenName, decodeStream(cls, stream.get(), false, result));
    } else {
        PyErr_SetString(PyExc_TypeError, "source must be a file path or raw bytes");
        SI_FAIL(kOpenName);
    }
    Ref image;
    if (cls == reinterpret_cast<PyObject*>(&SimpleImageType) && PyByteArray_CheckExact(result[2].get()) &&
        Py_REFCNT(result[2].get()) == 1) {
        // The decoder's own buffer, referenced from nowhere else: the image takes it instead
        // of copying it, which is all the constructor's copy would give.
        PyObject* width = result[0].get();
        PyObject* height = result[1].get();
        image = newImageTaking(width, height, std::move(result[2]));
    } else {
        image.reset(PyObject_CallFunctionObjArgs(cls, result[0].get(), result[1].get(), result[2].get(), nullptr));
    }
    SI_TRY(kOpenName, image);
    if (image.get() != Py_None && !PyObject_TypeCheck(image.get(), &SimpleImageType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(image.get())->tp_name,
                     SimpleImageType.tp_name);
        SI_FAIL(kOpenName);
    }
    return image.release();
}

// Does `signature` start with `prefix`? Exact bytes are compared directly; anything else a
// stream may return goes through its own startswith().
int startsWith(PyObject* signature, PyObject* prefix) {
    if (PyBytes_CheckExact(signature) && PyBytes_CheckExact(prefix)) {
        Py_ssize_t n = PyBytes_GET_SIZE(prefix);
        return PyBytes_GET_SIZE(signature) >= n && std::memcmp(PyBytes_AS_STRING(signature), PyBytes_AS_STRING(prefix), n) == 0;
    }
    Ref r = callMethod(signature, names().startswith, prefix);
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// signature[:2] == b"BM"
int isBmp(PyObject* signature) {
    if (PyBytes_CheckExact(signature))
        return PyBytes_GET_SIZE(signature) >= 2 && std::memcmp(PyBytes_AS_STRING(signature), "BM", 2) == 0;
    Ref head(PySequence_GetSlice(signature, 0, 2));
    if (!head) return -1;
    Ref marker(PyBytes_FromStringAndSize("BM", 2));
    if (!marker) return -1;
    return PyObject_RichCompareBool(head.get(), marker.get(), Py_EQ);
}

PyObject* streamToImage(PyObject* stream, bool ownFile) {
    Ref eight(PyLong_FromLong(8));
    SI_TRY(kStreamName, eight);
    Ref signature = callMethod(stream, names().read, eight.get());
    SI_TRY(kStreamName, signature);
    Ref zero(PyLong_FromLong(0));
    SI_TRY(kStreamName, zero);
    SI_TRY(kStreamName, callMethod(stream, names().seek, zero.get()));
    Ref pngSignature = lookup(names().PNG_SIGNATURE);
    SI_TRY(kStreamName, pngSignature);
    int png = startsWith(signature.get(), pngSignature.get());
    SI_TRY(kStreamName, png >= 0);
    if (png) {
        Ref decoded = png::loadPng(stream, ownFile);
        SI_TRY(kStreamName, decoded);
        return decoded.release();
    }
    int bmp = isBmp(signature.get());
    SI_TRY(kStreamName, bmp >= 0);
    if (bmp) {
        Ref decoded = bmp::loadBmp(stream, ownFile);
        SI_TRY(kStreamName, decoded);
        return decoded.release();
    }
    PyErr_SetString(PyExc_ValueError, "Unsupported image format");
    SI_FAIL(kStreamName);
}

PyObject* streamToImageBody(const Args& a) { return streamToImage(a.obj[0], false); }

// save and saveBmp: hand the fields to the writer found in the namespace now.
PyObject* saveWith(const Args& a, PyObject* writerName, const char* qualname) {
    ImageObject* img = reinterpret_cast<ImageObject*>(a.self);
    Ref writer = lookup(writerName);
    SI_TRY(qualname, writer);
    Ref width(PyLong_FromLong(img->width));
    Ref height(PyLong_FromLong(img->height));
    SI_TRY(qualname, width && height);
    Ref pixels = Ref::borrow(img->pixels);
    SI_TRY(qualname, call(writer.get(), {a.obj[0], width.get(), height.get(), pixels.get()}));
    Py_RETURN_NONE;
}

PyObject* saveBody(const Args& a) { return saveWith(a, names()._writePng, "SimpleImage.save"); }
PyObject* saveBmpBody(const Args& a) { return saveWith(a, names()._writeBmp, "SimpleImage.saveBmp"); }

const char* const kOpenLocals[] = {"stream", "width", "height", "pixels", nullptr};
const char* const kStreamLocals[] = {"signature", nullptr};
const Annotation kOpenAnnotations[] = {{"source", "ImageInput"}, {"return", "'SimpleImage'"}, {nullptr, nullptr}};
const Annotation kSaveAnnotations[] = {{"path", "str"}, {"return", "None"}, {nullptr, nullptr}};

}  // namespace

const FunctionSpec kStreamToImageSpec = {
    "_streamToImage", kStreamName, Kind::Static, 1, {"stream"}, {Check::None}, kStreamLocals, nullptr,
    streamToImageBody,
};
const FunctionSpec kOpenSpec = {
    "open", kOpenName, Kind::Class, 1, {"source"}, {Check::None}, kOpenLocals, kOpenAnnotations, openBody,
};
const FunctionSpec kSaveSpec = {
    "save", "SimpleImage.save", Kind::Method, 1, {"path"}, {Check::ExactStr}, nullptr, kSaveAnnotations, saveBody,
    &SimpleImageType,
};
const FunctionSpec kSaveBmpSpec = {
    "saveBmp", "SimpleImage.saveBmp", Kind::Method, 1, {"path"}, {Check::ExactStr}, nullptr, kSaveAnnotations,
    saveBmpBody, &SimpleImageType,
};

}  // namespace si::image
