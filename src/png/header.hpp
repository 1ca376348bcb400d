// The IHDR fields of a PNG file and every size a decode derives from them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/ref.hpp"

namespace si::png {

// -1 marks a field no IHDR has set.
struct Header {
    int32_t width = -1, height = -1, bitDepth = -1, colorType = -1, compression = -1, filterMethod = -1,
            interlace = -1;
};

// Sizes of the decode, each within the signed 32-bit range.
struct Geometry {
    int bpp;                // bytes per pixel in the file: 3 or 4
    size_t width;
    size_t height;
    size_t rowLength;       // width * bpp
    Py_ssize_t expected;    // height * (rowLength + 1): the inflated image data
    Py_ssize_t pixelBytes;  // width * height * 3
};

// width, height, ... = struct.unpack(">IIBBBBB", data), each made a signed 32-bit integer.
bool readHeader(PyObject* data, Header& h) noexcept;

// The header refusals, in their order: missing fields, bit depth, colour type, methods.
bool checkHeader(const Header& h) noexcept;

// Every size of the decode, checked before anything is allocated or inflated.
bool measure(const Header& h, Geometry& g) noexcept;

// ValueError("Malformed PNG image data"); returns false.
bool malformed() noexcept;

}  // namespace si::png
