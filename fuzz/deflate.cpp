// libFuzzer target: the deflater against zlib's compress2 at level 6 (what zlib.compress does)
// on every input, with each of its ways of finding candidates. Any difference in the bytes, or
// a refusal, aborts.
//
// An input is either the data itself (first byte even) or a short program that expands to the
// data (first byte odd): literal bytes, runs, and copies from a distance, so that a few hundred
// input bytes can stand for megabytes of long runs, repeats at distances near 4096 and 32506,
// or a block that outgrows the window. The custom mutator writes such programs, image rows
// (flat, gradient, photograph-like, screenshot-like) and the table of hard cases' shapes, and
// otherwise leaves mutation to libFuzzer. See .ci/fuzz.sh for the build.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "flate/deflate.hpp"
#include "kernels/deflate_cases.hpp"

using streams::Bytes;

namespace {

constexpr size_t kMaxExpanded = 3u << 20;

uint32_t read16(const uint8_t*& p, const uint8_t* end) {
    uint32_t v = 0;
    for (int i = 0; i < 2 && p < end; ++i) v = v | uint32_t(*p++) << (8 * i);
    return v;
}

// Ops: 0 n: the next n bytes; 1 b n16: b repeated n16 * 4 + 1 times; 2 d16 n16: copy n16 + 3
// bytes from d16 + 1 back (overlap allowed); 3 d n: copy n + 3 bytes from 4096 - 8 + d back;
// 4 d n: copy n + 3 bytes from 32506 - 8 + d back; 5 s n16: n16 * 4 pseudo-random bytes.
Bytes expand(const uint8_t* p, const uint8_t* end) {
    Bytes d;
    auto copy = [&](size_t distance, size_t n) {
        if (distance == 0 || distance > d.size()) return;
        for (; n && d.size() < kMaxExpanded; --n) d.push_back(d[d.size() - distance]);
    };
    while (p < end && d.size() < kMaxExpanded) {
        const uint8_t op = *p++ % 6;
        switch (op) {
            case 0: {
                size_t n = p < end ? *p++ : 0;
                for (; n && p < end; --n) d.push_back(*p++);
                break;
            }
            case 1: {
                const uint8_t b = p < end ? *p++ : 0;
                d.insert(d.end(), std::min<size_t>(read16(p, end) * 4 + 1, kMaxExpanded - d.size()), b);
                break;
            }
            case 2: {
                const size_t distance = read16(p, end) + 1;
                copy(distance, read16(p, end) + 3);
                break;
            }
            case 3:
            case 4: {
                const size_t distance = (op == 3 ? 4096 : 32506) - 8 + (p < end ? *p++ % 16 : 0);
                copy(distance, (p < end ? *p++ : 0) + 3);
                break;
            }
            default: {
                std::minstd_rand rng(p < end ? *p++ : 0);
                for (size_t n = size_t(read16(p, end)) * 4; n && d.size() < kMaxExpanded; --n) d.push_back(uint8_t(rng()));
            }
        }
    }
    return d;
}

void compare(const uint8_t* data, size_t size) {
    uLongf zlen = compressBound(uLong(size));
    static Bytes want;
    if (want.size() < zlen) want.resize(zlen);
    if (compress2(want.data(), &zlen, data, uLong(size), 6) != Z_OK) std::abort();
    // The bound the module allocates; anything written past it is caught by ASan.
    const size_t cap = si::deflate::zlibBound(size);
    std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
    // Every way of finding candidates, including the finer index taken up and given up every
    // 4096 positions, which inputs of a fuzzer's sizes would otherwise seldom see.
    using si::deflate::Index;
    for (const Index index : {Index::Adaptive, Index::Plain, Index::Finer, Index::Switching}) {
        const auto r = si::deflate::zlibCompress(data, size, out.get(), cap, index);
        if (r.status != si::deflate::Status::Ok || r.size != zlen || std::memcmp(out.get(), want.data(), zlen) != 0) {
            std::fprintf(stderr, "MISMATCH on %zu bytes (index %d): status %d, %zu bytes against zlib's %lu\n", size,
                         int(index), int(r.status), r.size, static_cast<unsigned long>(zlen));
            std::abort();
        }
    }
}

// A program that expands to data of one of the hard shapes.
Bytes program(std::mt19937& rng) {
    Bytes p{1};
    for (size_t ops = 1 + rng() % 12; ops; --ops) {
        const uint8_t op = uint8_t(rng() % 6);
        p.push_back(op);
        switch (op) {
            case 0:
                p.push_back(uint8_t(rng() % 64));
                for (unsigned k = 0; k < p.back(); ++k) p.push_back(uint8_t(rng() % 4 ? rng() % 8 : rng()));
                break;
            case 3:
            case 4:
                p.push_back(uint8_t(rng()));
                p.push_back(uint8_t(rng() % 4 ? rng() % 8 : rng()));
                break;
            default:
                for (int k = 0; k < 4; ++k) p.push_back(uint8_t(k % 2 && rng() % 2 ? 0 : rng()));
        }
    }
    return p;
}

}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
    std::mt19937 rng(seed);
    const unsigned choice = rng() % 8;
    if (choice >= 4 && size) return LLVMFuzzerMutate(data, size, maxSize);
    Bytes s;
    if (choice < 2) {
        s = program(rng);
    } else if (choice == 2) {
        const size_t w = 1 + rng() % 400;
        s = deflate_cases::imageRows(rng, rng() % 4, w, 1 + rng() % (maxSize / (3 * w + 1) + 1));
        s.insert(s.begin(), 0);
    } else {
        static const size_t distances[] = {4095, 4096, 4097, 32505, 32506, 32507};
        const size_t distance = distances[rng() % 6];
        s = deflate_cases::repeatsAt(rng, std::min<size_t>(maxSize, distance + 1 + rng() % (2 * distance)), distance,
                                     3 + rng() % 6);
        s[0] &= 0xFE;
    }
    if (s.size() > maxSize) s.resize(maxSize);
    if (!s.empty()) std::memcpy(data, s.data(), s.size());
    return s.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size && data[0] & 1) {
        const Bytes d = expand(data + 1, data + size);
        compare(d.data(), d.size());
    } else {
        compare(size ? data + 1 : data, size ? size - 1 : 0);
    }
    return 0;
}
