// Checks the one-shot inflater against zlib's inflate, the oracle, on a table of streams: one
// for each kind of refusal (zlib must refuse it for that very reason, so each row tests what it
// says), fixed and dynamic blocks, long codes, every distance code, the longest match and the
// farthest distance, overlapping copies, and zlib-made streams. Every stream is also cut at
// every offset and decoded into every output size up to its length. The Adler-32 versions are
// checked against the scalar one. Built and run by tests/test_png_kernels.py.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "flate/adler32.hpp"
#include "flate/inflate.hpp"
#include "kernels/streams.hpp"

using namespace streams;
using si::inflate::Status;

namespace {

int failures = 0;
long checks = 0;

void fail(const std::string& name, const char* what, size_t cap) {
    if (++failures < 20) std::printf("MISMATCH %s: %s (cap %zu)\n", name.c_str(), what, cap);
}

// Ours (each build of the fast loop this CPU runs) into exactly `cap` bytes against zlib's
// unbounded answer.
void compare(const std::string& name, const Bytes& s, const Bytes& want, const ZlibResult& z, size_t cap) {
    using si::inflate::detail::FastLoop;
    const Status status = z.produced > cap ? Status::Full : z.end ? Status::End : Status::Error;
    const size_t produced = z.produced > cap ? cap : z.produced;
    for (FastLoop build : {FastLoop::Baseline, FastLoop::Bmi2}) {
        if (!si::inflate::detail::hasFastLoop(build)) continue;
        ++checks;
        std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
        const auto r = si::inflate::detail::zlibInflateUsing(build, s.data(), s.size(), out.get(), cap);
        if (r.status != status) fail(name, "status", cap);
        if (r.produced != produced) fail(name, "produced", cap);
        if (std::memcmp(out.get(), want.data(), r.produced < produced ? r.produced : produced) != 0)
            fail(name, "bytes", cap);
    }
}

void check(const std::string& name, const Bytes& s, const char* refusal) {
    Bytes want(maxInflated(s.size()));
    const ZlibResult z = zlibInflate(s.data(), s.size(), want.data(), want.size());
    // The row must test what it names: zlib refuses it for that reason, or accepts it.
    const bool asMeant = refusal ? !z.end && (*refusal ? z.msg && std::strcmp(z.msg, refusal) == 0 : !z.msg) : z.end;
    if (!asMeant) fail(name, z.msg ? z.msg : "zlib's answer is not the one the row is about", 0);
    const size_t capLimit = z.produced < 5000 ? z.produced + 1 : 64;
    for (size_t cap = 0; cap <= capLimit; ++cap) compare(name, s, want, z, cap);
    for (size_t cap : {z.produced, z.produced ? z.produced - 1 : 0, z.produced + 300}) compare(name, s, want, z, cap);
    if (s.size() > 4000) return;
    for (size_t cut = 0; cut < s.size(); ++cut) {
        const Bytes head(s.begin(), s.begin() + cut);
        const ZlibResult zc = zlibInflate(head.data(), head.size(), want.data(), want.size());
        compare(name + " cut", head, want, zc, zc.produced + 300);
        compare(name + " cut", head, want, zc, zc.produced);
    }
}

// Lengths of a complete code over n symbols that uses exactly `syms` (two or more).
std::vector<uint8_t> completeLens(size_t n, const std::vector<unsigned>& syms) {
    unsigned depth = 1;
    while ((size_t(1) << depth) < syms.size()) ++depth;
    const size_t shorter = (size_t(1) << depth) - syms.size();  // one bit shorter, to fill the space
    std::vector<uint8_t> lens(n, 0);
    for (size_t i = 0; i < syms.size(); ++i) lens[syms[i]] = uint8_t(i < shorter ? depth - 1 : depth);
    return lens;
}

// Lengths 1, 2, ..., 14, 15, 15 over the given 16 symbols: codes up to 15 bits.
std::vector<uint8_t> skewedLens(size_t n, const std::vector<unsigned>& syms) {
    std::vector<uint8_t> lens(n, 0);
    for (size_t i = 0; i < 16; ++i) lens[syms[i]] = uint8_t(i < 15 ? i + 1 : 15);
    return lens;
}

std::vector<unsigned> range(unsigned from, unsigned to) {
    std::vector<unsigned> v;
    for (unsigned s = from; s < to; ++s) v.push_back(s);
    return v;
}

Bytes dynamicStream(const std::vector<uint8_t>& lit, const std::vector<uint8_t>& dist, const std::vector<Token>& tokens,
                    const Bytes& before = {}) {
    BitWriter w;
    if (!before.empty()) storedBlock(w, false, before);
    dynamicBlock(w, true, lit, dist, tokens);
    return wrap(w);
}

Bytes fixedStream(const std::vector<Token>& tokens) {
    BitWriter w;
    fixedBlock(w, true, tokens);
    return wrap(w);
}

Bytes withHeader(uint8_t cmf, uint8_t flg) {
    Bytes s = fixedStream({literal('z'), endOfBlock()});
    s[0] = cmf;
    s[1] = flg;
    return s;
}

// FLG with valid check bits for `cmf` and the given high bits.
uint8_t checked(uint8_t cmf, uint8_t high) {
    const unsigned base = unsigned(cmf) << 8 | high;
    return uint8_t(high + (31 - base % 31) % 31);
}

void checkAdler() {
    const auto scalar = si::adler32::implFor(si::adler32::Isa::Scalar);
    std::mt19937 rng(32);
    Bytes data(3 * si::adler32::kMaxRun + 100);
    for (auto& b : data) b = uint8_t(rng() % 4 ? 255 : rng());  // mostly 255: the sums' worst case
    for (auto isa : {si::adler32::Isa::SSSE3, si::adler32::Isa::AVX2}) {
        const auto f = si::adler32::implFor(isa);
        if (!f) continue;
        for (size_t len = 0; len <= data.size(); len += len < 100 ? 1 : 997)
            for (uint32_t start : {1u, 0xFFF0FFF0u, uint32_t(rng() % 65521) << 16 | uint32_t(rng() % 65521)}) {
                ++checks;
                if (f(start, data.data() + len % 7, len - len % 7) != scalar(start, data.data() + len % 7, len - len % 7))
                    fail("adler32", "sum", len);
            }
    }
}

}  // namespace

