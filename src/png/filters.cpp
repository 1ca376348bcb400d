// Scalar scanline kernels and the run-time choice of kernel set.
#include "png/filters.hpp"

#include <initializer_list>

#include "platform/cpu.hpp"

namespace si::png::kernels {

#ifdef SI_X86
// The SIMD sets, in filters_x86.cpp.
const Kernels* x86Kernels(Isa isa) noexcept;
#endif

namespace {

template <int Bpp>
void subScalar(uint8_t* row, const uint8_t*, size_t len) {
    for (size_t i = Bpp; i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - Bpp]);
}

void upScalar(uint8_t* __restrict row, const uint8_t* __restrict prev, size_t len) {
    for (size_t i = 0; i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
}

template <int Bpp>
void avgScalar(uint8_t* row, const uint8_t* prev, size_t len) {
    size_t i = 0;
    for (; i < Bpp && i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + (prev[i] >> 1));
    for (; i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + ((row[i - Bpp] + prev[i]) >> 1));
}

// Branch-free Paeth predictor: ties go to a, then b, then c.
inline int paeth(int a, int b, int c) {
    int p = b - c;  // p - a
    int q = a - c;  // p - b
    int pa = p < 0 ? -p : p;
    int pb = q < 0 ? -q : q;
    int pc = p + q < 0 ? -(p + q) : p + q;
    int bc = pb <= pc ? b : c;
    int m = pb <= pc ? pb : pc;
    return pa <= m ? a : bc;
}

template <int Bpp>
void paethScalar(uint8_t* row, const uint8_t* prev, size_t len) {
    size_t i = 0;
    // The first pixel has no left neighbour: the predictor reduces to up.
    for (; i < Bpp && i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + prev[i]);
    for (; i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + paeth(row[i - Bpp], prev[i], prev[i - Bpp]));
}

template <int Bpp>
void paethPairScalar(uint8_t* first, uint8_t* second, const uint8_t* prev, size_t len) {
    paethScalar<Bpp>(first, prev, len);
    paethScalar<Bpp>(second, first, len);
}

template <int Bpp>
void avgPairScalar(uint8_t* first, uint8_t* second, const uint8_t* prev, size_t len) {
    avgScalar<Bpp>(first, prev, len);
    avgScalar<Bpp>(second, first, len);
}

void stripScalar(const uint8_t* rgba, uint8_t* rgb, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        rgb[3 * i] = rgba[4 * i];
        rgb[3 * i + 1] = rgba[4 * i + 1];
        rgb[3 * i + 2] = rgba[4 * i + 2];
    }
}

// Average on the first row: the previous row is zero, so only half the left byte is added.
void avgFirstRow(uint8_t* row, size_t len, int bpp) {
    for (size_t i = bpp; i < len; ++i) row[i] = static_cast<uint8_t>(row[i] + (row[i - bpp] >> 1));
}

bool cpuHas(Isa isa) {
    using cpu::Feature;
    switch (isa) {
        case Isa::Scalar:
            return true;
        case Isa::SSE2:
            return cpu::has(Feature::SSE2);
        case Isa::SSSE3:
            return cpu::has(Feature::SSSE3);
        case Isa::SSE41:
            return cpu::has(Feature::SSE41);
        case Isa::AVX2:
            return cpu::has(Feature::AVX2);
    }
    return false;
}

}  // namespace

const Kernels kScalar = {
    "scalar",           subScalar<3>,   subScalar<4>,   upScalar, avgScalar<3>, avgScalar<4>,
    paethScalar<3>,     paethScalar<4>, paethPairScalar<3>, paethPairScalar<4>, avgPairScalar<4>,
    stripScalar,        nullptr,        nullptr,
};

const Kernels* kernelsFor(Isa isa) noexcept {
    if (!cpuHas(isa)) return nullptr;
    if (isa == Isa::Scalar) return &kScalar;
#ifdef SI_X86
    return x86Kernels(isa);
#else
    return nullptr;
#endif
}

const Kernels& bestKernels() noexcept {
    static const Kernels* best = [] {
        for (Isa isa : {Isa::AVX2, Isa::SSE41, Isa::SSSE3, Isa::SSE2})
            if (const Kernels* k = kernelsFor(isa)) return k;
        return &kScalar;
    }();
    return *best;
}

void unfilterRow(const Kernels& k, int filter, uint8_t* row, const uint8_t* prev, size_t len, int bpp) noexcept {
    bool rgba = bpp == 4;
    switch (filter) {
        case 1:
            (rgba ? k.sub4 : k.sub3)(row, prev, len);
            break;
        case 2:
            if (prev) k.up(row, prev, len);
            break;
        case 3:
            if (prev)
                (rgba ? k.avg4 : k.avg3)(row, prev, len);
            else
                avgFirstRow(row, len, bpp);
            break;
        case 4:
            // Against a zero row Paeth always picks the left byte: it is Sub.
            if (prev)
                (rgba ? k.paeth4 : k.paeth3)(row, prev, len);
            else
                (rgba ? k.sub4 : k.sub3)(row, prev, len);
            break;
        default:
            break;
    }
}

void unfilterPair(const Kernels& k, int filter, uint8_t* first, uint8_t* second, const uint8_t* prev, size_t len,
                  int bpp) noexcept {
    if (filter == 3)
        k.avgPair4(first, second, prev, len);
    else
        (bpp == 4 ? k.paethPair4 : k.paethPair3)(first, second, prev, len);
}

void unfilterQuad(const Kernels& k, uint8_t* const rows[4], const uint8_t* prev, size_t len, int bpp) noexcept {
    if (QuadFn quad = bpp == 4 ? k.paethQuad4 : k.paethQuad3) return quad(rows, prev, len);
    unfilterPair(k, 4, rows[0], rows[1], prev, len, bpp);
    unfilterPair(k, 4, rows[2], rows[3], rows[1], len, bpp);
}

}  // namespace si::png::kernels
