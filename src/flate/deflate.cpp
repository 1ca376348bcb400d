// The lazy matcher, the block builder and the bit writer of the one-shot deflater.
//
// Exactness rests on reproducing zlib's state, not its copying. The input is never copied into
// a window: the window is a view of the input at `base`, the count of bytes zlib's window would
// have slid by, and `base` and the amount of input zlib would have read (`readEnd`) are
// simulated exactly, because they decide which chain entries still exist, where a search stops,
// and whether a block whose start has left the window may still be sent stored. The chains hold
// positions relative to that base in 16 bits, as zlib's do, and slide with it.
//
// The lookahead zlib sees (`readEnd - pos`) is at least 262 bytes whenever input remains
// unread, so its limits on match length, nice length and insertion only bite at the true end
// of the input, where they are the same here.
#include "flate/deflate.hpp"

#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "flate/adler32.hpp"
#include "platform/cpu.hpp"

#ifdef SI_X86
#include <emmintrin.h>
#endif

namespace si::deflate {

namespace {

// --- zlib's level-6 parameters and the deflate format's constants.
constexpr uint32_t kWindow = 32768;
constexpr uint32_t kWindowMask = kWindow - 1;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;  // 262
constexpr uint32_t kMaxDist = kWindow - kMinLookahead;          // 32506
constexpr uint32_t kSlideAt = kWindow + kMaxDist;               // 65274: zlib slides from here
constexpr uint32_t kTooFar = 4096;       // a 3-byte match farther back than this is dropped
constexpr uint32_t kGoodLength = 8;      // a previous match this long quarters the chain
constexpr uint32_t kMaxLazy = 16;        // no search when the previous match is this long
constexpr uint32_t kNiceLength = 128;    // a search stops at a match this long
constexpr uint32_t kMaxChain = 128;
constexpr uint32_t kHashBits = 15;
constexpr uint32_t kHashMask = (1u << kHashBits) - 1;
constexpr uint32_t kBlockSymbols = 16383;  // lit_bufsize - 1 at memory level 8

// The finer index is taken up or given up every this many positions, by the count of zlib's
// chain steps per position in the stretch before: taken up from kTakeUpFiner, kept down to
// kKeepFiner. Since the plain walk follows two chains at once (prev2), it is as fast as the
// finer index on every benchmark photograph, whose stretches reach at most 11 steps per
// position; the finer index still halves the time where nearly every candidate shares only 3
// bytes (a random 8-letter alphabet: 13 steps per position plain, 24 counted by the finer walk).
constexpr size_t kStretch = 32768;
constexpr uint64_t kTakeUpFiner = 12;
constexpr uint64_t kKeepFiner = 10;
constexpr size_t kSwitchingStretch = 4096;  // the test mode's

constexpr int kLiterals = 256;
constexpr int kEndBlock = 256;
constexpr int kLitCodes = 286;
constexpr int kDistCodes = 30;
constexpr int kBlCodes = 19;
constexpr int kHeapSize = 2 * kLitCodes + 1;
constexpr int kMaxBits = 15;
constexpr int kMaxBlBits = 7;

// Inputs whose positions, plus the bytes zlib reads ahead, fit the 32-bit chain entries.
constexpr size_t kMaxInput = 0xFFFFFFFFu - 2 * 65536;

// --- Code tables, computed once at compile time.
struct Tables {
    uint8_t lengthCode[256];   // match length - 3 -> length code 0..28
    uint8_t lengthBase[29];    // first (length - 3) of each length code
    uint8_t lengthExtra[29];
    uint8_t distCode[512];     // distance - 1 -> code, as zlib's d_code() indexes it
    uint16_t distBase[30];     // first (distance - 1) of each distance code
    uint8_t distExtra[30];
    uint8_t blExtra[kBlCodes];
    uint8_t staticLitLen[288];
    uint16_t staticLitCode[288];
    uint16_t staticDistCode[kDistCodes];
};

constexpr unsigned reverseBits(unsigned code, int len) {
    unsigned r = 0;
    for (int i = 0; i < len; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

constexpr Tables makeTables() {
    Tables t{};
    int length = 0;
    for (int code = 0; code < 28; ++code) {
        t.lengthExtra[code] = uint8_t(code < 8 ? 0 : (code - 4) / 4);
        t.lengthBase[code] = uint8_t(length);
        for (int n = 0; n < (1 << t.lengthExtra[code]); ++n) t.lengthCode[length++] = uint8_t(code);
    }
    // Length 258 has two encodings (code 27 with all extra bits set, or code 28); the short one
    // is used, so its entry is overwritten.
    t.lengthCode[255] = 28;
    t.lengthBase[28] = 255;
    t.lengthExtra[28] = 0;
    int dist = 0;
    for (int code = 0; code < 30; ++code) {
        t.distExtra[code] = uint8_t(code < 4 ? 0 : (code - 2) / 2);
        t.distBase[code] = uint16_t(dist);
        for (int n = 0; n < (1 << t.distExtra[code]); ++n, ++dist) {
            if (dist < 256) t.distCode[dist] = uint8_t(code);
            else t.distCode[256 + (dist >> 7)] = uint8_t(code);
        }
    }
    for (int n = 0; n < kBlCodes; ++n) t.blExtra[n] = n == 16 ? 2 : n == 17 ? 3 : n == 18 ? 7 : 0;
    int count[10] = {};
    for (int n = 0; n < 288; ++n) {
        t.staticLitLen[n] = uint8_t(n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8);
        ++count[t.staticLitLen[n]];
    }
    unsigned next[10] = {};
    unsigned code = 0;
    for (int bits = 1; bits < 10; ++bits) next[bits] = code = (code + unsigned(count[bits - 1])) << 1;
    for (int n = 0; n < 288; ++n) t.staticLitCode[n] = uint16_t(reverseBits(next[t.staticLitLen[n]]++, t.staticLitLen[n]));
    for (int n = 0; n < kDistCodes; ++n) t.staticDistCode[n] = uint16_t(reverseBits(unsigned(n), 5));
    return t;
}

constexpr Tables kT = makeTables();
constexpr uint8_t kStaticDistLen[kDistCodes] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
                                                5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
constexpr uint8_t kBlOrder[kBlCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Without a branch: near and far distances alternate as the data does.
inline unsigned distCodeOf(unsigned distMinus1) {
    const unsigned far = 0u - unsigned(distMinus1 >= 256);
    return kT.distCode[distMinus1 ^ ((distMinus1 ^ (256 + (distMinus1 >> 7))) & far)];
}

// --- Loads of bytes in memory order; stores in little-endian order on any machine.
inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void storeLE64(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

#ifndef SI_X86
// Eight 16-bit entries counting up by one, as two 8-byte words: `steps(first)` holds the first
// four (first + 7 < 65536), `storeSteps8` writes them and the four after. A loop of 2-byte
// stores was compiled with its counter spilled and reloaded wider than stored, a forwarding
// stall per run.
constexpr uint64_t kLanes = 0x0001000100010001u;
inline uint64_t steps(uint32_t first) {
    constexpr uint64_t kSteps = std::endian::native == std::endian::little ? 0x0003000200010000u : 0x0000000100020003u;
    return uint64_t(first) * kLanes + kSteps;
}

inline void storeSteps8(uint16_t* p, uint64_t lo) {
    const uint64_t hi = lo + 4 * kLanes;
    std::memcpy(p, &lo, 8);
    std::memcpy(p + 4, &hi, 8);
}
#endif

// The count of equal leading bytes of two 8-byte words read from memory.
inline unsigned equalBytes(uint64_t a, uint64_t b) {
    const uint64_t x = a ^ b;
    if constexpr (std::endian::native == std::endian::little) return unsigned(std::countr_zero(x)) >> 3;
    else return unsigned(std::countl_zero(x)) >> 3;
}

// The length of the common prefix of p and q, at most `limit`; reads nothing at or past
// p + limit, q + limit.
inline uint32_t commonPrefix(const uint8_t* p, const uint8_t* q, uint32_t limit) {
    uint32_t k = 0;
#ifdef SI_X86
    // Sixteen bytes a step: matches on flat images run to the nice length and beyond.
    while (k + 16 <= limit) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + k));
        const unsigned differ = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) ^ 0xFFFFu;
        if (differ) return k + unsigned(std::countr_zero(differ));
        k += 16;
    }
#endif
    while (k + 8 <= limit) {
        const uint64_t a = load64(p + k), b = load64(q + k);
        if (a != b) return k + equalBytes(a, b);
        k += 8;
    }
    while (k < limit && p[k] == q[k]) ++k;
    return k;
}

// --- The bit writer: LSB first, as deflate packs bits, through a 64-bit accumulator. It may
// store up to 8 bytes past its position; the caller keeps that slack in the output.
struct BitWriter {
    uint8_t* out;
    uint64_t acc = 0;
    unsigned count = 0;  // bits in acc; at most 7 after flush()

