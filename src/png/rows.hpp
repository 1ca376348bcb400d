// Row assembly for image data that arrives in pieces (the inflater of a rebound `zlib`):
// bytes are gathered into rows and each complete row is unfiltered at once, straight into
// the pixel buffer while it is still in cache.
#pragma once

#include <cstdint>
#include <memory>

#include "png/filters.hpp"
#include "png/header.hpp"

namespace si::png {

// Makes no interpreter call, so the pixel buffer's address is taken afresh at every feed.
//
// A Paeth row (or an Average row of RGBA pixels) waits for the next row: when that has the
// same filter, the two are unfiltered together (see unfilterPair), which is markedly faster
// than one after the other. RGB rows are assembled in the pixel buffer itself; RGBA rows in a
// ring of three (previous, waiting, filling), each stripped of its alpha once reconstructed.
class Rows {
public:
    Rows(const Geometry& g, PyObject* pixels) : g_(g), pixels_(pixels), k_(kernels::bestKernels()) {}

    bool init() noexcept;  // false with MemoryError set
    void reset() noexcept;
    void feed(const uint8_t* p, size_t n) noexcept;
    // After a bad filter byte nothing more is reconstructed; its value, or -1.
    int badFilter() const noexcept { return bad_; }

private:
    uint8_t* row(uint8_t* pix, size_t y) const noexcept;
    const uint8_t* above(uint8_t* pix, size_t y) const noexcept { return y == 0 ? nullptr : row(pix, y - 1); }
    void done(uint8_t* pix, size_t y) noexcept;
    void unfilter(uint8_t* pix, size_t y, int filter) noexcept;
    void endRow(uint8_t* pix) noexcept;

    const Geometry& g_;
    PyObject* pixels_;
    const kernels::Kernels& k_;
    std::unique_ptr<uint8_t[]> ring_;  // RGBA rows before the alpha is dropped
    size_t ringRows_ = 1;
    size_t y_ = 0;
    size_t pos_ = 0;
    bool needFilter_ = true;
    int waiting_ = 0;  // the filter (3 or 4) of row y_ - 1 when it is not yet unfiltered
    int filter_ = 0;
    int bad_ = -1;
};

}  // namespace si::png
