// CRC-32 (the one zlib.crc32 computes) by carry-less multiplication, for the chunk checksums:
// several times faster than a table, and chunk CRCs are a few percent of a photograph's
// decode. Pure byte work, checked against the interpreter's zlib in the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::png::crc {

// True when this CPU has the instructions (PCLMULQDQ, SSE4.1); update() must not be called
// otherwise.
bool available() noexcept;

// The CRC of `len` bytes at `p` continued from `crc`, as zlib.crc32(data, crc).
uint32_t update(uint32_t crc, const uint8_t* p, size_t len) noexcept;

}  // namespace si::png::crc