    // Up to 56 bits in total between two flushes.
    void put(uint64_t bits, unsigned n) {
        acc |= bits << count;
        count += n;
    }
    void flush() {
        storeLE64(out, acc);
        out += count >> 3;
        acc >>= count & ~7u;
        count &= 7;
    }
    // Pads to a byte boundary with zero bits.
    void align() {
        flush();
        if (count) *out++ = uint8_t(acc);
        acc = 0;
        count = 0;
    }
};

// --- Huffman trees, built exactly as zlib builds them (heap order, ties broken by depth,
// lengths over the limit repaired by zlib's rule), since equal-cost trees differ in bytes.
struct Tree {
    uint32_t freq[kHeapSize];
    uint16_t dad[kHeapSize];
    uint16_t len[kHeapSize + 1];  // one more for the guard the code-length scan sets
    uint16_t code[kHeapSize];
    int maxCode;
};

struct TreeShape {
    int elems;
    int maxLength;
    const uint8_t* staticLen;  // null for the code-length tree
    const uint8_t* extra;
    int extraBase;
};

constexpr TreeShape kLitShape = {kLitCodes, kMaxBits, kT.staticLitLen, kT.lengthExtra, kLiterals + 1};
constexpr TreeShape kDistShape = {kDistCodes, kMaxBits, kStaticDistLen, kT.distExtra, 0};
constexpr TreeShape kBlShape = {kBlCodes, kMaxBlBits, nullptr, kT.blExtra, 0};

struct TreeBuilder {
    int heap[kHeapSize];
    int heapLen = 0, heapMax = 0;
    uint8_t depth[kHeapSize];
    uint16_t blCount[kMaxBits + 1];
    // Both wrap like zlib's unsigned longs: a forced node is subtracted before it is counted.
    uint64_t optLen = 0, staticLen = 0;

    // zlib's order of nodes, frequency then depth (equal counting as smaller), as one number
    // kept beside each heap entry, so that a step down the heap is one comparison per child.
    uint64_t heapKey[kHeapSize] = {};  // zeroed: siftDown reads the entry past the end
    static uint64_t keyOf(uint32_t freq, uint8_t depth) { return uint64_t(freq) << 8 | depth; }

    void siftDown(int k) {
        const int v = heap[k];
        const uint64_t kv = heapKey[k];
        int j = k << 1;
        while (j <= heapLen) {
            // The smaller child without a branch: which one it is, is a coin toss. (The entry
            // past the heap's end is read but not taken.)
            j += int(j < heapLen) & int(heapKey[j + 1] <= heapKey[j]);
            if (kv <= heapKey[j]) break;
            heap[k] = heap[j];
            heapKey[k] = heapKey[j];
            k = j;
            j <<= 1;
        }
        heap[k] = v;
        heapKey[k] = kv;
    }

