// The one-shot inflater. Decoding runs in two loops per Huffman block: a fast one while at least
// kInSlack input bytes and kOutSlack output bytes remain, which refills a 64-bit bit buffer with
// one unaligned load and copies matches by whole words past their end, and an exact one for the
// edges, which decodes a symbol only when all its bits are there (taking the last input bytes
// one at a time) and writes nothing past what a symbol produces.
//
// What a stream may produce is decided by its refusals alone, so every failure (a bad code set,
// an invalid symbol or distance, a cut) ends with the bytes of every symbol decoded before it.
#include "flate/inflate.hpp"

#include <bit>
#include <cstring>
#include <iterator>

#include "flate/adler32.hpp"
#include "platform/cpu.hpp"

namespace si::inflate {

namespace {

// --- Decode tables. One 32-bit entry per index into the bit buffer's low bits:
//   bits 0-7    bits to consume: the codeword (at this table level) plus its extra bits
//   bits 8-11   the codeword's length at this level (for a link: the sub-table's index bits)
//   bits 12-15  flags
//   bits 16-31  value: a literal byte, a length or distance base, or a sub-table's offset
constexpr uint32_t kSubtable = 0x1000;
constexpr uint32_t kEndOfBlock = 0x2000;
constexpr uint32_t kInvalid = 0x4000;
constexpr uint32_t kLiteral = 0x8000;
constexpr uint32_t kExceptional = kSubtable | kEndOfBlock | kInvalid;

constexpr unsigned kMaxCodeBits = 15;
// Root widths: 11 bits resolve every literal and length code of a typical dynamic block in one
// look-up, 8 bits every distance code. A 10-bit literal/length root halves the table to build
// per block, which made the 16-pixel icon faster, but photographs and the screenshot 1 to 5%
// slower (more codes through a sub-table), so 11 it is.
constexpr unsigned kLitRootBits = 11;
constexpr unsigned kDistRootBits = 8;
constexpr unsigned kCodeLenRootBits = 7;

// Sub-tables all have max - root index bits. A complete code puts at least two codes under
// each sub-table's prefix, which bounds their number by half the symbol count.
constexpr size_t kLitTableSize = (size_t(1) << kLitRootBits) + 288 / 2 * (size_t(1) << (kMaxCodeBits - kLitRootBits));
constexpr size_t kDistTableSize =
    (size_t(1) << kDistRootBits) + 32 / 2 * (size_t(1) << (kMaxCodeBits - kDistRootBits));

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class CodeKind { CodeLengths, LitLen, Dist };

// The entry of each symbol before its codeword length is known: value, flags, extra bits.
template <CodeKind kind>
uint32_t symbolEntry(unsigned sym) {
    if constexpr (kind == CodeKind::LitLen) {
        if (sym < 256) return kLiteral | sym << 16;
        if (sym == 256) return kEndOfBlock;
        if (sym < 286) return uint32_t(kLengthBase[sym - 257]) << 16 | kLengthExtra[sym - 257];
        return kInvalid;  // 286 and 287 have codes in fixed blocks but mean nothing
    } else if constexpr (kind == CodeKind::Dist) {
        if (sym < 30) return uint32_t(kDistBase[sym]) << 16 | kDistExtra[sym];
        return kInvalid;  // 30 and 31, likewise
    } else {
        return sym << 16;
    }
}

// The canonical code after the `len`-bit code whose bits `rev` holds reversed: adds 1 at the
// code's low bit, which is rev's bit len - 1, carrying downwards. A longer code that follows
// is the shifted sum, whose reversal is the same number.
unsigned nextReversed(unsigned rev, unsigned len) {
    unsigned bit = 1u << (len - 1);
    while (rev & bit) bit >>= 1;
    return bit ? (rev & (bit - 1)) + bit : 0;
}

// Copies the first n entries (a power of two) after themselves.
inline void doubleTable(uint32_t* table, size_t n) {
    if (n < 4) {
        std::memcpy(table + n, table, n * sizeof(uint32_t));
        return;
    }
    for (size_t k = 0; k < n; k += 4) std::memcpy(table + n + k, table + k, 16);
}

// Builds the table of the canonical code with lengths lens[0, n) (0 = unused). Accepts what
// zlib accepts: no over-subscribed set; no incomplete set, except that a literal/length or
// distance set whose longest code is 1 bit may be, and a distance set may be empty (every
// unused index then decodes as an invalid symbol, so only a use fails). The code-length code
// must be complete.
template <CodeKind kind>
bool buildTable(uint32_t* table, size_t capacity, unsigned rootBits, const uint8_t* lens, unsigned n) {
    // Four tallies: one would make each count wait for the previous store to the same length.
    unsigned tally[4][kMaxCodeBits + 1] = {};
    unsigned s = 0;
    for (; s + 4 <= n; s += 4) {
        tally[0][lens[s]]++;
        tally[1][lens[s + 1]]++;
        tally[2][lens[s + 2]]++;
        tally[3][lens[s + 3]]++;
    }
    for (; s < n; ++s) tally[0][lens[s]]++;
    unsigned count[kMaxCodeBits + 1];
    for (unsigned len = 0; len <= kMaxCodeBits; ++len)
        count[len] = tally[0][len] + tally[1][len] + tally[2][len] + tally[3][len];
    count[0] = 0;
    unsigned maxLen = kMaxCodeBits;
    while (maxLen > 0 && count[maxLen] == 0) --maxLen;
    const size_t rootSize = size_t(1) << rootBits;
    const uint32_t invalid1 = kInvalid | 1u << 8 | 1u;  // a 1-bit codeword that means nothing
    // An empty literal/length set has no end-of-block code, which is refused before; an empty
    // code-length set would read every length as 0 and so end up there too.
    if (maxLen == 0 && kind != CodeKind::Dist) return false;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = (left << 1) - int(count[len]);
        if (left < 0) return false;
    }
    if (maxLen > 0 && left > 0 && (kind == CodeKind::CodeLengths || maxLen != 1)) return false;

