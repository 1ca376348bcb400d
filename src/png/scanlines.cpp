#include "png/scanlines.hpp"

#include <cstring>

namespace si::png::scanlines {

int firstBadFilter(const uint8_t* data, size_t height, size_t rowLength) noexcept {
    if (rowLength == 0) return -1;
    for (size_t y = 0; y < height; ++y)
        if (data[y * (rowLength + 1)] > 4) return data[y * (rowLength + 1)];
    return -1;
}

void reconstruct(const kernels::Kernels& k, uint8_t* data, size_t height, size_t width, int bpp,
                 uint8_t* rgb) noexcept {
    const size_t rowLength = width * size_t(bpp);
    if (rowLength == 0) return;
    const size_t stride = rowLength + 1;
    auto filter = [&](size_t y) { return int(data[y * stride]); };
    auto row = [&](size_t y) { return data + y * stride + 1; };
    // The reconstructed row above: an RGB row has already been moved to its place; an RGBA row
    // stays where it was unfiltered, alpha and all, as the next row's filter needs it.
    auto above = [&](size_t y) -> const uint8_t* {
        if (y == 0) return nullptr;
        return bpp == 3 ? rgb + (y - 1) * rowLength : row(y - 1);
    };
    auto place = [&](size_t y) {
        if (bpp == 3)
            std::memmove(rgb + y * rowLength, row(y), rowLength);
        else
            k.stripAlpha(row(y), rgb + y * width * 3, width);
    };
    for (size_t y = 0; y < height;) {
        const int f = filter(y);
        // Paeth rows go four at a time, and two at a time as do Average rows of RGBA pixels,
        // when the next rows have the same filter: independent chains run faster side by side
        // than one after the other. The first row has no row above to pair against.
        const bool pairs = f == 4 || (f == 3 && bpp == 4);
        if (f == 4 && y > 0 && y + 3 < height && filter(y + 1) == 4 && filter(y + 2) == 4 && filter(y + 3) == 4) {
            uint8_t* const rows[4] = {row(y), row(y + 1), row(y + 2), row(y + 3)};
            kernels::unfilterQuad(k, rows, above(y), rowLength, bpp);
            for (size_t i = 0; i < 4; ++i) place(y + i);
            y += 4;
            continue;
        }
        if (pairs && y > 0 && y + 1 < height && filter(y + 1) == f) {
            kernels::unfilterPair(k, f, row(y), row(y + 1), above(y), rowLength, bpp);
            place(y);
            place(y + 1);
            y += 2;
            continue;
        }
        kernels::unfilterRow(k, f, row(y), above(y), rowLength, bpp);
        place(y);
        ++y;
    }
}

}  // namespace si::png::scanlines