    void build(Tree& t, const TreeShape& shape) {
        int maxCode = -1;
        heapLen = 0;
        heapMax = kHeapSize;
        for (int n = 0; n < shape.elems; ++n) {
            if (t.freq[n]) {
                heap[++heapLen] = maxCode = n;
                heapKey[heapLen] = keyOf(t.freq[n], 0);
                depth[n] = 0;
            } else {
                t.len[n] = 0;
            }
        }
        // The format wants at least one distance code and one bit per code: two codes are forced.
        while (heapLen < 2) {
            const int node = heap[++heapLen] = maxCode < 2 ? ++maxCode : 0;
            heapKey[heapLen] = keyOf(1, 0);
            t.freq[node] = 1;
            depth[node] = 0;
            --optLen;
            if (shape.staticLen) staticLen -= shape.staticLen[node];
        }
        t.maxCode = maxCode;
        for (int n = heapLen / 2; n >= 1; --n) siftDown(n);
        int node = shape.elems;
        do {
            const int n = heap[1];
            heap[1] = heap[heapLen];
            heapKey[1] = heapKey[heapLen--];
            siftDown(1);
            const int m = heap[1];
            heap[--heapMax] = n;
            heap[--heapMax] = m;
            t.freq[node] = t.freq[n] + t.freq[m];
            depth[node] = uint8_t((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
            t.dad[n] = t.dad[m] = uint16_t(node);
            heap[1] = node;
            heapKey[1] = keyOf(t.freq[node], depth[node]);
            ++node;
            siftDown(1);
        } while (heapLen >= 2);
        heap[--heapMax] = heap[1];
        bitLengths(t, shape);
        assignCodes(t);
    }

    void bitLengths(Tree& t, const TreeShape& shape) {
        const int maxCode = t.maxCode;
        for (auto& c : blCount) c = 0;
        int overflow = 0;
        t.len[heap[heapMax]] = 0;
        int h;
        for (h = heapMax + 1; h < kHeapSize; ++h) {
            const int n = heap[h];
            int bits = t.len[t.dad[n]] + 1;
            if (bits > shape.maxLength) bits = shape.maxLength, ++overflow;
            t.len[n] = uint16_t(bits);
            if (n > maxCode) continue;
            ++blCount[bits];
            const int xbits = n >= shape.extraBase ? shape.extra[n - shape.extraBase] : 0;
            const uint64_t f = t.freq[n];
            optLen += f * unsigned(bits + xbits);
            if (shape.staticLen) staticLen += f * unsigned(shape.staticLen[n] + xbits);
        }
        if (!overflow) return;
        // zlib's repair: move leaves down from the deepest level that has one, two at a time.
        do {
            int bits = shape.maxLength - 1;
            while (blCount[bits] == 0) --bits;
            --blCount[bits];
            blCount[bits + 1] += 2;
            --blCount[shape.maxLength];
            overflow -= 2;
        } while (overflow > 0);
        // Then lengths are handed out again in order of increasing frequency.
        for (int bits = shape.maxLength; bits != 0; --bits) {
            int n = blCount[bits];
            while (n != 0) {
                const int m = heap[--h];
                if (m > maxCode) continue;
                if (t.len[m] != bits) {
                    optLen += (uint64_t(bits) - t.len[m]) * t.freq[m];
                    t.len[m] = uint16_t(bits);
                }
                --n;
            }
        }
    }

    void assignCodes(Tree& t) const {
        uint16_t next[kMaxBits + 1];
        unsigned code = 0;
        for (int bits = 1; bits <= kMaxBits; ++bits) next[bits] = uint16_t(code = (code + blCount[bits - 1]) << 1);
        for (int n = 0; n <= t.maxCode; ++n)
            if (const int len = t.len[n]) t.code[n] = uint16_t(reverseBits(next[len]++, len));
    }
};

// The run-length coding of a tree's code lengths, zlib's rules: runs of a length after its
// first occurrence by 16 (3..6), runs of zeros by 17 (3..10) and 18 (11..138). `emit` gets
// (symbol, count of repeats or 0).
template <class Emit>
void runLengths(Tree& t, int maxCode, Emit emit) {
    int prevLen = -1, nextLen = t.len[0], count = 0;
    int maxCount = 7, minCount = 4;
    if (nextLen == 0) maxCount = 138, minCount = 3;
    t.len[maxCode + 1] = 0xFFFF;  // guard
    for (int n = 0; n <= maxCode; ++n) {
        const int curLen = nextLen;
        nextLen = t.len[n + 1];
        if (++count < maxCount && curLen == nextLen) continue;
        if (count < minCount) {
            emit(curLen, count, false);
        } else if (curLen != 0) {
            if (curLen != prevLen) {
                emit(curLen, 1, false);
                --count;
            }
            emit(16, count, true);
        } else if (count <= 10) {
            emit(17, count, true);
        } else {
            emit(18, count, true);
        }
        count = 0;
        prevLen = curLen;
        if (nextLen == 0) maxCount = 138, minCount = 3;
        else if (curLen == nextLen) maxCount = 6, minCount = 3;
        else maxCount = 7, minCount = 4;
    }
}

// --- The deflater's state for one call.
struct Deflater {
    uint16_t head[1u << kHashBits];  // relative to the window's base, 0 for none
    uint16_t prev[kWindow];
    uint16_t prev2[kWindow];  // two links down zlib's chain: prev[prev[k]] when k was entered
    // The finer index beside zlib's chains (see walk4), kept only where it pays: chains of
    // equal 4-byte hashes, and each position's rank in its zlib chain (a count per hash, 16 bits
    // wide, compared modulo). Its tables are touched only once it is first taken up.
    uint16_t head4[1u << kHashBits];
    uint16_t prev4[kWindow];
    uint16_t prev4b[kWindow];  // two links down the finer chain, as prev2 is for zlib's
    uint16_t rank[kWindow];
    uint16_t count[1u << kHashBits];
    Index index = Index::Adaptive;
    bool finer = false;   // the finer index is kept and searched
    uint64_t walked = 0;  // zlib chain steps the searches of this stretch took (or, finer, would have)
    uint32_t syms[kBlockSymbols + 1];  // distance << 8 | (length - 3), or a literal byte
    uint32_t symCode[2 * kLiterals];      // the sent block's codes and counts, as sendSymbols uses them
    uint64_t distPart[kDistCodes];
    uint32_t symCount;
    Tree lit, dist, bl;
    TreeBuilder tb;

    const uint8_t* in;
    size_t inLen;
    uint32_t adler = 1;  // Adler-32 of in[0, the bytes zlib has read)
    BitWriter w;
    uint8_t* outEnd;

    void startBlock() {
        for (int n = 0; n < kLitCodes; ++n) lit.freq[n] = 0;
        for (int n = 0; n < kDistCodes; ++n) dist.freq[n] = 0;
        for (int n = 0; n < kBlCodes; ++n) bl.freq[n] = 0;
        lit.freq[kEndBlock] = 1;
        tb.optLen = tb.staticLen = 0;
        symCount = 0;
    }

    // The last literal, left pending when the input ends (the parse tallies its own symbols).
    void tallyLiteral(uint8_t c) {
        syms[symCount++] = c;
        ++lit.freq[c];
    }

    // The block's symbols in its codes. A length's code and its extra bits are one entry of a
    // table made for the block (as a literal's code and count are), and so are a distance
    // code's code, count and base: a match is two writes instead of four. Sending every symbol
    // the same way, without the branch on its kind, was 4 to 15% slower overall: the branch is
    // predicted well enough, and literals then paid for a distance.
    void sendSymbols(const uint16_t* litCode, const uint16_t* litLen16, const uint8_t* litLen8,
                     const uint16_t* distCode, const uint16_t* distLen16, const uint8_t* distLen8) {
        auto litLen = [&](int s) -> unsigned { return litLen16 ? litLen16[s] : litLen8[s]; };
        auto distLen = [&](int s) -> unsigned { return distLen16 ? distLen16[s] : distLen8[s]; };
        for (int c = 0; c < kLiterals; ++c) symCode[c] = litCode[c] | uint32_t(litLen(c)) << 24;
        for (unsigned lc = 0; lc < 256; ++lc) {
            const unsigned code = kT.lengthCode[lc];
            // A code past the tree's last (never sent) may hold runLengths' guard.
            const unsigned n = litLen(int(code + kLiterals + 1)) & 31;
            symCode[kLiterals + lc] = (litCode[code + kLiterals + 1] | (lc - kT.lengthBase[code]) << n) |
                                      (n + kT.lengthExtra[code]) << 24;
        }
        for (int c = 0; c < kDistCodes; ++c) {
            const unsigned n = distLen(c);
            distPart[c] = uint64_t(distCode[c]) | uint64_t(n) << 16 | uint64_t(n + kT.distExtra[c]) << 24 |
                          uint64_t(kT.distBase[c]) << 32;
        }
        // The writer in locals: its stores of bytes may alias any member, which would be
        // reloaded after each one.
        BitWriter out = w;
        const uint32_t* const codes = symCode;
        const uint64_t* const parts = distPart;
        const uint32_t* const sym = syms;
        for (uint32_t i = 0, n = symCount; i < n; ++i) {
            const uint32_t distance = sym[i] >> 8;
            const uint32_t lc = sym[i] & 0xFF;
            if (distance == 0) {
                const uint32_t c = codes[lc];
                out.put(c & 0xFFFFFF, c >> 24);
            } else {
                const uint32_t c = codes[kLiterals + lc];
                out.put(c & 0xFFFFFF, c >> 24);
                const uint32_t d = distance - 1;
                const uint64_t part = parts[distCodeOf(d)];
                out.put((part & 0xFFFF) | uint64_t(d - uint32_t(part >> 32)) << ((part >> 16) & 0xFF),
                        unsigned(part >> 24) & 0xFF);
            }
            out.flush();
        }
        w = out;
        w.put(litCode[kEndBlock], litLen(kEndBlock));
        w.flush();
    }

    void sendTree(Tree& t, int maxCode) {
        runLengths(t, maxCode, [&](int sym, int count, bool repeat) {
            if (!repeat) {
                for (; count; --count) {
                    w.put(bl.code[sym], bl.len[sym]);
                    w.flush();
                }
                return;
            }
            w.put(bl.code[sym], bl.len[sym]);
            if (sym == 16) w.put(unsigned(count - 3), 2);
            else if (sym == 17) w.put(unsigned(count - 3), 3);
            else w.put(unsigned(count - 11), 7);
            w.flush();
        });
    }

    // Emits the block of the tallied symbols, covering in[start, end). `storable`: its first
    // byte is still inside zlib's window. False when the output would not fit.
    bool flushBlock(size_t start, size_t end, bool storable, bool last) {
        tb.build(lit, kLitShape);
        tb.build(dist, kDistShape);
        runLengths(lit, lit.maxCode, [&](int sym, int count, bool repeat) { bl.freq[sym] += repeat ? 1 : count; });
        runLengths(dist, dist.maxCode, [&](int sym, int count, bool repeat) { bl.freq[sym] += repeat ? 1 : count; });
        tb.build(bl, kBlShape);
        int maxBlIndex;
        for (maxBlIndex = kBlCodes - 1; maxBlIndex >= 3; --maxBlIndex)
            if (bl.len[kBlOrder[maxBlIndex]] != 0) break;
        tb.optLen += 3 * (uint64_t(maxBlIndex) + 1) + 5 + 5 + 4;

        uint64_t optBytes = (tb.optLen + 3 + 7) >> 3;
        const uint64_t staticBytes = (tb.staticLen + 3 + 7) >> 3;
        if (staticBytes <= optBytes) optBytes = staticBytes;
        const uint64_t storedLen = end - start;
        const bool stored = storedLen + 4 <= optBytes && storable;
        const uint64_t need = (stored ? storedLen + 5 : optBytes) + 16;
        if (need > uint64_t(outEnd - w.out)) return false;

        if (stored) {
            w.put(last, 3);
            w.align();
            const unsigned n = unsigned(storedLen);
            const uint8_t lengths[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)};
            std::memcpy(w.out, lengths, 4);
            if (storedLen) std::memcpy(w.out + 4, in + start, storedLen);
            w.out += 4 + storedLen;
        } else if (staticBytes == optBytes) {
            w.put(2u + last, 3);
            sendSymbols(kT.staticLitCode, nullptr, kT.staticLitLen, kT.staticDistCode, nullptr, kStaticDistLen);
        } else {
            const int lcodes = lit.maxCode + 1, dcodes = dist.maxCode + 1, blcodes = maxBlIndex + 1;
            w.put(4u + last, 3);
            w.put(unsigned(lcodes - 257), 5);
            w.put(unsigned(dcodes - 1), 5);
            w.put(unsigned(blcodes - 4), 4);
            w.flush();
            for (int rank = 0; rank < blcodes; ++rank) {
                w.put(bl.len[kBlOrder[rank]], 3);
                w.flush();
            }
            sendTree(lit, lcodes - 1);
            sendTree(dist, dcodes - 1);
            sendSymbols(lit.code, lit.len, nullptr, dist.code, dist.len, nullptr);
        }
        startBlock();
        if (last) w.align();
        return true;
    }

    // zlib's hash of the 3 bytes at in[pos], as its running update leaves it.
    uint32_t hashAt(size_t pos) const {
        return ((uint32_t(in[pos]) << 10) ^ (uint32_t(in[pos + 1]) << 5) ^ in[pos + 2]) & kHashMask;
    }

    // The hash at the next position from the hash `h` at this one and the next position's third
    // byte, as zlib updates it: this position's first byte shifts out past the mask.
    static uint32_t nextHash(uint32_t h, uint8_t third) { return ((h << 5) ^ third) & kHashMask; }

    uint32_t hash4At(size_t pos) const {
        return (load32(in + pos) * 2654435761u) >> (32 - kHashBits);
    }

    // Enters the string at `rel` (relative to the window at in + base) into the finer index: its
    // rank in its zlib chain (hash h) and, when it has a fourth byte, its 4-byte chain.
    void insertFiner(size_t base, uint32_t rel, uint32_t h) {
        rank[rel & kWindowMask] = ++count[h];
        if (base + rel + 4 <= inLen) {
            const uint32_t h4 = hash4At(base + rel);
            const uint16_t j = head4[h4];
            prev4[rel & kWindowMask] = j;
            prev4b[rel & kWindowMask] = prev4[j & kWindowMask];
            head4[h4] = uint16_t(rel);
        }
    }

    // Enters each of the positions [from, to) in order into zlib's chains and the finer index.
    // Where a string hashes as the one before it (runs, flat areas), its link is that position
    // and the head and count are written once the hash changes, instead of each insertion
    // reading back what the previous one has just stored. Not inlined: called about once per
    // 262 positions, it keeps the parse's registers out of its loop.
    [[gnu::noinline]] void insertRangeFiner(size_t base, uint32_t from, uint32_t to) {
        if (from >= to) return;
        if (base + to + 3 > inLen) {  // the strings at the very end have no fourth byte
            for (uint32_t k = from; k < to; ++k) {
                const uint32_t h = hashAt(base + k);
                const uint16_t j = head[h];
                prev[k & kWindowMask] = j;
                prev2[k & kWindowMask] = prev[j & kWindowMask];
                head[h] = uint16_t(k);
                insertFiner(base, k, h);
            }
            return;
        }
        uint32_t h = hashAt(base + from), h4 = hash4At(base + from);
        uint16_t last = head[h];  // prev[k - 1]
        prev[from & kWindowMask] = last;
        prev2[from & kWindowMask] = prev[last & kWindowMask];
        uint16_t r = uint16_t(count[h] + 1);
        rank[from & kWindowMask] = r;
        uint16_t last4 = head4[h4];  // prev4[k - 1]
        prev4[from & kWindowMask] = last4;
        prev4b[from & kWindowMask] = prev4[last4 & kWindowMask];
        const uint8_t* const third = in + base + 2;
        for (uint32_t k = from + 1; k < to; ++k) {
            const uint32_t hk = nextHash(h, third[k]), h4k = hash4At(base + k);
            if (hk == h) {
                prev[k & kWindowMask] = uint16_t(k - 1);
                prev2[k & kWindowMask] = last;
                last = uint16_t(k - 1);
                ++r;
            } else {
                head[h] = uint16_t(k - 1);
                count[h] = r;
                const uint16_t j = head[hk];
                prev[k & kWindowMask] = j;
                prev2[k & kWindowMask] = prev[j & kWindowMask];
                last = j;
                r = uint16_t(count[hk] + 1);
                h = hk;
            }
            rank[k & kWindowMask] = r;
            if (h4k == h4) {
                prev4[k & kWindowMask] = uint16_t(k - 1);
                prev4b[k & kWindowMask] = last4;
                last4 = uint16_t(k - 1);
            } else {
                head4[h4] = uint16_t(k - 1);
                const uint16_t j4 = head4[h4k];
                prev4[k & kWindowMask] = j4;
                prev4b[k & kWindowMask] = prev4[j4 & kWindowMask];
                last4 = j4;
                h4 = h4k;
            }
        }
        head[h] = uint16_t(to - 1);
        count[h] = r;
        head4[h4] = uint16_t(to - 1);
    }

    // Enters each of the positions [from, to) in order into zlib's chains. Where the string at a
    // position hashes as the one before it (runs, flat areas), its link is that position and the
    // head is written once the hash changes, instead of each insertion reading back the head the
    // previous one has just stored. Not inlined, as insertRangeFiner.
    [[gnu::noinline]] void insertRangePlain(size_t base, uint32_t from, uint32_t to) {
        if (from >= to) return;
        uint32_t h = hashAt(base + from);
        uint16_t last = head[h];  // prev[k - 1]
        prev[from & kWindowMask] = last;
        prev2[from & kWindowMask] = prev[last & kWindowMask];
        const uint8_t* const third = in + base + 2;
        for (uint32_t k = from + 1; k < to;) {
            const uint32_t hk = nextHash(h, third[k]);
            if (hk != h) {
                head[h] = uint16_t(k - 1);
                const uint16_t j = head[hk];
                prev[k & kWindowMask] = j;
                prev2[k & kWindowMask] = prev[j & kWindowMask];
                last = j;
                h = hk;
                ++k;
                continue;
            }
            // The same hash as the position before. Inside a run of one byte value (a flat
            // image's background) eight positions at a time: each follows the one before, the
            // bytes k - 1 to k + 9 being all equal. (Tested only here, where photographs rarely
            // come, not at every position.)
            const uint8_t* q = in + base + k - 1;
            if (k + 8 < to && k >= 2 && load64(q) == load64(q + 1) && load64(q + 2) == load64(q + 3) &&
                (k & kWindowMask) <= kWindow - 8) {
                const uint32_t first = k;
                // Up to the range's end and the window's, the test for the next eight is one.
                const uint32_t segmentEnd = (k & ~kWindowMask) + kWindow - 7;
                const uint32_t end = to - 8 < segmentEnd ? to - 8 : segmentEnd;
#ifdef SI_X86
                __m128i links = _mm_add_epi16(_mm_set1_epi16(int16_t(k - 1)), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
                __m128i links2 = _mm_sub_epi16(links, _mm_set1_epi16(1));
                const __m128i eight = _mm_set1_epi16(8);
                do {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(prev + (k & kWindowMask)), links);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(prev2 + (k & kWindowMask)), links2);
                    links = _mm_add_epi16(links, eight);
                    links2 = _mm_add_epi16(links2, eight);
                    k += 8;
                    q += 8;
                    // The next eight too while the run goes on to their last hash's third byte.
                } while (k < end && load64(q + 2) == load64(q + 3));
#else
                uint64_t links = steps(k - 1), links2 = steps(k - 2);
                do {
                    storeSteps8(prev + (k & kWindowMask), links);
                    storeSteps8(prev2 + (k & kWindowMask), links2);
                    links += 8 * kLanes;
                    links2 += 8 * kLanes;
                    k += 8;
                    q += 8;
                    // The next eight too while the run goes on to their last hash's third byte.
                } while (k < end && load64(q + 2) == load64(q + 3));
#endif
                prev2[first & kWindowMask] = last;
                last = uint16_t(k - 2);
                continue;
            }
            prev[k & kWindowMask] = uint16_t(k - 1);
            prev2[k & kWindowMask] = last;
            last = uint16_t(k - 1);
            ++k;
        }
        head[h] = uint16_t(to - 1);
    }