    // Symbols in canonical order (by length, then by symbol) take increasing codes.
    unsigned offset[kMaxCodeBits + 2] = {};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) offset[len + 1] = offset[len] + count[len];
    uint16_t sorted[288];
    for (s = 0; s < n; ++s)
        if (lens[s]) sorted[offset[lens[s]]++] = uint16_t(s);
    const unsigned used = offset[kMaxCodeBits + 1];

    // Root entries: each code is written once into a table of 2^len entries, and the table is
    // doubled (its first half copied) as the lengths grow, then up to the root width. Slots no
    // code covers (an incomplete or empty set) keep the invalid entry they start with.
    // Measured on the 16-pixel icon (one dynamic block): a third of the time per stream went
    // into writing each short code at every stride before; the doubling copies are memcpy.
    table[0] = table[1] = invalid1;
    unsigned filledBits = 1;
    unsigned rev = 0;  // the next code, bit-reversed as the stream sends it (high bit first)
    unsigned i = 0;
    for (; i < used && lens[sorted[i]] <= rootBits; ++i) {
        const unsigned sym = sorted[i], len = lens[sym];
        for (; filledBits < len; ++filledBits) doubleTable(table, size_t(1) << filledBits);
        table[rev] = symbolEntry<kind>(sym) + len + (len << 8);
        rev = nextReversed(rev, len);
    }
    for (; filledBits < rootBits; ++filledBits) doubleTable(table, size_t(1) << filledBits);

    // Longer codes: their root prefix links to a sub-table of max - root index bits.
    const unsigned subBits = maxLen > rootBits ? maxLen - rootBits : 0;
    const size_t subSize = size_t(1) << subBits;
    size_t next = rootSize;  // where the next sub-table goes
    size_t subStart = 0;     // the current sub-table
    unsigned prefix = ~0u;   // the root index that links to it
    for (; i < used; ++i) {
        const unsigned sym = sorted[i], len = lens[sym];
        const unsigned root = rev & unsigned(rootSize - 1);
        if (root != prefix) {  // codes sharing a root prefix are consecutive in canonical order
            if (next + subSize > capacity) return false;  // cannot happen for a complete code
            prefix = root;
            subStart = next;
            next += subSize;
            table[root] = uint32_t(subStart) << 16 | kSubtable | subBits << 8 | rootBits;
        }
        const unsigned subLen = len - rootBits;
        const uint32_t entry = symbolEntry<kind>(sym) + subLen + (subLen << 8);
        for (size_t k = rev >> rootBits; k < subSize; k += size_t(1) << subLen) table[subStart + k] = entry;
        rev = nextReversed(rev, len);
    }
    return true;
}

