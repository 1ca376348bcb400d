#include "image/image.hpp"

#include "runtime/convert.hpp"
#include "runtime/traceback.hpp"

namespace si::image {

PyTypeObject SimpleImageType{};

namespace {

constexpr const char kDoc[] = "SimpleImage(width, height, pixels)\n--\n\nMinimal RGB image helper.";
constexpr const char kLengthMismatch[] = "Pixel data length does not match image dimensions";

ImageObject* asImage(PyObject* obj) { return reinterpret_cast<ImageObject*>(obj); }

// width * height * 3 without wrapping; false when it is out of every buffer's reach.
bool expectedLength(int32_t width, int32_t height, Py_ssize_t& out) {
    int64_t area = 0, bytes = 0;
    if (__builtin_mul_overflow(int64_t{width}, int64_t{height}, &area) || __builtin_mul_overflow(area, int64_t{3}, &bytes) ||
        bytes > PY_SSIZE_T_MAX)
        return false;
    out = static_cast<Py_ssize_t>(bytes);
    return true;
}

// A fresh bytearray holding the bytes of `pixels`, as bytearray(pixels) makes it.
Ref freshBuffer(PyObject* pixels) {
    if (PyByteArray_CheckExact(pixels))
        return Ref(PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(pixels), PyByteArray_GET_SIZE(pixels)));
    if (PyBytes_CheckExact(pixels))
        return Ref(PyByteArray_FromStringAndSize(PyBytes_AS_STRING(pixels), PyBytes_GET_SIZE(pixels)));
    return toByteArray(pixels);
}

PyObject* g_ctorNames[3] = {};

constexpr const char kCinitName[] = "SimpleImage.__cinit__";
const char* const kCtorParams[] = {"width", "height", "pixels"};
const Check kCtorChecks[] = {Check::Int32, Check::Int32, Check::None};

// Construction after argument matching: conversions, the length check, storing the buffer
// (a fresh copy of `pixels`, or `owned` itself when the caller hands over a private one).
bool fill(ImageObject* img, Args& a, Ref owned) {
    constexpr const char* kName = kCinitName;
    SI_TRY(kName, runChecks(3, kCtorParams, kCtorChecks, a));
    PyObject* pixels = a.obj[2];
    Py_ssize_t length = PyObject_Length(pixels);
    SI_TRY(kName, length >= 0);
    Py_ssize_t expected = 0;
    if (!expectedLength(a.i32[0], a.i32[1], expected) || expected != length) {
        PyErr_SetString(PyExc_ValueError, kLengthMismatch);
        SI_FAIL(kName);
    }
    img->width = a.i32[0];
    img->height = a.i32[1];
    Ref buffer = owned ? std::move(owned) : freshBuffer(pixels);
    SI_TRY(kName, buffer);
    Py_SETREF(img->pixels, buffer.release());
    return true;
}

Ref allocate(PyTypeObject* type) {
    Ref self(type->tp_alloc(type, 0));
    if (!self) return self;
    ImageObject* img = asImage(self.get());
    img->width = 0;
    img->height = 0;
    img->pixels = Py_NewRef(Py_None);
    return self;
}

PyObject* imageNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref self = allocate(type);
    if (!self) return nullptr;
    Args a;
    if (!matchTupleDict("__cinit__", 3, g_ctorNames, args, kwargs, a)) {
        addTraceback(kCinitName, __LINE__);
        return nullptr;
    }
    // The arguments are borrowed from the caller's tuple and dictionary, and a width's __int__
    // runs before the pixels are read: held here, they outlive whatever it does to the
    // dictionary (a C caller may pass its own).
    Ref held[3] = {Ref::borrow(a.obj[0]), Ref::borrow(a.obj[1]), Ref::borrow(a.obj[2])};
    if (!fill(asImage(self.get()), a, Ref())) return nullptr;
    return self.release();
}

void imageDealloc(PyObject* self) {
    Py_CLEAR(asImage(self)->pixels);
    Py_TYPE(self)->tp_free(self);
}

// ---- attributes --------------------------------------------------------------------------

PyObject* getWidth(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->width); }
PyObject* getHeight(PyObject* self, void*) { return PyLong_FromLong(asImage(self)->height); }

int setDimension(int32_t& field, PyObject* value, const char* setName, const char* delName) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        addTraceback(delName, __LINE__);
        return -1;
    }
    int32_t converted = 0;
    if (!toInt32(value, converted)) {
        addTraceback(setName, __LINE__);
        return -1;
    }
    field = converted;
    return 0;
}

