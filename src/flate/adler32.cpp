// Scalar Adler-32 and the run-time choice of version.
#include "flate/adler32.hpp"

#include <initializer_list>

#include "platform/cpu.hpp"

namespace si::adler32 {

#ifdef SI_X86
// The SIMD versions, in adler32_x86.cpp.
Fn x86Impl(Isa isa) noexcept;
#endif

namespace {

uint32_t updateScalar(uint32_t adler, const uint8_t* data, size_t len) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (len) {
        size_t run = len < kMaxRun ? len : kMaxRun;
        len -= run;
        for (; run; --run) {
            a += *data++;
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

bool cpuHas(Isa isa) {
    switch (isa) {
        case Isa::Scalar:
            return true;
        case Isa::SSSE3:
            return cpu::has(cpu::Feature::SSSE3);
        case Isa::AVX2:
            return cpu::has(cpu::Feature::AVX2);
    }
    return false;
}

}  // namespace

Fn implFor(Isa isa) noexcept {
    if (!cpuHas(isa)) return nullptr;
    if (isa == Isa::Scalar) return updateScalar;
#ifdef SI_X86
    return x86Impl(isa);
#else
    return nullptr;
#endif
}

uint32_t update(uint32_t adler, const uint8_t* data, size_t len) noexcept {
    static const Fn best = [] {
        for (Isa isa : {Isa::AVX2, Isa::SSSE3})
            if (Fn f = implFor(isa)) return f;
        return implFor(Isa::Scalar);
    }();
    return best(adler, data, len);
}

}  // namespace si::adler32