struct Tables {
    uint32_t lit[kLitTableSize];
    uint32_t dist[kDistTableSize];
};

const Tables& fixedTables() {
    static const Tables fixed = [] {
        Tables t{};
        uint8_t lens[288];
        for (unsigned s = 0; s < 288; ++s) lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        buildTable<CodeKind::LitLen>(t.lit, kLitTableSize, kLitRootBits, lens, 288);
        std::memset(lens, 5, 32);
        buildTable<CodeKind::Dist>(t.dist, kDistTableSize, kDistRootBits, lens, 32);
        return t;
    }();
    return fixed;
}

// The next 8 input bytes as one word, the first byte lowest: deflate's bit order on any host.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the inflater reads words in little- or big-endian byte order only");
inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// --- Bit input. Bits [0, count) of `buf` are the next input bits; any bits above them are
// either zero or the correct bits that follow (a word load fetches ahead of what it counts).
struct Bits {
    const uint8_t* in;
    const uint8_t* end;
    uint64_t buf = 0;
    unsigned count = 0;

    // Exact refill: whole bytes while they fit and the input lasts. It stops at 63 bits at
    // most, which the word refill of the fast loop needs (it shifts by the count).
    void refillBytes() {
        while (count < 56 && in < end) {
            buf |= uint64_t(*in++) << count;
            count += 8;
        }
    }
    // Up to at least 56 bits, by one word load while 8 bytes remain.
    void refill() {
        if (end - in >= 8) {
            buf |= load64(in) << count;
            in += (63 - count) >> 3;
            count |= 56;
        } else {
            refillBytes();
        }
    }
    bool need(unsigned n) {
        if (count < n) refill();
        return count >= n;
    }
    uint32_t take(unsigned n) {  // after need(n)
        uint32_t v = uint32_t(buf & ((uint64_t(1) << n) - 1));
        buf >>= n;
        count -= n;
        return v;
    }
    void alignToByte() { take(count & 7); }
    // Gives the whole bytes held in the buffer back to the input (after alignToByte).
    void unread() {
        in -= count / 8;
        buf = 0;
        count = 0;
    }
};

struct Output {
    uint8_t* begin;
    uint8_t* out;
    uint8_t* end;
};

enum class BlockEnd { EndOfBlock, Full, Error };

// --- Match copies in the fast loop, where kOutSlack bytes past the match may be scribbled.
inline void copy8(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 8); }
inline void copy16(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 16); }

inline void copyMatchFast(uint8_t* dst, size_t dist, size_t len) {
    uint8_t* const stop = dst + len;
    const uint8_t* src = dst - dist;
    if (dist >= 16) {
        // Each 16-byte copy reads only bytes written before it, in order.
        do {
            copy16(dst, src);
            copy16(dst + 16, src + 16);
            dst += 32;
            src += 32;
        } while (dst < stop);
    } else if (dist >= 8) {
        do {
            copy8(dst, src);
            copy8(dst + 8, src + 8);
            dst += 16;
            src += 16;
        } while (dst < stop);
    } else if (dist == 1) {
        const uint8_t b = src[0];
        do {
            std::memset(dst, b, 32);
            dst += 32;
            // Hides the stride from clang, which would turn the loop into one call to the C
            // library's memset, whose set-up outweighs these short runs (4% of a flat
            // diagram's decode); the stores stay inline, as gcc leaves them.
            __asm__("" : "+r"(dst));
        } while (dst < stop);
    } else {
        // Lay down the first 8 bytes one at a time, then copy words from the smallest multiple
        // of the period that is at least 8 back: the same bytes, with no overlap in a word.
        for (int i = 0; i < 8; ++i) dst[i] = src[i];
        static constexpr uint8_t kStep[8] = {0, 0, 8, 9, 8, 10, 12, 14};
        const size_t step = kStep[dist];
        for (dst += 8; dst < stop; dst += 8) copy8(dst, dst - step);
    }
}

