// Row conversion between stored BMP rows (B, G, R per pixel, rows padded to 4 bytes) and the
// image's RGB rows. Pure byte-span kernels with no Python in them, so they can be tested and
// timed on their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::bmp::rows {

// dst[3x..3x+2] = src[3x+2], src[3x+1], src[3x] for x < width. The same swap turns B, G, R
// into R, G, B and back. `src` must hold 3 * width bytes, `dst` 3 * width bytes; padding
// after the pixels of a stored row is never read.
void swapRedBlue(const uint8_t* src, uint8_t* dst, size_t width) noexcept;

// An RGB image row to a stored row: the swapped pixels, then `pad` zero bytes.
inline void toStoredRow(const uint8_t* rgb, uint8_t* stored, size_t width, size_t pad) noexcept {
    swapRedBlue(rgb, stored, width);
    for (size_t i = 0; i < pad; ++i) stored[3 * width + i] = 0;
}

// The two implementations behind swapRedBlue, exposed so tests can prove them identical.
void swapRedBlueScalar(const uint8_t* src, uint8_t* dst, size_t width) noexcept;
// Null when the processor lacks the instructions it needs.
using SwapFn = void (*)(const uint8_t*, uint8_t*, size_t) noexcept;
SwapFn swapRedBlueVector() noexcept;

}  // namespace si::bmp::rows
