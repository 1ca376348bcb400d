// Adler-32 (RFC 1950) over byte spans: a scalar reference and SIMD versions chosen at run time.
// At the inflater's speed the checksum is a visible share of the time, so it is vectorised.
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::adler32 {

// Continues the checksum `adler` (1 for an empty span) over data[0, len).
using Fn = uint32_t (*)(uint32_t adler, const uint8_t* data, size_t len);

enum class Isa { Scalar, SSSE3, AVX2 };

// The version for `isa`, or null when this CPU cannot run it.
Fn implFor(Isa isa) noexcept;

// The fastest version this CPU runs, chosen on first use.
uint32_t update(uint32_t adler, const uint8_t* data, size_t len) noexcept;

// The largest count of bytes whose sums cannot overflow 32 bits before a reduction modulo
// 65521, starting from sums already reduced.
inline constexpr size_t kMaxRun = 5552;
inline constexpr uint32_t kModulus = 65521;

}  // namespace si::adler32