// Exact copy of n bytes from dist back; the source may overlap the destination.
inline void copyMatchExact(uint8_t* dst, size_t dist, size_t n) {
    if (dist >= n) {
        std::memcpy(dst, dst - dist, n);
    } else {
        const uint8_t* src = dst - dist;
        for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    }
}

constexpr size_t kInSlack = 8;            // a word refill reads 8 bytes
constexpr size_t kOutSlack = 258 + 32;    // a match and its copy's overrun (or three literals)
constexpr uint64_t kLitMask = (uint64_t(1) << kLitRootBits) - 1;
constexpr uint64_t kDistMask = (uint64_t(1) << kDistRootBits) - 1;

inline uint32_t extraBits(uint64_t saved, uint32_t entry) {
    return uint32_t((saved & ((uint64_t(1) << (entry & 63)) - 1)) >> (entry >> 8 & 15));
}
inline uint64_t lowBits(uint64_t v, uint32_t n) { return v & ((uint64_t(1) << n) - 1); }

enum class FastEnd { EndOfBlock, Error, Handover };

// The fast loop. Invariants at the top of each iteration: at least kInSlack input bytes and
// kOutSlack output bytes remain, the buffer holds at least 56 bits, and `e` is the table entry
// of the next code, looked up ahead so that its load overlaps the previous symbol's work.
//
// `count` is only meaningful in its low 6 bits: entries are subtracted whole (their low byte is
// the bit count, and it never exceeds what is held), which saves masking on every symbol.
// Measured against the first version of this loop (one refill per symbol pair, the next entry
// looked up after the copy), minimum of 25 interleaved runs: kodim02 15% faster, the screenshot
// 12%, the diagram 26%. The BMI2 build (shifts that need not go through CL, and BZHI) gains a
// further 2 to 8% on the large streams, so it is chosen when the CPU has it.
[[gnu::always_inline]] inline FastEnd fastLoop(Bits& bits, uint8_t* const begin, uint8_t*& outRef, uint8_t* const outEnd,
                                             const uint32_t* lit, const uint32_t* dist) {
    const uint8_t* in = bits.in;
    uint64_t buf = bits.buf;
    uint32_t count = bits.count;
    uint8_t* out = outRef;
    const uint8_t* const inLimit = bits.end - kInSlack;
    uint8_t* const outLimit = outEnd - kOutSlack;
#define SI_REFILL()                                  \
    do {                                             \
        buf |= load64(in) << (count & 63);           \
        in += 7 - ((count >> 3) & 7);                \
        count |= 56;                                 \
    } while (0)
#define SI_CONSUME(entry)        \
    do {                         \
        buf >>= (entry) & 63;    \
        count -= (entry);        \
    } while (0)
    FastEnd result = FastEnd::Handover;
    SI_REFILL();
    uint32_t e = lit[buf & kLitMask];
    // Each way round ends with a refill; the loop goes on while the next one stays in bounds.
    while (in <= inLimit) {
        uint64_t saved = buf;
        SI_CONSUME(e);
        if (e & kLiteral) {
            // Three literals take at most 45 of the 56 bits.
            const uint32_t e2 = lit[buf & kLitMask];
            if (e2 & kLiteral) {
                SI_CONSUME(e2);
                out[0] = uint8_t(e >> 16);
                out[1] = uint8_t(e2 >> 16);
                out += 2;
                e = lit[buf & kLitMask];
                if (e & kLiteral) {
                    SI_CONSUME(e);
                    *out++ = uint8_t(e >> 16);
                    e = lit[buf & kLitMask];
                }
            } else {
                *out++ = uint8_t(e >> 16);
                e = e2;
            }
            SI_REFILL();
            if (out > outLimit) break;
            continue;
        }
        if (e & kExceptional) {
            if (e & kSubtable) {  // the root bits are consumed; the rest index the sub-table
                e = lit[(e >> 16) + lowBits(buf, e >> 8 & 15)];
                saved = buf;
                SI_CONSUME(e);
                if (e & kLiteral) {
                    *out++ = uint8_t(e >> 16);
                    e = lit[buf & kLitMask];
                    SI_REFILL();
                    if (out > outLimit) break;
                    continue;
                }
            }
            if (e & kExceptional) {
                result = e & kEndOfBlock ? FastEnd::EndOfBlock : FastEnd::Error;
                break;
            }
        }
        // A length (at most 20 bits with its extra bits), then a distance (at most 28).
        const size_t length = (e >> 16) + extraBits(saved, e);
        uint32_t d = dist[buf & kDistMask];
        if (d & kExceptional) {
            if (d & kSubtable) {
                SI_CONSUME(d);
                d = dist[(d >> 16) + lowBits(buf, d >> 8 & 15)];
            }
            if (d & kInvalid) {
                result = FastEnd::Error;
                break;
            }
        }
        saved = buf;
        SI_CONSUME(d);
        const size_t distance = (d >> 16) + extraBits(saved, d);
        if (distance > size_t(out - begin)) {
            result = FastEnd::Error;
            break;
        }
        // The next look-up goes before the refill, which it would otherwise wait for: the 16
        // bits it needs are still those of the last refill's load (at most 48 were taken since).
        e = lit[buf & kLitMask];
        SI_REFILL();
        copyMatchFast(out, distance, length);
        out += length;
        if (out > outLimit) break;
    }
#undef SI_REFILL
#undef SI_CONSUME
    bits.in = in;
    bits.buf = buf;
    bits.count = count & 63;
    outRef = out;
    return result;
}

