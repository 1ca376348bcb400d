// The processor the module is built for, and what the running one offers beyond that.
//
// The x86 SIMD kernels (the *_x86.cpp files) exist only where SI_X86 is defined: on x86-64
// unless the build asks for the portable kernels alone (SI_PORTABLE). Everywhere else `has`
// answers false and the scalar kernels run, so no feature probe is compiled for a processor
// it does not know. 32-bit x86 is left out on purpose: its baseline has no SSE2, which the
// SSE2 kernels assume, and so few run it that the portable kernels serve it well enough.
#pragma once

#if defined(__x86_64__) && !defined(SI_PORTABLE)
#define SI_X86 1
#include <cpuid.h>
#endif

namespace si::cpu {

enum class Feature { SSE2, SSSE3, SSE41, AVX2, BMI2, PCLMUL };

#ifdef SI_X86
namespace detail {

struct X86 {
    bool sse2 = false, ssse3 = false, sse41 = false, avx2 = false, bmi2 = false, pclmul = false;
};

inline bool bit(unsigned reg, int n) noexcept { return (reg >> n) & 1u; }

// Asked of the processor itself with CPUID, not through __builtin_cpu_supports: that builtin
// reads a table the toolchain's runtime library fills in at load time, and a runtime that
// leaves it empty (zig's, which builds the wheels, does) holds every kernel to scalar code
// without a word. The bits are those of the processor manuals, leaf 1 and leaf 7.
inline X86 probe() noexcept {
    X86 f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    f.sse2 = bit(d, 26);
    f.ssse3 = bit(c, 9);
    f.sse41 = bit(c, 19);
    f.pclmul = bit(c, 1);
    // 256-bit registers need the system's consent too: OSXSAVE set, and XCR0 saving both the
    // SSE and the AVX state.
    bool ymm = false;
    if (bit(c, 27) && bit(c, 28)) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        ymm = (lo & 6) == 6;
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        f.avx2 = ymm && bit(b, 5);
        f.bmi2 = bit(b, 8);
    }
    return f;
}

}  // namespace detail
#endif

// Whether this build has kernels for `f` and the running processor can execute them.
inline bool has(Feature f) noexcept {
#ifdef SI_X86
    static const detail::X86 cpu = detail::probe();
    switch (f) {
        case Feature::SSE2:
            return cpu.sse2;
        case Feature::SSSE3:
            return cpu.ssse3;
        case Feature::SSE41:
            return cpu.sse41;
        case Feature::AVX2:
            return cpu.avx2;
        case Feature::BMI2:
            return cpu.bmi2;
        case Feature::PCLMUL:
            return cpu.pclmul;
    }
#endif
    (void)f;
    return false;
}

}  // namespace si::cpu
