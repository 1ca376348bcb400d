// libFuzzer target: the one-shot inflater (both builds of its fast loop, where the CPU runs
// them) against zlib's own inflate, for every input and for several output sizes (unbounded,
// the exact size, one less, a smaller one, none). Any difference in status, produced count or
// bytes aborts. The Adler-32 versions are checked
// against the scalar one on the same output.
//
// The custom mutator makes fresh streams (zlib's deflate at every level, strategy, memory
// level and window, with flushes and level switches; or hand-made blocks deflate never
// writes) and damages streams at the bit level: header and code-length bits, the trailer,
// cuts, garbage after the end. See .ci/fuzz.sh for the build.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "flate/adler32.hpp"
#include "flate/inflate.hpp"
#include "kernels/streams.hpp"

using streams::Bytes;
using streams::Token;

namespace {

[[noreturn]] void mismatch(const char* what, size_t cap, size_t want, size_t got) {
    std::fprintf(stderr, "MISMATCH %s cap=%zu want=%zu got=%zu\n", what, cap, want, got);
    std::abort();
}

// Ours with an output of exactly `cap` bytes (so ASan sees a write past it), against zlib's
// unbounded answer (`want`, `produced`, `end`).
void checkCap(si::inflate::detail::FastLoop build, const uint8_t* in, size_t size, const uint8_t* want,
              size_t produced, bool end, size_t cap) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
    const si::inflate::Result r = si::inflate::detail::zlibInflateUsing(build, in, size, out.get(), cap);
    if (produced > cap) {
        if (r.status != si::inflate::Status::Full) mismatch("status (want Full)", cap, produced, r.produced);
        if (r.produced != cap) mismatch("produced when full", cap, cap, r.produced);
        // zlib itself with the same cap writes the same prefix.
        std::unique_ptr<uint8_t[]> capped(new uint8_t[cap]);
        const streams::ZlibResult z = streams::zlibInflate(in, size, capped.get(), cap);
        if (z.produced != cap || std::memcmp(capped.get(), want, cap) != 0) mismatch("zlib capped", cap, cap, z.produced);
    } else {
        const auto status = end ? si::inflate::Status::End : si::inflate::Status::Error;
        if (r.status != status) mismatch(end ? "status (want End)" : "status (want Error)", cap, produced, r.produced);
        if (r.produced != produced) mismatch("produced", cap, produced, r.produced);
    }
    if (std::memcmp(out.get(), want, r.produced) != 0) mismatch("bytes", cap, produced, r.produced);
}

void checkAdler(const uint8_t* data, size_t size) {
    const auto scalar = si::adler32::implFor(si::adler32::Isa::Scalar);
    const uint32_t start = size ? uint32_t(data[0]) * 2654435761u % 65521 | (uint32_t(size) % 65521) << 16 : 1;
    for (auto isa : {si::adler32::Isa::SSSE3, si::adler32::Isa::AVX2})
        if (auto f = si::adler32::implFor(isa))
            for (uint32_t a : {1u, start})
                if (f(a, data, size) != scalar(a, data, size)) mismatch("adler32", size, 0, 0);
}

// --- The mutator's streams.

Bytes zlibMade(std::mt19937& rng, size_t maxSize) {
    static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    static const int flushes[] = {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK};
    streams::Params p;
    p.level = int(rng() % 10);
    p.strategy = strategies[rng() % 5];
    p.memLevel = 1 + int(rng() % 9);
    p.windowBits = 9 + int(rng() % 7);
    static const size_t sizes[] = {0, 64, 4096, 70000};
    size_t n = rng() % (1 + sizes[rng() % 4]);
    if (n > maxSize * 8) n = maxSize * 8;
    if (rng() % 3 == 0) {
        p.flushEvery = 1 + rng() % (n + 1);
        p.flush = flushes[rng() % 4];
        p.switchLevels = rng() % 2;
    }
    return streams::deflateWith(streams::makeData(rng, n), p, &rng);
}

std::vector<uint8_t> lensWithEnd(std::mt19937& rng, size_t n, size_t used) {
    std::vector<uint8_t> lens = streams::randomCompleteLens(rng, n, used);
    if (!lens[256])
        for (size_t s = 0; s < n; ++s)
            if (lens[s]) {
                std::swap(lens[s], lens[256]);
                break;
            }
    return lens;
}