    // plainMatch's result, found with the finer index. Once the best match has 3 bytes, only
    // candidates that share the first 4 can be longer; in photographs they are about a fifth of
    // the rest of zlib's walk, so the search goes on along the finer index from there (walk4).
    // `first4` is the finer chain's head for `pos`. Like plainMatch, kept out of the parse, with
    // its walks inside it.
    [[gnu::noinline]] uint32_t finerMatch(const uint8_t* window, uint32_t pos, uint32_t cur, uint32_t first4,
                                          uint32_t best, uint32_t lookahead, uint32_t& matchStart) {
        // zlib reads past the data here, and whatever it finds, the result is the lookahead.
        if (best >= lookahead) return lookahead;
        Search s{window, window + pos, best >= kGoodLength ? kMaxChain >> 2 : kMaxChain,
                 lookahead < kNiceLength ? lookahead : kNiceLength, lookahead < kMaxMatch ? lookahead : kMaxMatch,
                 pos > kMaxDist ? pos - kMaxDist : 0, best, matchStart, load16(window + pos), 0};
        s.scanEnd = load16(s.scan + best - 1);
        const uint32_t first = cur;
        if (best >= kMinMatch) {
            // No string before this one shares its first 4 bytes: none can be longer.
            if (first4 == 0 || walk4(s, first4, first, UINT32_MAX)) return finish(s, matchStart);
            return plainWalk(s, cur, false, 0, matchStart);
        }
        return plainWalk(s, cur, true, first4, matchStart);
    }

