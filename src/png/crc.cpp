#include "png/crc.hpp"

#include <array>

#include "platform/cpu.hpp"

#ifdef SI_X86
#include <immintrin.h>
#endif

namespace si::png::crc {

namespace {

// Byte at a time, reflected polynomial 0xEDB88320: for the few bytes the folding leaves.
constexpr std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        t[i] = c;
    }
    return t;
}();

uint32_t bytewise(uint32_t state, const uint8_t* p, size_t len) {
    while (len--) state = kTable[(state ^ *p++) & 0xFFu] ^ (state >> 8);
    return state;
}

#ifdef SI_X86
inline __m128i load(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// a.low * k.low + a.high * k.high + b: moves `a` forward over `b` by the distance `k` encodes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i step(__m128i a, __m128i k, __m128i b) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

// Folds 64-byte blocks four lanes at a time, then 16-byte blocks, then reduces the 128-bit
// remainder to 32 bits (Barrett). Works on the bit-reflected, pre-inverted state; `len` is at
// least 64 and a multiple of 16. The constants are x^n mod P for the fold distances, reflected.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold(uint32_t state, const uint8_t* p, size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(state)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    len -= 64;
    for (; len >= 64; p += 64, len -= 64) {
        x1 = step(x1, k1k2, load(p));
        x2 = step(x2, k1k2, load(p + 16));
        x3 = step(x3, k1k2, load(p + 32));
        x4 = step(x4, k1k2, load(p + 48));
    }
    x1 = step(x1, k3k4, x2);
    x1 = step(x1, k3k4, x3);
    x1 = step(x1, k3k4, x4);
    for (; len >= 16; p += 16, len -= 16) x1 = step(x1, k3k4, load(p));

    // 128 to 64 bits, then 64 to 32.
    __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2b);
    // Barrett reduction.
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, x2b);
    return uint32_t(_mm_extract_epi32(x1, 1));
}
#endif

}  // namespace

bool available() noexcept {
#ifdef SI_X86
    static const bool yes = cpu::has(cpu::Feature::PCLMUL) && cpu::has(cpu::Feature::SSE41);
    return yes;
#else
    return false;
#endif
}

uint32_t update(uint32_t crc, const uint8_t* p, size_t len) noexcept {
    uint32_t state = ~crc;
#ifdef SI_X86
    if (len >= 64) {
        size_t folded = len & ~size_t{15};
        state = fold(state, p, folded);
        p += folded;
        len -= folded;
    }
#endif
    return ~bytewise(state, p, len);
}

}  // namespace si::png::crc
