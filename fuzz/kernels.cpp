// libFuzzer target for the pure byte kernels: every PNG unfilter kernel set this CPU runs, the
// whole-image reconstruction (rows paired and taken four at a time, RGB compacted in place) and
// the BMP red/blue swap (scalar and vector) must agree byte for byte with the plain reference
// loops below, written straight from the filter definitions, on data the fuzzer chooses.
//
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc fuzz/kernels.cpp \
//       src/png/filters.cpp src/png/filters_x86.cpp src/png/scanlines.cpp src/bmp/rows.cpp \
//       -o build/fuzz_kernels
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bmp/rows.hpp"
#include "png/filters.hpp"
#include "png/scanlines.hpp"

namespace {

namespace k = si::png::kernels;

int paethReference(int a, int b, int c) {
    int p = a + b - c;
    int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    if (pb <= pc) return b;
    return c;
}

// Reverses `filter` over `row` with `prev` the reconstructed previous row (zeros for the first).
void unfilterReference(int filter, uint8_t* row, const uint8_t* prev, size_t len, size_t bpp) {
    for (size_t i = 0; i < len; ++i) {
        int left = i >= bpp ? row[i - bpp] : 0;
        int up = prev[i];
        int upLeft = i >= bpp ? prev[i - bpp] : 0;
        int predictor = 0;
        switch (filter) {
            case 1: predictor = left; break;
            case 2: predictor = up; break;
            case 3: predictor = (left + up) >> 1; break;
            case 4: predictor = paethReference(left, up, upLeft); break;
            default: break;
        }
        row[i] = static_cast<uint8_t>(row[i] + predictor);
    }
}

[[noreturn]] void mismatch() { __builtin_trap(); }

// Input: [bpp bit | filter | first-row bit] [length bytes...] then row and previous row bytes.
void checkUnfilter(const uint8_t* data, size_t size) {
    if (size < 3) return;
    const size_t bpp = (data[0] & 1) ? 4 : 3;
    const int filter = (data[0] >> 1) % 5;
    const bool firstRow = data[0] & 0x10;
    size_t pixels = (size_t(data[1]) | size_t(data[2]) << 8) % 2049;
    data += 3;
    size -= 3;
    const size_t len = pixels * bpp;
    // One spare byte keeps data() non-null for empty rows; the kernels get exact-size copies.
    std::vector<uint8_t> row(len + 1), prev(len + 1, 0);
    for (size_t i = 0; i < len; ++i) {
        row[i] = size ? data[i % size] : uint8_t(i);
        if (!firstRow) prev[i] = size ? data[(i * 7 + 3) % size] ^ uint8_t(i) : uint8_t(i * 5);
    }
    std::vector<uint8_t> want = row;
    unfilterReference(filter, want.data(), prev.data(), len, bpp);

    for (k::Isa isa : {k::Isa::Scalar, k::Isa::SSE2, k::Isa::SSSE3, k::Isa::SSE41, k::Isa::AVX2}) {
        const k::Kernels* set = k::kernelsFor(isa);
        if (!set) continue;
        // Exact-size heap copies, so ASan sees any access past either row.
        auto* got = new uint8_t[len ? len : 1];
        auto* above = new uint8_t[len ? len : 1];
        std::memcpy(got, row.data(), len);
        std::memcpy(above, prev.data(), len);
        k::unfilterRow(*set, filter, got, firstRow ? nullptr : above, len, int(bpp));
        if (std::memcmp(got, want.data(), len) != 0) mismatch();
        if (std::memcmp(above, prev.data(), len) != 0) mismatch();  // the previous row is read-only
        delete[] got;
        delete[] above;

        // Alpha strip over the same bytes taken as RGBA pixels.
        size_t count = len / 4;
        auto* rgb = new uint8_t[count * 3];
        set->stripAlpha(row.data(), rgb, count);
        for (size_t i = 0; i < count; ++i)
            if (std::memcmp(rgb + 3 * i, row.data() + 4 * i, 3) != 0) mismatch();
        delete[] rgb;
    }
}

// Input: [bpp bit | width] [height] then filter bytes and row bytes, cycled. Rows of filter
// types 3 and 4 are frequent, so that pairs and fours form.
void checkImage(const uint8_t* data, size_t size) {
    if (size < 3) return;
    const int bpp = (data[0] & 1) ? 4 : 3;
    const size_t width = (data[0] >> 1) % 40, height = 1 + data[1] % 12;
    data += 2;
    size -= 2;
    const size_t len = width * size_t(bpp), stride = len + 1;
    std::vector<uint8_t> raw(stride * height), want(width * 3 * height), prev(len, 0);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = data[i % size] ^ uint8_t(i / size);
    for (size_t y = 0; y < height; ++y) {
        uint8_t& filter = raw[y * stride];
        filter = uint8_t(filter % 8 < 5 ? filter % 8 : 4 - filter % 8 % 2);  // 5, 6, 7 -> 4, 3, 4
        std::vector<uint8_t> row(raw.begin() + long(y * stride + 1), raw.begin() + long((y + 1) * stride));
        unfilterReference(filter, row.data(), prev.data(), len, size_t(bpp));
        for (size_t x = 0; x < width; ++x) std::memcpy(&want[(y * width + x) * 3], &row[x * size_t(bpp)], 3);
        prev = row;
    }
    for (k::Isa isa : {k::Isa::Scalar, k::Isa::SSE2, k::Isa::SSSE3, k::Isa::SSE41, k::Isa::AVX2}) {
        const k::Kernels* set = k::kernelsFor(isa);
        if (!set) continue;
        auto* work = new uint8_t[raw.size()];
        std::memcpy(work, raw.data(), raw.size());
        auto* rgb = bpp == 3 ? work : new uint8_t[want.size() ? want.size() : 1];
        si::png::scanlines::reconstruct(*set, work, height, width, bpp, rgb);
        if (!want.empty() && std::memcmp(rgb, want.data(), want.size()) != 0) mismatch();
        if (rgb != work) delete[] rgb;
        delete[] work;
    }
}

void checkSwap(const uint8_t* data, size_t size) {
    const size_t width = size / 3;
    if (width == 0) {
        uint8_t none[1] = {0};
        si::bmp::rows::swapRedBlueScalar(data, none, 0);
        return;
    }
    auto* src = new uint8_t[3 * width];
    std::memcpy(src, data, 3 * width);
    std::vector<uint8_t> want(3 * width);
    for (size_t x = 0; x < width; ++x) {
        want[3 * x] = src[3 * x + 2];
        want[3 * x + 1] = src[3 * x + 1];
        want[3 * x + 2] = src[3 * x];
    }
    auto* dst = new uint8_t[3 * width];
    si::bmp::rows::swapRedBlueScalar(src, dst, width);
    if (std::memcmp(dst, want.data(), 3 * width) != 0) mismatch();
    if (auto vector = si::bmp::rows::swapRedBlueVector()) {
        std::memset(dst, 0, 3 * width);
        vector(src, dst, width);
        if (std::memcmp(dst, want.data(), 3 * width) != 0) mismatch();
    }
    // The stored-row form: swapped pixels, then zero padding.
    const size_t pad = (4 - (3 * width) % 4) % 4;
    auto* stored = new uint8_t[3 * width + pad];
    std::memset(stored, 0xAA, 3 * width + pad);
    si::bmp::rows::toStoredRow(src, stored, width, pad);
    if (std::memcmp(stored, want.data(), 3 * width) != 0) mismatch();
    for (size_t i = 0; i < pad; ++i)
        if (stored[3 * width + i] != 0) mismatch();
    delete[] stored;
    delete[] dst;
    delete[] src;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 0x80)
        checkSwap(data + 1, size - 1);
    else if (data[0] & 0x40)
        checkImage(data + 1, size - 1);
    else
        checkUnfilter(data, size);
    return 0;
}
