#include "runtime/convert.hpp"

#include <climits>

namespace si {

namespace {
constexpr const char kSubclassNote[] =
    "Subclasses of built-in types are rejected here: the argument must be of exactly the "
    "expected type, which is stricter than the typing rules of PEP 484 ask.";

bool longToInt32(PyObject* value, int32_t& out) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int32_t>(v);
    return true;
}
}  // namespace

bool raiseTypeTest(PyObject* obj, PyTypeObject* type, const char* param) noexcept {
    if (PyType_IsSubtype(Py_TYPE(obj), type)) {
        Ref note(PyUnicode_FromString(kSubclassNote));
        if (!note) return false;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                     param, type->tp_name, Py_TYPE(obj)->tp_name, ". ", note.get());
    } else {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s",
                     param, type->tp_name, Py_TYPE(obj)->tp_name, "", "");
    }
    return false;
}

bool toInt32(PyObject* obj, int32_t& out) noexcept {
    if (PyLong_Check(obj)) return longToInt32(obj, out);
    // Only the type's nb_int slot, as the interpreter's own __int__ protocol: strings and
    // __index__-only objects are not integers here.
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref result(nb->nb_int(obj));
    if (!result) return false;
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return false;
    }
    return longToInt32(result.get(), out);
}

void raiseTooManyValues(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raiseNeedMoreValues(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

bool unpack(PyObject* seq, Py_ssize_t n, Ref* out) noexcept {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = Py_SIZE(seq);
        if (size > n) {
            raiseTooManyValues(n);
            return false;
        }
        if (size < n) {
            raiseNeedMoreValues(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref it(PyObject_GetIter(seq));
    if (!it) return false;
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i].reset(next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
                PyErr_Clear();
            }
            raiseNeedMoreValues(i);
            return false;
        }
    }
    Ref extra(next(it.get()));
    if (extra) {
        raiseTooManyValues(n);
        return false;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
        PyErr_Clear();
    }
    return true;
}

Ref toByteArray(PyObject* obj) noexcept {
    return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), obj));
}

}  // namespace si
