// Zlib streams for the inflater's test driver, fuzz target and seed builder: streams made by
// zlib's deflate from a parameter record, and hand-made blocks that deflate never writes (a
// dynamic block with one distance code or none, invalid symbols, odd code-length sequences).
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace streams {

using Bytes = std::vector<uint8_t>;

// --- zlib's inflate given the whole input and an output of `cap` bytes, in one call (as with
// an unbounded output, the history is the output itself).
struct ZlibResult {
    bool end;         // Z_STREAM_END
    size_t produced;  // total_out
    const char* msg;  // zlib's reason for a refusal (null for a cut or a preset dictionary)
};

inline ZlibResult zlibInflate(const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) __builtin_trap();
    z.next_in = const_cast<uint8_t*>(in);
    z.avail_in = uInt(inLen);
    z.next_out = out;
    z.avail_out = uInt(cap);
    int rc = inflate(&z, Z_NO_FLUSH);
    ZlibResult r{rc == Z_STREAM_END, size_t(z.total_out), z.msg};
    inflateEnd(&z);
    return r;
}

// The most a deflate stream can expand: a 258-byte match per two bits.
inline size_t maxInflated(size_t inLen) { return inLen * 1032 + 1032; }

// --- zlib-made streams.
struct Params {
    int level = 6, strategy = Z_DEFAULT_STRATEGY, memLevel = 8, windowBits = 15;
    size_t flushEvery = 0;  // 0: one deflate call; else flush after every so many input bytes
    int flush = Z_SYNC_FLUSH;
    bool switchLevels = false;  // change level and strategy at each flush
};

inline Bytes deflateWith(const Bytes& data, const Params& p, std::mt19937* rng = nullptr) {
    z_stream z{};
    if (deflateInit2(&z, p.level, Z_DEFLATED, p.windowBits, p.memLevel, p.strategy) != Z_OK) __builtin_trap();
    Bytes out;
    // Each call gets room for everything it could write; flushes add a few bytes each.
    auto call = [&](size_t pos, size_t n, int flush) {
        z.next_in = const_cast<uint8_t*>(data.data() + pos);
        z.avail_in = uInt(n);
        int rc;
        do {
            out.resize(z.total_out + deflateBound(&z, uLong(n)) + 4096);
            z.next_out = out.data() + z.total_out;
            z.avail_out = uInt(out.size() - z.total_out);
            rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) __builtin_trap();
        } while (flush == Z_FINISH ? rc != Z_STREAM_END : z.avail_out == 0);
    };
    size_t pos = 0;
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    while (pos < data.size() && p.flushEvery) {
        size_t n = std::min(p.flushEvery, data.size() - pos);
        call(pos, n, p.flush);
        pos += n;
        if (p.switchLevels && rng) {
            out.resize(z.total_out + deflateBound(&z, 0) + 65536 * 2);
            z.next_out = out.data() + z.total_out;
            z.avail_out = uInt(out.size() - z.total_out);
            if (deflateParams(&z, int((*rng)() % 10), strategies[(*rng)() % 5]) == Z_STREAM_ERROR) __builtin_trap();
        }
    }
    call(pos, data.size() - pos, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Data of varied compressibility: random bytes, runs, a small alphabet, a repeating pattern,
// rows like a filtered image, and far copies.
inline Bytes makeData(std::mt19937& rng, size_t size) {
    Bytes d(size);
    const unsigned kind = rng() % 6;
    const size_t period = 1 + rng() % 300;
    for (size_t i = 0; i < size; ++i) {
        switch (kind) {
            case 0: d[i] = uint8_t(rng()); break;
            case 1: d[i] = i && rng() % 16 ? d[i - 1] : uint8_t(rng()); break;
            case 2: d[i] = uint8_t('a' + rng() % 4); break;
            case 3: d[i] = i >= period && rng() % 64 ? d[i - period] : uint8_t(rng()); break;
            case 4: d[i] = i % 97 == 0 ? uint8_t(rng() % 5) : uint8_t(i >= 291 ? d[i - 291] + rng() % 3 : rng() % 7); break;
            default: d[i] = i >= 32768 && rng() % 2 ? d[i - 32768] : uint8_t(rng() % 3); break;
        }
    }
    return d;
}

// --- Hand-made streams.
struct BitWriter {
    Bytes bytes;
    uint64_t acc = 0;
    unsigned n = 0;
    void put(uint32_t v, unsigned bits) {
        acc |= uint64_t(v) << n;
        n += bits;
        for (; n >= 8; n -= 8, acc >>= 8) bytes.push_back(uint8_t(acc));
    }
    void putCode(uint32_t code, unsigned len) {  // Huffman codes go high bit first
        while (len--) put(code >> len & 1, 1);
    }
    void align() {
        if (n) put(0, 8 - n);
    }
};

inline std::vector<uint32_t> canonicalCodes(const std::vector<uint8_t>& lens) {
    unsigned count[16] = {}, next[16] = {};
    for (uint8_t l : lens) count[l]++;
    count[0] = 0;
    for (unsigned len = 1, code = 0; len < 16; ++len) next[len] = code = (code + count[len - 1]) << 1;
    std::vector<uint32_t> codes(lens.size());
    for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s]) codes[s] = next[lens[s]]++;
    return codes;
}