int main() {
    std::mt19937 rng(1951);
    const std::vector<uint8_t> fixedDist(32, 5), noDist(30, 0);
    const std::vector<unsigned> usedLit = {'a', 'b', 256, 257, 258, 284, 285};
    const auto lit = completeLens(286, usedLit);
    const auto dist2 = completeLens(30, {0, 29});
    std::vector<uint8_t> oneDist(30, 0);
    oneDist[3] = 1;

    // Every literal, every length with its extremes, every distance code at its extremes, after
    // 40000 stored bytes so that 32768 back is in reach; with long codes in both tables.
    std::vector<unsigned> allLit = range(0, 286);
    const auto fullLit = completeLens(286, allLit);
    std::vector<Token> every;
    for (unsigned b = 0; b < 256; ++b) every.push_back(literal(uint8_t(b)));
    for (unsigned d = 0; d < 30; ++d)
        for (unsigned extra : {0u, (1u << kDistExtra[d]) - 1}) every.push_back(match(3 + d, kDistBase[d] + extra));
    for (unsigned len = 3; len <= 258; ++len) every.push_back(match(len, len % 40 + 1));
    every.push_back(endOfBlock());
    Bytes stored(40000);
    for (auto& b : stored) b = uint8_t(rng());
    std::vector<unsigned> skewLitSyms = {256, 'q', 285, 257, 'r', 258, 's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1'};
    std::vector<unsigned> skewDistSyms = range(0, 16);
    std::vector<Token> skewTokens;
    for (unsigned s : skewLitSyms)
        if (s < 256) skewTokens.push_back(literal(uint8_t(s)));
    for (unsigned d = 0; d < 16; ++d)
        for (unsigned len : {3u, 4u, 258u}) skewTokens.push_back(match(len, kDistBase[d]));
    skewTokens.push_back(endOfBlock());

    // Overlapping copies at distances 1 to 20, of lengths around the copy widths.
    std::vector<uint8_t> loneEnd(257, 0);
    loneEnd[256] = 1;
    std::vector<Token> overlaps;
    for (unsigned d = 1; d <= 20; ++d)
        for (unsigned len : {3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 100u, 258u}) {
            for (unsigned b = 0; b < d; ++b) overlaps.push_back(literal(uint8_t('a' + (b * 7 + len) % 26)));
            overlaps.push_back(match(len, d));
        }
    overlaps.push_back(endOfBlock());

    struct Row {
        std::string name;
        Bytes stream;
        const char* refusal;  // null: valid; "": refused without a message
    };
    std::vector<Row> rows = {
        {"empty input", {}, ""},
        {"header check bits", withHeader(0x78, 0x9D), "incorrect header check"},
        {"method 7", withHeader(0x77, checked(0x77, 0x80)), "unknown compression method"},
        {"window 64 KiB", withHeader(0x88, checked(0x88, 0x80)), "invalid window size"},
        {"preset dictionary", withHeader(0x78, checked(0x78, 0x20)), ""},
        {"window 512 bytes", withHeader(0x08, checked(0x08, 0x00)), nullptr},
        {"fixed block", fixedStream({literal('a'), literal('b'), match(258, 2), match(3, 1), endOfBlock()}), nullptr},
        {"fixed block, literal 286", fixedStream({literal('a'), Token{286}, endOfBlock()}), "invalid literal/length code"},
        {"fixed block, literal 287", fixedStream({literal('a'), Token{287}, endOfBlock()}), "invalid literal/length code"},
        {"fixed block, distance 30", fixedStream({literal('a'), Token{257, 0, 30}, endOfBlock()}), "invalid distance code"},
        {"fixed block, distance 31", fixedStream({literal('a'), Token{257, 0, 31}, endOfBlock()}), "invalid distance code"},
        {"distance before the start", fixedStream({literal('a'), literal('b'), match(5, 3), endOfBlock()}),
         "invalid distance too far back"},
        {"distance to the very start", fixedStream({literal('a'), literal('b'), match(5, 2), match(9, 7), endOfBlock()}),
         nullptr},
        {"dynamic block", dynamicStream(lit, dist2, {literal('a'), literal('b'), match(258, 1), endOfBlock()}), nullptr},
        {"every symbol, 32768 back", dynamicStream(fullLit, completeLens(30, range(0, 30)), every, stored), nullptr},
        {"15-bit codes", dynamicStream(skewedLens(286, skewLitSyms), skewedLens(30, skewDistSyms), skewTokens, stored),
         nullptr},
        {"overlapping copies", dynamicStream(fullLit, completeLens(30, range(0, 20)), overlaps), nullptr},
        {"one distance code", dynamicStream(fullLit, oneDist, {literal('a'), literal('b'), literal('c'), literal('d'),
                                                               match(10, 4), endOfBlock()}),
         nullptr},
        {"no distance codes", dynamicStream(fullLit, noDist, {literal('a'), literal('b'), endOfBlock()}), nullptr},
        {"lone 1-bit end-of-block code", dynamicStream(loneEnd, oneDist, {endOfBlock()}), nullptr},
    };
    // Rows built bit by bit: a dynamic block, then `tailBits` raw bits (such as a code that is
    // not in the set).
    auto dyn = [&](const std::vector<uint8_t>& l, const std::vector<uint8_t>& d, const std::vector<Token>& t,
                   const std::vector<std::pair<uint8_t, uint8_t>>& raw = {}, const std::vector<uint8_t>& cl = {},
                   unsigned tailBits = 0, uint32_t tail = 0) {
        BitWriter w;
        dynamicBlock(w, true, l, d, t, raw, cl);
        w.put(tail, tailBits);
        return wrap(w);
    };
    rows.push_back({"one distance code, the missing one used",
                    dyn(fullLit, oneDist, {literal('a'), Token{257}}, {}, {}, 1, 1), "invalid distance code"});
    rows.push_back({"no distance codes, one used", dyn(fullLit, noDist, {literal('a'), Token{257}}, {}, {}, 1, 0),
                    "invalid distance code"});
    rows.push_back({"lone 1-bit code, the missing one used", dyn(loneEnd, oneDist, {}, {}, {}, 1, 1),
                    "invalid literal/length code"});
    auto over = lit;
    over['c'] = 1;
    rows.push_back({"over-subscribed literal/length code", dyn(over, dist2, {endOfBlock()}), "invalid literal/lengths set"});
    auto under = lit;
    under['a'] = 0;
    rows.push_back({"incomplete literal/length code", dyn(under, dist2, {endOfBlock()}), "invalid literal/lengths set"});
    auto noEnd = lit;
    noEnd[256] = 0;
    rows.push_back({"no end-of-block code", dyn(noEnd, dist2, {}), "invalid code -- missing end-of-block"});
    auto distUnder = completeLens(30, {0, 1, 2});
    distUnder[2] = 0;
    rows.push_back({"incomplete distance code", dyn(lit, distUnder, {endOfBlock()}), "invalid distances set"});
    auto distOver = dist2;
    distOver[5] = 1;
    rows.push_back({"over-subscribed distance code", dyn(lit, distOver, {endOfBlock()}), "invalid distances set"});
    std::vector<uint8_t> clOver(19, 4), clUnder(19, 4), clNone(19, 0);
    clOver[16] = 4;
    clUnder[16] = clUnder[17] = clUnder[18] = 0;
    clUnder[15] = 0;
    rows.push_back({"over-subscribed code-length code", dyn(lit, dist2, {}, {}, clOver), "invalid code lengths set"});
    rows.push_back({"incomplete code-length code", dyn(lit, dist2, {}, {}, clUnder), "invalid code lengths set"});
    // zlib takes an all-zero code-length code and reads one bit per length: 316 zero lengths.
    rows.push_back({"empty code-length code", dyn(lit, dist2, {}, {}, clNone, 32, 0), ""});
    rows.back().stream.insert(rows.back().stream.end() - 4, 40, 0);
    rows.back().refusal = "invalid code -- missing end-of-block";
    rows.push_back({"repeat with nothing before", dyn(lit, dist2, {}, {{16, 0}}), "invalid bit length repeat"});
    rows.push_back({"zeros past the end", dyn(lit, dist2, {}, {{18, 127}, {18, 127}, {18, 127}}), "invalid bit length repeat"});
    rows.push_back({"repeat past the end", dyn(lit, dist2, {}, {{18, 127}, {18, 127}, {18, 27}, {5, 0}, {16, 0}}),
                    "invalid bit length repeat"});
    // Literal 255 and end-of-block of 1 bit, then the same repeated into both distance lengths.
    std::vector<uint8_t> lit255(257, 0), twoDist = {1, 1};
    lit255[255] = lit255[256] = 1;
    rows.push_back({"repeat across into the distance lengths",
                    dyn(lit255, twoDist, {literal(255), literal(255), endOfBlock()}, {{18, 127}, {18, 106}, {1, 0}, {16, 0}}),
                    nullptr});
    // Sets with more symbols than a dynamic block may have, otherwise fine to decode.
    for (unsigned n : {287u, 288u}) {
        auto more = fullLit;
        more.resize(n, 0);
        rows.push_back({"HLIT " + std::to_string(n), dyn(more, dist2, {literal('a'), endOfBlock()}),
                        "too many length or distance symbols"});
    }
    for (unsigned n : {31u, 32u})
        rows.push_back({"HDIST " + std::to_string(n), dyn(fullLit, completeLens(n, range(0, n)), {literal('a'), endOfBlock()}),
                        "too many length or distance symbols"});
    {
        BitWriter w;
        w.put(1 | 3 << 1, 3);
        rows.push_back({"block type 3", wrap(w), "invalid block type"});
        BitWriter s;
        storedBlock(s, true, Bytes(10, 'x'));
        Bytes bad = wrap(s);
        bad[5] ^= 1;  // the length's complement
        rows.push_back({"stored length complement", bad, "invalid stored block lengths"});
        BitWriter e;
        storedBlock(e, false, {});
        storedBlock(e, false, Bytes(65535, 'y'));
        storedBlock(e, true, {});
        rows.push_back({"stored blocks of 0 and 65535 bytes", wrap(e), nullptr});
    }
    Bytes badSum = fixedStream({literal('a'), endOfBlock()});
    badSum.back() ^= 0x10;
    rows.push_back({"Adler-32 mismatch", badSum, "incorrect data check"});
    Bytes trailing = fixedStream({literal('a'), endOfBlock()});
    trailing.insert(trailing.end(), {1, 2, 3});
    rows.push_back({"bytes after the end", trailing, nullptr});

    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (int level = 0; level <= 9; level += 3)
        for (int strategy : strategies) {
            Params p;
            p.level = level;
            p.strategy = strategy;
            p.windowBits = 9 + level % 7;
            p.memLevel = 1 + strategy;
            p.flushEvery = 1000;
            p.flush = level % 2 ? Z_FULL_FLUSH : Z_SYNC_FLUSH;
            rows.push_back({"zlib level " + std::to_string(level) + " strategy " + std::to_string(strategy),
                            deflateWith(makeData(rng, 3000), p), nullptr});
        }
    for (const Row& row : rows) check(row.name, row.stream, row.refusal);
    checkAdler();
    std::printf("checks: %ld failures: %d\n", checks, failures);
    return failures != 0;
}