int setWidth(PyObject* self, PyObject* value, void*) {
    return setDimension(asImage(self)->width, value, "SimpleImage.width.__set__", "SimpleImage.width.__del__");
}
int setHeight(PyObject* self, PyObject* value, void*) {
    return setDimension(asImage(self)->height, value, "SimpleImage.height.__set__", "SimpleImage.height.__del__");
}

PyObject* getPixels(PyObject* self, void*) { return Py_NewRef(asImage(self)->pixels); }

int setPixels(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && Py_TYPE(value) != &PyByteArray_Type) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(value)->tp_name);
        addTraceback("SimpleImage._pixels.__set__", __LINE__);
        return -1;
    }
    Py_SETREF(asImage(self)->pixels, Py_NewRef(value));
    return 0;
}

PyObject* getSize(PyObject* self, void*) {
    return Py_BuildValue("(ii)", asImage(self)->width, asImage(self)->height);
}

PyGetSetDef imageGetset[] = {
    {"width", getWidth, setWidth, nullptr, nullptr},
    {"height", getHeight, setHeight, nullptr, nullptr},
    {"_pixels", getPixels, setPixels, nullptr, nullptr},
    {"size", getSize, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- copy and pickling -------------------------------------------------------------------

PyObject* copyBody(const Args& a) {
    constexpr const char* kName = "SimpleImage.copy";
    ImageObject* img = asImage(a.self);
    if (img->pixels == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        SI_FAIL(kName);
    }
    // The copy goes through the class's own constructor checks (never the receiver's type).
    Py_ssize_t expected = 0;
    Py_ssize_t length = PyByteArray_GET_SIZE(img->pixels);
    if (!expectedLength(img->width, img->height, expected) || expected != length) {
        PyErr_SetString(PyExc_ValueError, kLengthMismatch);
        addTraceback("SimpleImage.__cinit__", __LINE__);
        SI_FAIL(kName);
    }
    Ref copy(SimpleImageType.tp_alloc(&SimpleImageType, 0));
    SI_TRY(kName, copy);
    ImageObject* out = asImage(copy.get());
    out->width = img->width;
    out->height = img->height;
    out->pixels = PyByteArray_FromStringAndSize(PyByteArray_AS_STRING(img->pixels), length);
    SI_TRY(kName, out->pixels);
    return copy.release();
}

PyObject* refusePickling(const char* qualname) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    addTraceback(qualname, __LINE__);
    return nullptr;
}

PyObject* reduceBody(const Args&) { return refusePickling("SimpleImage.__reduce__"); }
PyObject* setStateBody(const Args&) { return refusePickling("SimpleImage.__setstate__"); }

const Annotation kCopyAnnotations[] = {{"return", "'SimpleImage'"}, {nullptr, nullptr}};

}  // namespace

Ref newImageTaking(PyObject* width, PyObject* height, Ref pixels) noexcept {
    Ref self = allocate(&SimpleImageType);
    if (!self) return self;
    Args a;
    a.obj[0] = width;
    a.obj[1] = height;
    a.obj[2] = pixels.get();
    if (!fill(asImage(self.get()), a, std::move(pixels))) return Ref();
    return self;
}

const FunctionSpec kCopySpec = {
    "copy", "SimpleImage.copy", Kind::Method, 0, {}, {}, nullptr, kCopyAnnotations, copyBody, &SimpleImageType,
};
const FunctionSpec kReduceSpec = {
    "__reduce__", "SimpleImage.__reduce__", Kind::Method, 0, {}, {}, nullptr, nullptr, reduceBody, &SimpleImageType,
};
const FunctionSpec kSetStateSpec = {
    "__setstate__", "SimpleImage.__setstate__", Kind::Method, 1, {"state"}, {Check::None}, nullptr, nullptr,
    setStateBody, &SimpleImageType,
};

bool readyImageType() noexcept {
    if (SimpleImageType.tp_flags & Py_TPFLAGS_READY) return true;
    for (int j = 0; j < 3; ++j) {
        static const char* const params[] = {"width", "height", "pixels"};
        g_ctorNames[j] = PyUnicode_InternFromString(params[j]);
        if (!g_ctorNames[j]) return false;
    }
    SimpleImageType.tp_name = "Vorlanx.simpleImage_ext.SimpleImage";
    SimpleImageType.tp_basicsize = sizeof(ImageObject);
    SimpleImageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    SimpleImageType.tp_doc = kDoc;
    SimpleImageType.tp_new = imageNew;
    SimpleImageType.tp_dealloc = imageDealloc;
    SimpleImageType.tp_getset = imageGetset;
    if (!initPixelAccess()) return false;
    Py_SET_REFCNT(&SimpleImageType, 1);  // static types are immortal
    return PyType_Ready(&SimpleImageType) == 0;
}

}  // namespace si::image
