// Single-pixel access. The general path follows the interpreter's generic protocols step by
// step (comparisons, index arithmetic, item access, int()), so any coordinate or component
// type behaves as it would in Python. A fast path takes the common case (exact ints, an
// exact bytearray) without allocating and gives the same results.
#include <climits>

#include "image/image.hpp"
#include "runtime/convert.hpp"
#include "runtime/traceback.hpp"

namespace si::image {

namespace {

constexpr const char kGetName[] = "SimpleImage.getPixel";
constexpr const char kPutName[] = "SimpleImage.putPixel";
constexpr const char kOutOfBounds[] = "Pixel coordinate out of bounds";

ImageObject* asImage(PyObject* obj) { return reinterpret_cast<ImageObject*>(obj); }

// The ints 0..255, held for the life of the process: a pixel read hands out three of them.
PyObject* g_byteInts[256];

// A new reference to the int `v` (0..255).
inline PyObject* byteInt(unsigned char v) { return Py_NewRef(g_byteInts[v]); }

// A new reference to a small int (the interpreter caches these, so this does not allocate).
PyObject* smallInt(long v) { return PyLong_FromLong(v); }

// The value of an exact int if it fits a long.
__attribute__((always_inline)) inline bool exactLong(PyObject* obj, long& out) {
    if (!PyLong_CheckExact(obj)) return false;
    // Ints of one digit (|v| < 2**30) are read directly: the common case for coordinates.
    Py_ssize_t size = Py_SIZE(obj);
    if (size >= -1 && size <= 1) {
        out = size * static_cast<long>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
        return true;
    }
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(obj, &overflow);  // cannot fail on an exact int
    return overflow == 0;
}

// Fast path: exact int coordinates inside the image and a bytearray long enough. Returns the
// byte index, or -1 when the general path must decide (including every error).
Py_ssize_t fastIndex(const ImageObject* img, PyObject* xo, PyObject* yo) {
    long x = 0, y = 0;
    if (!exactLong(xo, x) || !exactLong(yo, y) || !PyByteArray_CheckExact(img->pixels)) return -1;
    if (x < 0 || x >= img->width || y < 0 || y >= img->height) return -1;
    // y < height and x < width both fit 31 bits, so the pixel number fits 62 bits; it is
    // checked against the buffer before the multiplication by 3, which could then not wrap.
    int64_t cell = int64_t{y} * img->width + x;
    if (cell >= PyByteArray_GET_SIZE(img->pixels) / 3) return -1;
    return static_cast<Py_ssize_t>(cell * 3);
}

// Is `0 <= x < width` and `0 <= y < height`, by four generic comparisons in that order,
// stopping at the first false one.
bool inBounds(const ImageObject* img, PyObject* x, PyObject* y) {
    Ref zero(smallInt(0));
    Ref width(PyLong_FromLong(img->width));
    if (!zero || !width) return false;
    const struct {
        PyObject* left;
        PyObject* right;
        int op;
    } tests[] = {{zero.get(), x, Py_LE}, {x, width.get(), Py_LT}, {zero.get(), y, Py_LE}, {y, nullptr, Py_LT}};
    for (const auto& t : tests) {
        Ref right = t.right ? Ref::borrow(t.right) : Ref(PyLong_FromLong(img->height));
        if (!right) return false;
        Ref result(PyObject_RichCompare(t.left, right.get(), t.op));
        if (!result) return false;
        int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return false;
        if (!truth) {
            PyErr_SetString(PyExc_ValueError, kOutOfBounds);
            return false;
        }
    }
    return true;
}

// index = (y * width + x) * 3 with generic arithmetic, in that order.
Ref genericIndex(const ImageObject* img, PyObject* x, PyObject* y) {
    Ref width(PyLong_FromLong(img->width));
    if (!width) return Ref();
    Ref row(PyNumber_Multiply(y, width.get()));
    if (!row) return Ref();
    Ref sum(PyNumber_Add(row.get(), x));
    if (!sum) return Ref();
    Ref three(smallInt(3));
    if (!three) return Ref();
    return Ref(PyNumber_Multiply(sum.get(), three.get()));
}

// index + k by generic addition.
Ref offsetIndex(PyObject* index, long k) {
    if (k == 0) return Ref::borrow(index);
    Ref step(smallInt(k));
    return step ? Ref(PyNumber_Add(index, step.get())) : Ref();
}

// The byte index of pixel `coords` when the fast path applies to it, else -1.
inline Py_ssize_t fastIndexOf(const ImageObject* img, PyObject* coords) {
    if (!PyTuple_CheckExact(coords) || PyTuple_GET_SIZE(coords) != 2) return -1;
    return fastIndex(img, PyTuple_GET_ITEM(coords, 0), PyTuple_GET_ITEM(coords, 1));
}

PyObject* getPixelFast(PyObject* self, PyObject* const* args) {
    ImageObject* img = asImage(self);
    Py_ssize_t index = fastIndexOf(img, args[0]);
    if (index < 0) return nullptr;
    // Read before the tuple is made: allocating it may run a collection, and a finalizer may
    // replace or resize the buffer. The pixel is then the one the call saw.
    const auto* p = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(img->pixels)) + index;
    const unsigned char r = p[0], g = p[1], b = p[2];
    PyObject* rgb = PyTuple_New(3);
    if (!rgb) {
        addTraceback(kGetName, __LINE__);
        return nullptr;
    }
    PyTuple_SET_ITEM(rgb, 0, byteInt(r));
    PyTuple_SET_ITEM(rgb, 1, byteInt(g));
    PyTuple_SET_ITEM(rgb, 2, byteInt(b));
    return rgb;
}

// The steps both methods share, on the general path: unpack (x, y), the bounds test, then
// index = (y * width + x) * 3. A failure carries the entry of the method `qualname`.
Ref locate(const ImageObject* img, PyObject* coords, const char* qualname) {
    Ref xy[2];
    SI_TRY(qualname, unpack(coords, 2, xy));
    SI_TRY(qualname, inBounds(img, xy[0].get(), xy[1].get()));
    Ref index = genericIndex(img, xy[0].get(), xy[1].get());
    SI_TRY(qualname, index);
    return index;
}

PyObject* getPixelBody(const Args& a) {
    ImageObject* img = asImage(a.self);
    Ref index = locate(img, a.obj[0], kGetName);
    if (!index) return nullptr;
    Ref items[3];
    for (long k = 0; k < 3; ++k) {
        Ref at = offsetIndex(index.get(), k);
        SI_TRY(kGetName, at);
        Ref pixels = Ref::borrow(img->pixels);  // held: the index's own hooks may replace it
        items[k].reset(PyObject_GetItem(pixels.get(), at.get()));
        SI_TRY(kGetName, items[k]);
    }
    return PyTuple_Pack(3, items[0].get(), items[1].get(), items[2].get());
}

// int(v) & 255 for one component, as the interpreter computes it.
Ref reduceComponent(PyObject* v) {
    Ref asInt = PyLong_CheckExact(v) ? Ref::borrow(v) : Ref(PyNumber_Long(v));
    if (!asInt) return Ref();
    long small = 0;
    if (exactLong(asInt.get(), small)) return Ref::borrow(g_byteInts[small & 0xFF]);
    Ref mask(PyLong_FromLong(0xFF));
    return mask ? Ref(PyNumber_And(asInt.get(), mask.get())) : Ref();
}

// Stores the three components of exact ints straight into an exact bytearray.
bool fastStore(ImageObject* img, Py_ssize_t index, PyObject* value) {
    if (!PyTuple_CheckExact(value) && !PyList_CheckExact(value)) return false;
    if (Py_SIZE(value) != 3) return false;
    PyObject** items = PySequence_Fast_ITEMS(value);
    long c[3];
    for (int k = 0; k < 3; ++k)
        if (!exactLong(items[k], c[k])) return false;
    auto* p = reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(img->pixels)) + index;
    for (int k = 0; k < 3; ++k) p[k] = static_cast<unsigned char>(c[k] & 0xFF);
    return true;
}