using FastLoopFn = FastEnd (*)(Bits&, uint8_t*, uint8_t*&, uint8_t*, const uint32_t*, const uint32_t*);

FastEnd fastLoopBaseline(Bits& bits, uint8_t* begin, uint8_t*& out, uint8_t* end, const uint32_t* lit,
                         const uint32_t* dist) {
    return fastLoop(bits, begin, out, end, lit, dist);
}

#ifdef SI_X86
__attribute__((target("bmi2"))) FastEnd fastLoopBmi2(Bits& bits, uint8_t* begin, uint8_t*& out, uint8_t* end,
                                                     const uint32_t* lit, const uint32_t* dist) {
    return fastLoop(bits, begin, out, end, lit, dist);
}
#endif

FastLoopFn fastLoopFor(detail::FastLoop which) {
#ifdef SI_X86
    if (which == detail::FastLoop::Bmi2) return cpu::has(cpu::Feature::BMI2) ? fastLoopBmi2 : nullptr;
#else
    if (which == detail::FastLoop::Bmi2) return nullptr;
#endif
    return fastLoopBaseline;
}

FastLoopFn bestFastLoop() {
    static const FastLoopFn best = [] {
        const FastLoopFn bmi2 = fastLoopFor(detail::FastLoop::Bmi2);
        return bmi2 ? bmi2 : fastLoopBaseline;
    }();
    return best;
}

BlockEnd exactLoop(Bits& state, Output& o, const uint32_t* lit, const uint32_t* dist);

BlockEnd decodeHuffman(FastLoopFn fast, Bits& bits, Output& o, const uint32_t* lit, const uint32_t* dist) {
    if (size_t(bits.end - bits.in) >= kInSlack && size_t(o.end - o.out) >= kOutSlack) {
        switch (fast(bits, o.begin, o.out, o.end, lit, dist)) {
            case FastEnd::EndOfBlock:
                return BlockEnd::EndOfBlock;
            case FastEnd::Error:
                return BlockEnd::Error;
            case FastEnd::Handover:
                break;
        }
    }
    return exactLoop(bits, o, lit, dist);
}

