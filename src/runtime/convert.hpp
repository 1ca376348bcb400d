// Argument conversions shared by every callable: the exact type test, the signed 32-bit
// integer conversion and fixed-count unpacking, each with the interpreter-style messages.
#pragma once

#include <cstdint>

#include "runtime/ref.hpp"

namespace si {

// True when `obj`'s type is exactly `type`. Otherwise raises the type-test TypeError naming
// `param`, with the subclass note when obj's type derives from `type`.
bool raiseTypeTest(PyObject* obj, PyTypeObject* type, const char* param) noexcept;
inline bool exactTypeTest(PyObject* obj, PyTypeObject* type, const char* param) noexcept {
    return Py_TYPE(obj) == type || raiseTypeTest(obj, type, param);
}

// Converts through int or the type's __int__ hook (never __index__ or string parsing) and
// range-checks to signed 32 bits. Returns false with an exception set on failure.
bool toInt32(PyObject* obj, int32_t& out) noexcept;

// Unpacks exactly `n` items of `seq` into `out` (new references). Exact tuples and lists are
// taken by length; anything else is iterated, drawing at most n + 1 items.
bool unpack(PyObject* seq, Py_ssize_t n, Ref* out) noexcept;

void raiseTooManyValues(Py_ssize_t expected) noexcept;
void raiseNeedMoreValues(Py_ssize_t found) noexcept;

// bytearray(obj) through the interpreter's own constructor: its errors are the user's.
Ref toByteArray(PyObject* obj) noexcept;

}  // namespace si
