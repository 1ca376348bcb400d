// Helpers shared by the BMP decoder and encoder.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/ref.hpp"

namespace si::bmp {

// The interned string `text`, made on first use and kept for the life of the process
// (`slot` is a static of the caller). Null with an exception set when it cannot be made.
PyObject* interned(PyObject*& slot, const char* text) noexcept;

// floor((3 * width + 3) / 4) * 4: the stored row length, rounded toward minus infinity as
// integer floor division does, so negative widths give the same value as in Python.
constexpr int64_t storedRowStride(int64_t width) noexcept {
    int64_t sum = 3 * width + 3;
    int64_t q = sum / 4;
    if (sum % 4 != 0 && sum < 0) --q;
    return q * 4;
}

// a * b + c as an int object, exact whatever the magnitude: 64-bit arithmetic when it cannot
// overflow, the interpreter's unbounded integers otherwise.
Ref exactMulAdd(int64_t a, int64_t b, int64_t c) noexcept;

}  // namespace si::bmp