    // One step down zlib's chain walked as two: `cur` moves to `next`, and `next` to the
    // candidate after it, which is two links below the old `cur`. Returns the new `cur`.
    // prev2[c] was set when c was entered, as prev[prev[c]] then; a walk reads it only while c
    // is above the distance limit, and prev[c]'s own link is overwritten only once it lies
    // below the limit, so it is what prev[prev[c]] still reads whenever the walk goes on.
    uint32_t step(uint32_t& cur, uint32_t& next) const {
        const uint32_t after = prev2[cur & kWindowMask];
        cur = next;
        next = after;
        return cur;
    }

    // The same along the finer chain (prev4b); walk4 may also read it at zlib's first
    // candidate lying exactly at the limit, whose link is not overwritten yet either.
    void step4(uint32_t& cur, uint32_t& next) const {
        const uint32_t after = prev4b[cur & kWindowMask];
        cur = next;
        next = after;
    }

    // zlib's longest_match: the first of the longest candidates in chain order, longer than
    // `best` (the previous match), stopping at the nice length or when the chain runs out,
    // reaches the limit or has been walked 128 steps (32 once the previous match reached the
    // good length). Positions here are relative to the window's base, as zlib's are, so that the
    // chain entries are 16 bits wide: the walk is a chain of dependent loads, and a table half
    // the size misses the first-level cache less often. Sets matchStart when it finds one.
    // Not inlined: inside the parse, whose state takes most registers, the walk's limit, links
    // and chain count were kept on the stack (a search 2 to 5% slower).
    [[gnu::noinline]] uint32_t plainMatch(const uint8_t* window, uint32_t pos, uint32_t cur, uint32_t best,
                                          uint32_t lookahead, uint32_t& matchStart) {
        // zlib reads past the data here, and whatever it finds, the result is the lookahead.
        if (best >= lookahead) return lookahead;
        const uint32_t chainAtStart = best >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
        uint32_t chain = chainAtStart;
        const uint32_t nice = lookahead < kNiceLength ? lookahead : kNiceLength;
        const uint32_t maxLen = lookahead < kMaxMatch ? lookahead : kMaxMatch;
        const uint32_t limit = pos > kMaxDist ? pos - kMaxDist : 0;
        const uint8_t* scan = window + pos;
        const uint16_t scanStart = load16(scan);
        uint16_t scanEnd;
        // Two chains are walked at once, each by its two-step links (prev2): the candidate
        // considered now and the one after it. The walk is a chain of dependent loads, and
        // this way two wait at a time instead of one.
        uint32_t next = prev[cur & kWindowMask];
        if (best < 8 && maxLen == kMaxMatch) {
            // While the best is under 8 bytes, each candidate's length up to 8 is one comparison
            // of two words, and the best is kept without a branch: whether a candidate of a
            // photograph's chain beats the one before is a coin toss no predictor learns. A
            // candidate agreeing at all 8 bytes is measured whole by the loop below.
            const uint64_t scan8 = load64(scan);
            uint32_t start = matchStart;
            for (;;) {
                const uint64_t here = load64(window + cur);
                if (here == scan8) break;
                const uint32_t len = equalBytes(here, scan8);
                const bool better = len > best;
                best = better ? len : best;
                start = better ? cur : start;
                if (step(cur, next) <= limit || --chain == 0) {
                    matchStart = start;
                    goto done;
                }
            }
            matchStart = start;
        }
        // A candidate can only be longer if it agrees at its first two bytes and at the two
        // ending at `best`: one branch tests all four.
        scanEnd = load16(scan + best - 1);
        for (;;) {
            // Most candidates fail the first test: their loop keeps everything in registers.
            while (((load16(window + cur + best - 1) ^ scanEnd) | (load16(window + cur) ^ scanStart)) != 0) {
                if (step(cur, next) <= limit || --chain == 0) goto done;
            }
            const uint32_t len = commonPrefix(scan, window + cur, maxLen);
            if (len > best) {
                matchStart = cur;
                best = len;
                if (len >= nice) break;
                scanEnd = load16(scan + best - 1);
            }
            if (step(cur, next) <= limit || --chain == 0) break;
        }
    done:
        walked += chainAtStart - chain;
        return best;
    }