PyObject* putPixelFast(PyObject* self, PyObject* const* args) {
    ImageObject* img = asImage(self);
    Py_ssize_t index = fastIndexOf(img, args[0]);
    if (index < 0 || !fastStore(img, index, args[1])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* putPixelBody(const Args& a) {
    ImageObject* img = asImage(a.self);
    Ref index = locate(img, a.obj[0], kPutName);
    if (!index) return nullptr;
    Ref rgb[3];
    SI_TRY(kPutName, unpack(a.obj[1], 3, rgb));
    for (long k = 0; k < 3; ++k) {
        Ref reduced = reduceComponent(rgb[k].get());
        SI_TRY(kPutName, reduced);
        Ref at = offsetIndex(index.get(), k);
        SI_TRY(kPutName, at);
        // Read afresh for every store: a component's __int__ may have replaced the buffer.
        Ref pixels = Ref::borrow(img->pixels);
        SI_TRY(kPutName, PyObject_SetItem(pixels.get(), at.get(), reduced.get()) == 0);
    }
    Py_RETURN_NONE;
}

const char* const kGetLocals[] = {"x", "y", "index", nullptr};
const char* const kPutLocals[] = {"x", "y", "index", "r", "g", "b", nullptr};
const Annotation kGetAnnotations[] = {
    {"coords", "Tuple[int, int]"}, {"return", "Tuple[int, int, int]"}, {nullptr, nullptr}};
const Annotation kPutAnnotations[] = {
    {"coords", "Tuple[int, int]"}, {"value", "Sequence[int]"}, {"return", "None"}, {nullptr, nullptr}};

}  // namespace

bool initPixelAccess() noexcept {
    for (int v = 0; v < 256; ++v) {
        if (g_byteInts[v]) continue;
        g_byteInts[v] = PyLong_FromLong(v);
        if (!g_byteInts[v]) return false;
    }
    return true;
}

const FunctionSpec kGetPixelSpec = {
    "getPixel", kGetName, Kind::Method, 1, {"coords"}, {Check::ExactTuple}, kGetLocals, kGetAnnotations,
    getPixelBody, &SimpleImageType, getPixelFast,
};
const FunctionSpec kPutPixelSpec = {
    "putPixel", kPutName, Kind::Method, 2, {"coords", "value"}, {Check::ExactTuple, Check::None}, kPutLocals,
    kPutAnnotations, putPixelBody, &SimpleImageType, putPixelFast,
};

}  // namespace si::image
