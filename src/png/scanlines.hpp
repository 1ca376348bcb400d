// Reconstruction of an image's scanlines held whole (inflated in one piece): pure byte work,
// no interpreter, so it is tested against the row-by-row path and fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "png/filters.hpp"

namespace si::png::scanlines {

// The filter byte of the first row (of `height` rows of 1 + rowLength bytes) whose filter
// type is unknown (above 4), or -1. Rows of no bytes are never looked at.
int firstBadFilter(const uint8_t* data, size_t height, size_t rowLength) noexcept;

// Unfilters `height` rows of `width` pixels of `bpp` bytes (3 or 4), stored one after another
// in `data` each behind its filter byte (all known, see firstBadFilter), and leaves the RGB
// pixels, rows back to back, in `rgb`.
// For bpp 3, `rgb` may be `data` itself: each row is unfiltered where it lies and then moved
// down to its place, which never lies after it, so the image is compacted in place.
// For bpp 4, `rgb` must not overlap `data`; `data` is unfiltered in place.
void reconstruct(const kernels::Kernels& k, uint8_t* data, size_t height, size_t width, int bpp,
                 uint8_t* rgb) noexcept;

}  // namespace si::png::scanlines