    struct Search {
        const uint8_t* window;
        const uint8_t* scan;
        uint32_t chain, nice, maxLen, limit;
        uint32_t best, start;
        uint16_t scanStart, scanEnd;
    };

    static uint32_t finish(const Search& s, uint32_t& matchStart) {
        matchStart = s.start;
        return s.best;
    }

    // Whether `cur` is longer than the best so far; true when the search is over (nice length).
    static bool consider(Search& s, uint32_t cur, bool& better) {
        const uint8_t* match = s.window + cur;
        better = false;
        // Only if it agrees at its first two bytes and at the two ending at `best`: one branch
        // tests all four.
        if (((load16(match + s.best - 1) ^ s.scanEnd) | (load16(match) ^ s.scanStart)) != 0) return false;
        const uint32_t len = commonPrefix(s.scan, match, s.maxLen);
        if (len <= s.best) return false;
        better = true;
        s.start = cur;
        s.best = len;
        if (len >= s.nice) return true;
        s.scanEnd = load16(s.scan + len - 1);
        return false;
    }

    // zlib's walk from `cur`; with `switchTo4`, handed to walk4 once a match of 3 bytes is found.
    [[gnu::always_inline]] inline uint32_t plainWalk(Search& s, const uint32_t first, bool switchTo4, uint32_t first4,
                                                     uint32_t& matchStart) {
        const Search initial = s;
        for (;;) {
            uint32_t cur = first, next = prev[first & kWindowMask];
            uint32_t chain = s.chain;
            bool fallBack = false;
            do {
                bool better;
                ++walked;
                if (consider(s, cur, better)) break;
                if (better && switchTo4) {
                    // Those after `cur` that share 4 bytes lie below it on the finer chain.
                    if (first4 == 0 || walk4(s, first4, 0, cur)) return finish(s, matchStart);
                    fallBack = true;
                    break;
                }
            } while (step(cur, next) > s.limit && --chain != 0);
            if (!fallBack) return finish(s, matchStart);
            s = initial;  // too many strangers on the finer chain: zlib's walk, all of it
            switchTo4 = false;
        }
    }

