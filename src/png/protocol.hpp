// What the PNG routines share on the interpreter side: constants made once, and the calls
// into the namespace's `struct` and `zlib` that framing, decoding and encoding all make.
#pragma once

#include <cstdint>

#include "runtime/ref.hpp"

namespace si::png {

// Objects made on first use and kept for the life of the process.
struct Constants {
    PyObject* formatU32;   // ">I"
    PyObject* formatIhdr;  // ">IIBBBBB"
    PyObject* ihdr;        // b"IHDR"
    PyObject* idat;        // b"IDAT"
    PyObject* iend;        // b"IEND"
    PyObject* empty;       // b""
    PyObject* four;        // 4
    PyObject* eight;       // 8
    PyObject* crcMask;     // 0xFFFFFFFF
};

// Null with an exception set if they cannot be made.
const Constants* constants() noexcept;

// Whether the namespace's `struct.<method>` is the standard one (see isStandardFunction):
// 1 or 0, or -1 with an error set when `struct` is not bound at all.
int standardStruct(PyObject* method) noexcept;

// The unsigned big-endian 32-bit number in the 4 bytes at `p`.
uint32_t bigEndian32(const char* p) noexcept;

// struct.unpack(">I", data)[0] and struct.pack(">I", value), `struct` looked up now; the
// standard struct's result is computed directly for exact bytes and exact ints in range.
Ref unpackU32(PyObject* data) noexcept;
Ref packU32(PyObject* value) noexcept;

// zlib.crc32(data, zlib.crc32(chunkType)) & 0xFFFFFFFF, `zlib` looked up at each call.
Ref chunkCrc(PyObject* chunkType, PyObject* data) noexcept;

// `a == b` as the interpreter compares them, with a direct path for exact bytes.
int bytesEqual(PyObject* a, PyObject* b) noexcept;

}  // namespace si::png