// The exact loop: every symbol is decoded only if all its bits are in the input, and nothing
// is written past o.end. It works on a copy of the bit state, which the compiler keeps in
// registers (the byte stores could alias the caller's), and hands it back at end-of-block,
// the only way out after which decoding goes on.
BlockEnd exactLoop(Bits& state, Output& o, const uint32_t* lit, const uint32_t* dist) {
    Bits bits = state;
    uint8_t* out = o.out;
    for (;;) {
        if (bits.count < 20) bits.refill();  // a length code with its extra bits
        uint32_t e = lit[bits.buf & kLitMask];
        if (e & kSubtable) {
            if (bits.count < kLitRootBits) break;
            bits.take(kLitRootBits);
            e = lit[(e >> 16) + lowBits(bits.buf, e >> 8 & 15)];
        }
        if ((e & 63) > bits.count) break;
        if (e & kLiteral) {
            if (out == o.end) {
                o.out = out;
                return BlockEnd::Full;
            }
            bits.take(e & 63);
            *out++ = uint8_t(e >> 16);
            continue;
        }
        if (e & kEndOfBlock) {
            bits.take(e & 63);
            state = bits;
            o.out = out;
            return BlockEnd::EndOfBlock;
        }
        if (e & kInvalid) break;
        uint64_t saved = bits.buf;
        bits.take(e & 63);
        const size_t length = (e >> 16) + extraBits(saved, e);
        if (bits.count < 28) bits.refill();  // a distance code with its extra bits
        e = dist[bits.buf & kDistMask];
        if (e & kSubtable) {
            if (bits.count < kDistRootBits) break;
            bits.take(kDistRootBits);
            e = dist[(e >> 16) + lowBits(bits.buf, e >> 8 & 15)];
        }
        if ((e & 63) > bits.count || (e & kInvalid)) break;
        saved = bits.buf;
        bits.take(e & 63);
        const size_t distance = (e >> 16) + extraBits(saved, e);
        if (distance > size_t(out - o.begin)) break;
        const size_t room = size_t(o.end - out);
        const size_t n = length < room ? length : room;
        copyMatchExact(out, distance, n);
        out += n;
        if (n < length) {
            o.out = out;
            return BlockEnd::Full;
        }
    }
    o.out = out;
    return BlockEnd::Error;
}

// Reads a dynamic block's code lengths and builds its tables. Like the exact loop, it works on
// a copy of the bit state and hands it back on success.
bool readDynamicTables(Bits& state, Tables& t) {
    Bits bits = state;
    if (!bits.need(14)) return false;
    const unsigned nLit = bits.take(5) + 257, nDist = bits.take(5) + 1, nCodeLen = bits.take(4) + 4;
    if (nLit > 286 || nDist > 30) return false;
    uint8_t codeLenLens[19] = {};
    for (unsigned i = 0; i < nCodeLen; ++i) {
        if (!bits.need(3)) return false;
        codeLenLens[kCodeLenOrder[i]] = uint8_t(bits.take(3));
    }
    uint32_t codeLenTable[1u << kCodeLenRootBits];
    if (!buildTable<CodeKind::CodeLengths>(codeLenTable, std::size(codeLenTable), kCodeLenRootBits, codeLenLens, 19))
        return false;

    uint8_t lens[286 + 30];
    const unsigned total = nLit + nDist;
    for (unsigned i = 0; i < total;) {
        if (bits.count < 14) bits.refill();  // a 7-bit code and 7 extra bits at most
        const uint32_t e = codeLenTable[bits.buf & ((1u << kCodeLenRootBits) - 1)];
        if ((e & 63) > bits.count) return false;
        bits.take(e & 63);
        const unsigned sym = e >> 16;
        if (sym < 16) {
            lens[i++] = uint8_t(sym);
            continue;
        }
        unsigned repeat;
        uint8_t value = 0;
        if (sym == 16) {
            if (i == 0 || !bits.need(2)) return false;
            repeat = 3 + bits.take(2);
            value = lens[i - 1];
        } else if (sym == 17) {
            if (!bits.need(3)) return false;
            repeat = 3 + bits.take(3);
        } else {
            if (!bits.need(7)) return false;
            repeat = 11 + bits.take(7);
        }
        if (repeat > total - i) return false;
        std::memset(lens + i, value, repeat);
        i += repeat;
    }
    if (lens[256] == 0) return false;  // no end-of-block code
    state = bits;
    return buildTable<CodeKind::LitLen>(t.lit, kLitTableSize, kLitRootBits, lens, nLit) &&
           buildTable<CodeKind::Dist>(t.dist, kDistTableSize, kDistRootBits, lens + nLit, nDist);
}