    // Walks the finer chain from `cur`, past the positions at or above `below`, for candidates
    // sharing the first 4 bytes; where zlib's walk would stop is told by the candidates' ranks
    // in zlib's chain and by the limit (or `first`, zlib's first candidate, which may lie at
    // exactly the limit). Another string on the finer chain only shares the hash and is passed
    // over; false when an input makes too many of those (the caller then walks zlib's chain).
    [[gnu::always_inline]] inline bool walk4(Search& s, uint32_t cur, uint32_t first, uint32_t below) {
        const uint32_t scan4 = load32(s.scan);
        const uint16_t rankHere = rank[uint32_t(s.scan - s.window) & kWindowMask];
        uint32_t reached = 0;  // how far down zlib's chain the walk has come
        uint32_t next = prev4[cur & kWindowMask];
        for (uint32_t steps = 2 * s.chain + 16; cur != 0 && (cur > s.limit || cur == first); step4(cur, next)) {
            if (--steps == 0) return false;
            if (cur >= below || load32(s.window + cur) != scan4) continue;
            reached = uint16_t(rankHere - rank[cur & kWindowMask]);
            if (reached > s.chain) break;
            bool better;
            if (consider(s, cur, better)) break;
        }
        walked += reached < s.chain ? reached : s.chain;
        return true;
    }

    // zlib's slide_hash: entries move down with the window, those that leave it become empty.
    void slide() {
        for (uint16_t* table : {head, prev, prev2, head4, prev4, prev4b}) {
            if (!finer && table == head4) break;  // the finer index is rebuilt when next taken up
            slideTable(table);
        }
    }

    // An entry less the window's size, or 0 where that is negative: one saturating subtraction.
    // (On a flat image the slides were a tenth of the instructions, the compiler's vector code
    // taking three operations per eight entries and a loop per vector.)
    static void slideTable(uint16_t* table) {
#ifdef SI_X86
        const __m128i window = _mm_set1_epi16(int16_t(kWindow));
        for (size_t i = 0; i < kWindow; i += 32) {
            auto* p = reinterpret_cast<__m128i*>(table + i);
            const __m128i a = _mm_loadu_si128(p), b = _mm_loadu_si128(p + 1);
            const __m128i c = _mm_loadu_si128(p + 2), d = _mm_loadu_si128(p + 3);
            _mm_storeu_si128(p, _mm_subs_epu16(a, window));
            _mm_storeu_si128(p + 1, _mm_subs_epu16(b, window));
            _mm_storeu_si128(p + 2, _mm_subs_epu16(c, window));
            _mm_storeu_si128(p + 3, _mm_subs_epu16(d, window));
        }
#else
        for (size_t i = 0; i < kWindow; ++i) table[i] = table[i] >= kWindow ? uint16_t(table[i] - kWindow) : 0;
#endif
    }

    // Takes up the finer index at `pos`: it is built from the positions from the first a search
    // can still reach (the window's first position is zlib's empty entry either way) up to
    // those already entered ahead of the parse. Ranks count from there: only their differences
    // within the window are ever used.
    void takeUpFiner(size_t base, size_t pos, size_t inserted) {
        clearFiner();
        finer = true;
        const size_t from = pos - base > kWindow ? pos - kWindow : base;
        // Only strings of 3 bytes were entered: at the end of the input, not the last two.
        const size_t entered = inLen >= kMinMatch ? inLen - kMinMatch + 1 : 0;
        const size_t to = inserted < entered ? inserted : entered;
        for (size_t p = from; p < to; ++p) insertFiner(base, uint32_t(p - base), hashAt(p));
    }

    void clearFiner() {
        std::memset(head4, 0, sizeof head4);
        std::memset(prev4, 0, sizeof prev4);
        std::memset(prev4b, 0, sizeof prev4b);
        std::memset(count, 0, sizeof count);
    }

    // Whether the finer index pays for its upkeep over the next stretch of input, judged by how
    // far down zlib's chains the searches of the last stretch went per position: long walks
    // through strings that share only 3 bytes (photographs) gain; short ones, or long stretches
    // inside matches (flat images), would only pay for the upkeep.
    void choose(size_t base, size_t pos, size_t inserted) {
        bool want;
        if (index == Index::Switching) {
            want = !finer;
        } else {
            const uint64_t perPosition = walked / kStretch;
            want = finer ? perPosition >= kKeepFiner : perPosition >= kTakeUpFiner;
        }
        walked = 0;
        if (want && !finer) takeUpFiner(base, pos, inserted);
        else if (!want) finer = false;
    }

    // The parse's state between stretches.
    struct Parse {
        size_t pos = 0, readEnd = 0, base = 0, blockStart = 0, inserted = 0;
        uint32_t matchLen = kMinMatch - 1, matchStart = 0;
        bool pending = false;  // a literal at pos - 1 awaits the lazy decision
    };

    enum class Stop : uint8_t { Stretch, Done, Full };

    bool run() {
        std::memset(head, 0, sizeof head);
        std::memset(prev, 0, sizeof prev);
        std::memset(prev2, 0, sizeof prev2);
        finer = index == Index::Finer;
        if (finer) clearFiner();
        startBlock();
        const size_t stretch = index == Index::Switching ? kSwitchingStretch : kStretch;
        const bool fixed = index == Index::Plain || index == Index::Finer;
        Parse st;
        for (;;) {
            const size_t until = fixed ? SIZE_MAX : st.pos + stretch;
            const Stop stop = finer ? parse<true>(st, until) : parse<false>(st, until);
            if (stop == Stop::Full) return false;
            if (stop == Stop::Done) break;
            choose(st.base, st.pos, st.inserted);
        }
        if (st.pending) tallyLiteral(in[st.pos - 1]);
        if (st.readEnd < inLen) adler = adler32::update(adler, in + st.readEnd, inLen - st.readEnd);
        return flushBlock(st.blockStart, st.pos, st.blockStart >= st.base, true);
    }

