#include "png/rows.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace si::png {

bool Rows::init() noexcept {
    if (g_.bpp == 4 && g_.height > 0 && g_.rowLength > 0) {
        // Left uninitialised: every byte is written before it is read. Fewer than three rows
        // never have one waiting, so they need only as many buffers as rows.
        ringRows_ = std::min<size_t>(3, g_.height);
        ring_.reset(new (std::nothrow) uint8_t[ringRows_ * g_.rowLength]);
        if (!ring_) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

void Rows::reset() noexcept {
    y_ = 0;
    pos_ = 0;
    needFilter_ = true;
    waiting_ = 0;
    bad_ = -1;
}

void Rows::feed(const uint8_t* p, size_t n) noexcept {
    uint8_t* pix = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(pixels_));
    while (n > 0 && y_ < g_.height) {
        if (needFilter_) {
            filter_ = *p++;
            --n;
            needFilter_ = false;
            pos_ = 0;
            if (g_.rowLength == 0) endRow(pix);
            continue;
        }
        size_t take = std::min(n, g_.rowLength - pos_);
        // After a bad filter byte nothing more can be reconstructed; the bytes are only counted.
        if (bad_ < 0) std::memcpy(row(pix, y_) + pos_, p, take);
        pos_ += take;
        p += take;
        n -= take;
        if (pos_ == g_.rowLength) endRow(pix);
    }
}

uint8_t* Rows::row(uint8_t* pix, size_t y) const noexcept {
    return g_.bpp == 4 ? ring_.get() + (y % ringRows_) * g_.rowLength : pix + y * g_.rowLength;
}

void Rows::done(uint8_t* pix, size_t y) noexcept {
    if (g_.bpp == 4) k_.stripAlpha(row(pix, y), pix + y * g_.width * 3, g_.width);
}

void Rows::unfilter(uint8_t* pix, size_t y, int filter) noexcept {
    kernels::unfilterRow(k_, filter, row(pix, y), above(pix, y), g_.rowLength, g_.bpp);
    done(pix, y);
}

void Rows::endRow(uint8_t* pix) noexcept {
    size_t y = y_++;
    needFilter_ = true;
    // A row of no bytes never has its filter byte looked at.
    if (bad_ >= 0 || g_.rowLength == 0) return;
    if (filter_ > 4) {
        bad_ = filter_;
        return;
    }
    if (waiting_) {
        int waiting = waiting_;
        waiting_ = 0;
        if (filter_ == waiting) {
            kernels::unfilterPair(k_, waiting, row(pix, y - 1), row(pix, y), above(pix, y - 1), g_.rowLength, g_.bpp);
            done(pix, y - 1);
            done(pix, y);
            return;
        }
        unfilter(pix, y - 1, waiting);
    }
    // The first row has no row above to pair against, and the last has none after it.
    if ((filter_ == 4 || (filter_ == 3 && g_.bpp == 4)) && y > 0 && y + 1 < g_.height) {
        waiting_ = filter_;
        return;
    }
    unfilter(pix, y, filter_);
}

}  // namespace si::png