constexpr uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// One coded symbol: a literal/length symbol with its extra bits, then for a length a distance
// symbol (none when dsym < 0) with its extra bits.
struct Token {
    uint16_t sym;
    uint16_t extra = 0;
    int16_t dsym = -1;
    uint16_t dextra = 0;
};
inline Token literal(uint8_t b) { return {b}; }
inline Token endOfBlock() { return {256}; }
inline Token match(unsigned len, unsigned dist) {
    unsigned l = 28;  // 258 is symbol 285, as zlib's deflate sends it
    while (kLenBase[l] > len) --l;
    unsigned d = 29;
    while (kDistBase[d] > dist) --d;
    return {uint16_t(257 + l), uint16_t(len - kLenBase[l]), int16_t(d), uint16_t(dist - kDistBase[d])};
}

inline void putTokens(BitWriter& w, const std::vector<Token>& tokens, const std::vector<uint8_t>& litLens,
                      const std::vector<uint8_t>& distLens) {
    const auto lc = canonicalCodes(litLens), dc = canonicalCodes(distLens);
    for (const Token& t : tokens) {
        w.putCode(t.sym < lc.size() ? lc[t.sym] : 0, t.sym < litLens.size() ? litLens[t.sym] : 0);
        if (t.sym >= 257 && t.sym < 286) w.put(t.extra, kLenExtra[t.sym - 257]);
        if (t.sym >= 257 && t.dsym >= 0) {
            const size_t d = size_t(t.dsym);
            w.putCode(d < dc.size() ? dc[d] : 0, d < distLens.size() ? distLens[d] : 0);
            if (d < 30) w.put(t.dextra, kDistExtra[d]);
        }
    }
}

inline std::vector<uint8_t> fixedLitLens() {
    std::vector<uint8_t> l(288);
    for (unsigned s = 0; s < 288; ++s) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    return l;
}

inline void fixedBlock(BitWriter& w, bool last, const std::vector<Token>& tokens) {
    w.put(last | 1u << 1, 3);
    putTokens(w, tokens, fixedLitLens(), std::vector<uint8_t>(32, 5));
}

// A dynamic block. The code lengths are sent with a code-length code of sixteen 4-bit codes for
// the lengths 0 to 15, or as the raw code-length symbols (symbol, extra) in `rawCodeLens`.
inline void dynamicBlock(BitWriter& w, bool last, const std::vector<uint8_t>& litLens, const std::vector<uint8_t>& distLens,
                         const std::vector<Token>& tokens, const std::vector<std::pair<uint8_t, uint8_t>>& rawCodeLens = {},
                         const std::vector<uint8_t>& codeLenLens = {}) {
    static constexpr uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.put(last | 2u << 1, 3);
    w.put(uint32_t(litLens.size() - 257), 5);
    w.put(uint32_t(distLens.size() - 1), 5);
    w.put(19 - 4, 4);
    std::vector<uint8_t> cl(19, 4);
    cl[16] = cl[17] = cl[18] = rawCodeLens.empty() ? 0 : 5;
    if (!rawCodeLens.empty()) cl[13] = cl[14] = cl[15] = 5;  // room for 16 to 18: still complete
    if (!codeLenLens.empty()) cl = codeLenLens;
    for (uint8_t s : order) w.put(cl[s], 3);
    const auto cc = canonicalCodes(cl);
    if (rawCodeLens.empty()) {
        for (uint8_t l : litLens) w.putCode(cc[l], cl[l]);
        for (uint8_t l : distLens) w.putCode(cc[l], cl[l]);
    } else {
        static constexpr uint8_t extraBits[3] = {2, 3, 7};
        for (auto [sym, extra] : rawCodeLens) {
            w.putCode(cc[sym], cl[sym]);
            if (sym >= 16) w.put(extra, extraBits[sym - 16]);
        }
    }
    putTokens(w, tokens, litLens, distLens);
}

inline void storedBlock(BitWriter& w, bool last, const Bytes& data) {
    w.put(last, 3);
    w.align();
    const uint32_t n = uint32_t(data.size());
    w.put(n | (~n & 0xFFFF) << 16, 32);
    w.bytes.insert(w.bytes.end(), data.begin(), data.end());
}

// Wraps blocks in a zlib header and trailer. The trailer is the Adler-32 of what zlib inflates
// from them, so a stream that is valid apart from it becomes valid.
inline Bytes wrap(BitWriter w) {
    w.align();
    Bytes s = std::move(w.bytes);
    s.insert(s.begin(), {0x78, 0x01});
    Bytes out(maxInflated(s.size()));
    s.insert(s.end(), 4, 0);
    ZlibResult r = zlibInflate(s.data(), s.size(), out.data(), out.size());
    uint32_t a = uint32_t(adler32(1, out.data(), uInt(r.produced)));
    for (int i = 0; i < 4; ++i) s[s.size() - 4 + i] = uint8_t(a >> (24 - 8 * i));
    return s;
}

// Code lengths of a random complete code over `n` symbols of which `used` (at least 2) are
// used, none longer than 15 bits: split the longest-first list of leaves at random.
inline std::vector<uint8_t> randomCompleteLens(std::mt19937& rng, size_t n, size_t used) {
    std::vector<uint8_t> depth = {0};  // a complete tree: start with the root, split leaves
    while (depth.size() < used) {
        size_t i = rng() % depth.size();
        if (depth[i] >= 15) continue;
        depth[i]++;
        depth.push_back(depth[i]);
    }
    std::vector<uint8_t> lens(n, 0);
    std::vector<size_t> syms(n);
    for (size_t i = 0; i < n; ++i) syms[i] = i;
    std::shuffle(syms.begin(), syms.end(), rng);
    for (size_t i = 0; i < used; ++i) lens[syms[i]] = depth[i];
    return lens;
}

}  // namespace streams