    // zlib's lazy matcher from st.pos to the end of the input, or until a step starts at
    // `until` or beyond; compiled once with the finer index and once without.
    template <bool kFiner>
    Stop parse(Parse& st, size_t until) {
        const size_t n = inLen;
        size_t pos = st.pos, readEnd = st.readEnd, base = st.base, blockStart = st.blockStart;
        size_t inserted = st.inserted;
        const size_t insertEnd = n >= kMinMatch ? n - kMinMatch + 1 : 0;
        uint32_t matchLen = st.matchLen, matchStart = st.matchStart;
        bool pending = st.pending;
        // The block's symbol count in a local: every store of a symbol or a frequency might
        // otherwise be the member's, reloaded after each.
        uint32_t count = symCount;
        Stop stop = Stop::Done;
        // The first position at which the stretch ends, zlib would read more input, or the
        // chains need more entries: one test per step instead of three.
        size_t checkAt = 0;
        for (;;) {
            if (pos >= checkAt) {
                if (pos >= until) {
                    stop = Stop::Stretch;
                    break;
                }
                if (readEnd - pos < kMinLookahead) {
                    // zlib's fill_window: slide when the scan passes the limit, then read what fits.
                    do {
                        if (pos - base >= kSlideAt) {
                            base += kWindow;
                            slide();
                        }
                        if (readEnd == n) break;
                        const size_t to = base + 2 * kWindow < n ? base + 2 * kWindow : n;
                        // The checksum over the bytes as zlib reads them: they are about to
                        // be hashed, so they come into the cache once, not again at the end.
                        adler = adler32::update(adler, in + readEnd, to - readEnd);
                        readEnd = to;
                    } while (readEnd - pos < kMinLookahead && readEnd < n);
                    if (readEnd == pos) break;
                }
                // Every string of 3 bytes enters zlib's chains, in order, whether a step searches
                // from it or a match passes over it; so the chains depend only on the data, and
                // the positions are entered ahead of the parse, up to 261 past the step, in a
                // loop of their own (no search, no lazy decision between two insertions).
                // Entering q overwrites the link of q - 32768, which a search from pos may still
                // read only while q - 32768 >= pos - 32506 (the distance limit, reached exactly):
                // up to pos + 261, which the 16-bit entries also still hold (pos - base <= 65274
                // here). A step then finds its chain's head in its own link.
                if (inserted <= pos + 1 && inserted < insertEnd) {
                    const size_t to = pos + kMinLookahead < insertEnd ? pos + kMinLookahead : insertEnd;
                    if constexpr (kFiner) insertRangeFiner(base, uint32_t(inserted - base), uint32_t(to - base));
                    else insertRangePlain(base, uint32_t(inserted - base), uint32_t(to - base));
                    inserted = to;
                }
                checkAt = until;
                // From here readEnd - pos < 262.
                const size_t fillAt = readEnd >= kMinLookahead - 1 ? readEnd - (kMinLookahead - 1) : 0;
                if (fillAt < checkAt) checkAt = fillAt;
                if (inserted < insertEnd && inserted - 1 < checkAt) checkAt = inserted - 1;
            }
            const uint32_t lookahead = uint32_t(readEnd - pos);
            const uint32_t rel = uint32_t(pos - base);
            uint32_t hashHead = 0;
            uint32_t head4Here = 0;
            if (lookahead >= kMinMatch) {
                hashHead = prev[rel & kWindowMask];
                if constexpr (kFiner) head4Here = pos + 4 <= n ? prev4[rel & kWindowMask] : 0;
            }
            if (lookahead > kMinMatch) {
                // The next step most often searches the next position: its chain's first links
                // are fetched now, while this step's walk waits on its own.
                const uint32_t next = prev[(rel + 1) & kWindowMask];
                __builtin_prefetch(&prev[next & kWindowMask]);
                __builtin_prefetch(in + base + next);
            }
            const uint32_t prevLen = matchLen, prevMatch = matchStart;
            matchLen = kMinMatch - 1;
            if (hashHead != 0 && prevLen < kMaxLazy && rel - hashHead <= kMaxDist) {
                uint32_t found = uint32_t(matchStart - base);
                if constexpr (kFiner) matchLen = finerMatch(in + base, rel, hashHead, head4Here, prevLen, lookahead, found);
                else matchLen = plainMatch(in + base, rel, hashHead, prevLen, lookahead, found);
                matchStart = base + found;
                // Without a branch: whether a 3-byte match lies too far back is a coin toss.
                matchLen -= uint32_t(matchLen == kMinMatch) & uint32_t(pos - matchStart > kTooFar);
            }
            // The lazy decision: whether a match ends here, or a pending literal is sent and
            // this position's literal waits. Taken as a branch, it pays: the same written with
            // masks, so that no branch is left, was 5 to 10% slower overall, as the next step
            // can no longer start before this one's search ends.
            size_t sentTo;
            if (prevLen >= kMinMatch && matchLen <= prevLen) {
                // A statement no compiler may move or drop, though it emits nothing: clang
                // turned both ways into selects otherwise (the deflate 5 to 14% slower there).
                asm volatile("");
                const uint32_t distance = uint32_t(pos - 1 - prevMatch);
                const uint32_t lc = (prevLen - kMinMatch) & 0xFF;
                syms[count++] = distance << 8 | lc;
                ++lit.freq[kT.lengthCode[lc] + kLiterals + 1];
                ++dist.freq[distCodeOf(distance - 1)];
                pos = pos - 1 + prevLen;
                sentTo = pos;
                pending = false;
                matchLen = kMinMatch - 1;
            } else {
                const uint32_t literal = in[pos - (pos != 0)];
                syms[count] = literal;
                count += pending;
                lit.freq[literal] += pending;
                sentTo = pos;
                pending = true;
                ++pos;
            }
            if (count == kBlockSymbols) {
                symCount = count;
                if (!flushBlock(blockStart, sentTo, blockStart >= base, false)) return Stop::Full;
                count = 0;
                blockStart = sentTo;
            }
        }
        symCount = count;
        st = {pos, readEnd, base, blockStart, inserted, matchLen, matchStart, pending};
        return stop;
    }
};

}  // namespace

size_t zlibBound(size_t len) noexcept {
    if (len > kMaxInput) return 0;
    // Fixed codes cost at most 31 bits per 3 matched bytes and 9 per literal, under 1.3 bytes
    // per input byte; blocks add a few bytes per 16383 symbols; 2 + 4 for header and trailer,
    // 16 for the bit writer's slack.
    return len + len / 2 + 64;
}

Result zlibCompress(const uint8_t* in, size_t len, uint8_t* out, size_t cap, Index index) noexcept {
    if (len > kMaxInput || cap < 2 + 16) return {Status::Refused, 0};
    std::unique_ptr<Deflater> d(new (std::nothrow) Deflater);
    if (!d) return {Status::NoMemory, 0};
    out[0] = 0x78;  // deflate, 32 KiB window
    out[1] = 0x9C;  // default level, no dictionary, check bits
    d->in = in;
    d->inLen = len;
    d->index = index;
    d->w.out = out + 2;
    d->outEnd = out + cap;
    if (!d->run()) return {Status::Refused, 0};
    uint8_t* end = d->w.out;
    if (end + 4 > out + cap) return {Status::Refused, 0};
    const uint32_t adler = d->adler;
    const uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    std::memcpy(end, trailer, 4);
    return {Status::Ok, size_t(end + 4 - out)};
}

}  // namespace si::deflate
