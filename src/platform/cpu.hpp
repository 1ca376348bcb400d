// The processor the module is built for, and what the running one offers beyond that.
//
// The x86 SIMD kernels (the *_x86.cpp files) exist only where SI_X86 is defined: on x86 hosts
// unless the build asks for the portable kernels alone (SI_PORTABLE). Everywhere else `has`
// answers false and the scalar kernels run, so no feature probe is compiled for a processor
// it does not know.
#pragma once

#include <bit>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(SI_PORTABLE)
#define SI_X86 1
#endif

namespace si::cpu {

enum class Feature { SSE2, SSSE3, SSE41, AVX2, BMI2, PCLMUL };

// Whether this build has kernels for `f` and the running processor can execute them.
inline bool has(Feature f) noexcept {
#ifdef SI_X86
    __builtin_cpu_init();
    switch (f) {
        case Feature::SSE2:
            return __builtin_cpu_supports("sse2");
        case Feature::SSSE3:
            return __builtin_cpu_supports("ssse3");
        case Feature::SSE41:
            return __builtin_cpu_supports("sse4.1");
        case Feature::AVX2:
            return __builtin_cpu_supports("avx2");
        case Feature::BMI2:
            return __builtin_cpu_supports("bmi2");
        case Feature::PCLMUL:
            return __builtin_cpu_supports("pclmul");
    }
#endif
    (void)f;
    return false;
}

}  // namespace si::cpu