// Copies a stored block's bytes; the block's length fields have been read and checked.
BlockEnd copyStored(Bits& bits, Output& o, size_t len) {
    bits.unread();
    size_t n = size_t(bits.end - bits.in);
    if (n > len) n = len;
    const size_t room = size_t(o.end - o.out);
    if (n > room) {
        if (room) std::memcpy(o.out, bits.in, room);
        o.out += room;
        return BlockEnd::Full;
    }
    if (n) std::memcpy(o.out, bits.in, n);
    o.out += n;
    bits.in += n;
    return n == len ? BlockEnd::EndOfBlock : BlockEnd::Error;
}

Result inflateWith(FastLoopFn fast, const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) {
    Bits bits{in, in + inLen};
    if (!bits.need(16)) return {Status::Error, 0};
    const unsigned cmf = bits.take(8), flg = bits.take(8);
    // Check bits, method 8, a window of at most 32 KiB, and no preset dictionary.
    if ((cmf << 8 | flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) > 7 || (flg & 0x20)) return {Status::Error, 0};

    Output o{out, out, out + cap};
    uint32_t adler = 1;
    const uint8_t* summed = out;  // out[0, summed) is in `adler`
    Tables dynamic;
    bool last = false;
    while (!last) {
        if (!bits.need(3)) return {Status::Error, size_t(o.out - out)};
        const uint32_t header = bits.take(3);
        last = header & 1;
        BlockEnd end;
        switch (header >> 1) {
            case 0: {
                bits.alignToByte();
                if (!bits.need(32)) return {Status::Error, size_t(o.out - out)};
                const uint32_t len = bits.take(16), complement = bits.take(16);
                if (len != (~complement & 0xFFFF)) return {Status::Error, size_t(o.out - out)};
                end = copyStored(bits, o, len);
                break;
            }
            case 1: {
                const Tables& fixed = fixedTables();
                end = decodeHuffman(fast, bits, o, fixed.lit, fixed.dist);
                break;
            }
            case 2:
                if (!readDynamicTables(bits, dynamic)) return {Status::Error, size_t(o.out - out)};
                end = decodeHuffman(fast, bits, o, dynamic.lit, dynamic.dist);
                break;
            default:
                return {Status::Error, size_t(o.out - out)};
        }
        if (end == BlockEnd::Full) return {Status::Full, cap};
        if (end == BlockEnd::Error) return {Status::Error, size_t(o.out - out)};
        // Sum what this block wrote while it is still in cache (AVX2: 0.036 ns per byte from
        // cache, 0.068 from memory; the diagram inflates to 24 MiB).
        adler = adler32::update(adler, summed, size_t(o.out - summed));
        summed = o.out;
    }
    bits.alignToByte();
    const size_t produced = size_t(o.out - out);
    if (!bits.need(32)) return {Status::Error, produced};
    const uint32_t stored = __builtin_bswap32(bits.take(32));
    return {stored == adler ? Status::End : Status::Error, produced};
}

}  // namespace

Result zlibInflate(const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) noexcept {
    return inflateWith(bestFastLoop(), in, inLen, out, cap);
}

bool detail::hasFastLoop(FastLoop which) noexcept { return fastLoopFor(which) != nullptr; }

Result detail::zlibInflateUsing(FastLoop which, const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) noexcept {
    const FastLoopFn fast = fastLoopFor(which);
    return fast ? inflateWith(fast, in, inLen, out, cap) : Result{Status::Error, 0};
}

}  // namespace si::inflate