// Tokens drawn from the symbols that have codes, with distances mostly within the output.
std::vector<Token> randomTokens(std::mt19937& rng, const std::vector<uint8_t>& lit, const std::vector<uint8_t>& dist,
                                size_t& produced) {
    std::vector<unsigned> lits, lens, dists;
    for (unsigned s = 0; s < lit.size(); ++s)
        if (lit[s] && s != 256) (s < 256 ? lits : lens).push_back(s);
    for (unsigned s = 0; s < dist.size(); ++s)
        if (dist[s]) dists.push_back(s);
    std::vector<Token> t;
    for (size_t k = rng() % 40; k; --k) {
        if (!lens.empty() && produced && rng() % 2) {
            const unsigned sym = lens[rng() % lens.size()];
            Token tok{uint16_t(sym)};
            if (sym < 286) {
                const unsigned e = streams::kLenExtra[sym - 257];
                tok.extra = uint16_t(rng() & ((1u << e) - 1));
                produced += streams::kLenBase[sym - 257] + tok.extra;
            }
            if (!dists.empty()) {
                unsigned d = dists[rng() % dists.size()];
                for (int tries = 0; tries < 8 && d < 30 && streams::kDistBase[d] > produced; ++tries)
                    d = dists[rng() % dists.size()];
                tok.dsym = int16_t(d);
                if (d < 30) tok.dextra = uint16_t(rng() & ((1u << streams::kDistExtra[d]) - 1));
            }
            t.push_back(tok);
        } else if (!lits.empty()) {
            t.push_back(Token{uint16_t(lits[rng() % lits.size()])});
            ++produced;
        }
    }
    t.push_back(streams::endOfBlock());
    return t;
}

Bytes handMade(std::mt19937& rng) {
    streams::BitWriter w;
    size_t produced = 0;
    for (size_t blocks = 1 + rng() % 4; blocks; --blocks) {
        const bool last = blocks == 1;
        switch (rng() % 3) {
            case 0: {
                Bytes data(rng() % 2 ? 0 : rng() % 300);
                for (auto& b : data) b = uint8_t(rng());
                streams::storedBlock(w, last, data);
                produced += data.size();
                break;
            }
            case 1:
                streams::fixedBlock(w, last, randomTokens(rng, streams::fixedLitLens(), std::vector<uint8_t>(32, 5), produced));
                break;
            default: {
                const size_t nLit = 257 + rng() % 30;
                std::vector<uint8_t> lit = lensWithEnd(rng, nLit, 2 + rng() % (nLit - 1));
                if (rng() % 8 == 0) {  // a lone 1-bit code: incomplete, still accepted
                    std::fill(lit.begin(), lit.end(), 0);
                    lit[256] = 1;
                }
                const size_t nDist = 1 + rng() % 30;
                std::vector<uint8_t> dist(nDist, 0);
                switch (rng() % 4) {
                    case 0: break;                             // no distance codes
                    case 1: dist[rng() % nDist] = 1; break;    // one
                    default: dist = nDist > 1 ? streams::randomCompleteLens(rng, nDist, 2 + rng() % (nDist - 1)) : dist;
                }
                streams::dynamicBlock(w, last, lit, dist, randomTokens(rng, lit, dist, produced));
            }
        }
    }
    return streams::wrap(std::move(w));
}

void damage(Bytes& s, std::mt19937& rng) {
    for (size_t k = 1 + rng() % 3; k; --k) {
        switch (rng() % 6) {
            case 0:  // header, block header and code-length bits
                if (!s.empty()) s[rng() % std::min<size_t>(s.size(), 48)] ^= uint8_t(1u << rng() % 8);
                break;
            case 1:
                if (!s.empty()) s[rng() % s.size()] ^= uint8_t(1u << rng() % 8);
                break;
            case 2:  // the trailer
                if (s.size() >= 4) s[s.size() - 1 - rng() % 4] ^= uint8_t(1u << rng() % 8);
                break;
            case 3:
                s.resize(s.empty() ? 0 : rng() % s.size());
                break;
            case 4:
                for (size_t n = 1 + rng() % 16; n; --n) s.push_back(uint8_t(rng()));
                break;
            default:
                if (!s.empty()) s[rng() % s.size()] = uint8_t(rng());
        }
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
    std::mt19937 rng(seed);
    const unsigned choice = rng() % 8;
    if (choice >= 6 && size) return LLVMFuzzerMutate(data, size, maxSize);
    Bytes s;
    if (choice < 3 || !size) {
        s = rng() % 3 ? zlibMade(rng, maxSize) : handMade(rng);
        if (rng() % 2) damage(s, rng);
    } else {
        s.assign(data, data + size);
        damage(s, rng);
    }
    if (s.size() > maxSize) s.resize(maxSize);
    if (!s.empty()) std::memcpy(data, s.data(), s.size());
    return s.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bytes want;
    const size_t bound = streams::maxInflated(size);
    if (want.size() < bound) want.resize(bound);
    const streams::ZlibResult z = streams::zlibInflate(data, size, want.data(), bound);
    const size_t p = z.produced;
    checkAdler(want.data(), p);
    std::minstd_rand rng(uint32_t(size * 2654435761u) ^ uint32_t(p));
    const size_t caps[] = {p + 4096, p + 1, p, p ? p - 1 : 0, p ? rng() % p : 0, 0};
    using si::inflate::detail::FastLoop;
    for (FastLoop build : {FastLoop::Baseline, FastLoop::Bmi2})
        if (si::inflate::detail::hasFastLoop(build))
            for (size_t cap : caps) checkCap(build, data, size, want.data(), p, z.end, cap);
    return 0;
}
