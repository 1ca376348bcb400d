// Inputs built to reach each of the rules zlib's level-6 deflate decides by, shared by the
// deflater's test table and its fuzz target's seeds and mutator.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernels/streams.hpp"

namespace deflate_cases {

using streams::Bytes;

// Scanlines of an image `w` pixels wide: filter byte 0, then RGB of a kind of picture.
inline Bytes imageRows(std::mt19937& rng, unsigned kind, size_t w, size_t h) {
    Bytes d;
    d.reserve(h * (1 + 3 * w));
    const uint8_t flat[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    int walk = int(rng() % 256);
    for (size_t y = 0; y < h; ++y) {
        d.push_back(0);
        for (size_t x = 0; x < w; ++x)
            for (size_t c = 0; c < 3; ++c) {
                switch (kind % 4) {
                    case 0: d.push_back(flat[c]); break;                                   // flat colour
                    case 1: d.push_back(uint8_t((x * (c + 1) + y * 2) & 0xFF)); break;     // gradient
                    case 2:                                                                // photograph-like
                        walk += int(rng() % 9) - 4;
                        d.push_back(uint8_t(walk));
                        break;
                    default:  // screenshot: flat areas, text-like strokes, repeated widgets
                        d.push_back((x / 7 + y / 5) % 11 == 0 ? uint8_t(rng() % 2 * 255) : flat[c] ^ uint8_t((x / 40) * 16));
                }
            }
    }
    return d;
}

// Random bytes with blocks repeated from `distance` bytes back: 3-byte copies at 4096 and 4097
// test the dropped far short match, copies near 32506 the window limit.
inline Bytes repeatsAt(std::mt19937& rng, size_t size, size_t distance, size_t copyLen) {
    Bytes d(size);
    for (size_t i = 0; i < size; ++i) {
        const bool copy = i >= distance && (i / copyLen) % 3 == 1;
        d[i] = copy ? d[i - distance] : uint8_t(rng());
    }
    return d;
}

struct Case {
    std::string name;
    Bytes data;
};

// The table: every size around the thresholds, and data shaped for each rule.
inline std::vector<Case> hardCases() {
    std::mt19937 rng(1234);
    std::vector<Case> cases;
    auto add = [&](std::string name, Bytes d) { cases.push_back({std::move(name), std::move(d)}); };
    for (size_t n : {0, 1, 2, 3, 4, 5, 258, 259, 261, 262, 263}) {
        add("zeros " + std::to_string(n), Bytes(n, 0));
        add("random " + std::to_string(n), streams::makeData(rng, n));
    }
    // 16383 literals fill a block exactly; one more starts a second.
    for (size_t n : {16382, 16383, 16384, 16385, 32766, 32767}) {
        Bytes d(n);
        for (auto& b : d) b = uint8_t(rng());
        add("literals " + std::to_string(n), std::move(d));
    }
    // Long runs: the window slides many times, blocks start far behind the scan.
    add("zeros 5 MB", Bytes(5u << 20, 0));
    for (size_t n : {65273, 65274, 65275, 65536 + 262, 98042, 131072}) add("run " + std::to_string(n), Bytes(n, 'x'));
    // A long compressible stretch, then incompressible bytes: whether the block holding both may
    // be stored depends on where the window had slid to.
    for (size_t zeros : {30000, 70000, 200000, 1000000}) {
        Bytes d(zeros, 0);
        for (size_t i = 0; i < 40000; ++i) d.push_back(uint8_t(rng()));
        add("zeros then random " + std::to_string(zeros), std::move(d));
    }
    for (size_t dist : {4095, 4096, 4097, 4098, 32505, 32506, 32507, 32508}) {
        add("3-byte repeats at " + std::to_string(dist), repeatsAt(rng, 3 * dist, dist, 3));
        add("8-byte repeats at " + std::to_string(dist), repeatsAt(rng, 3 * dist, dist, 8));
    }
    // Chains longer than 128 candidates with the longest match far down them, and matches of
    // around the good (8), lazy (16) and nice (128) lengths.
    {
        Bytes d;
        for (int i = 0; i < 600; ++i) {
            for (char c : std::string("abcdefgh")) d.push_back(uint8_t(c));
            for (int k = 0; k < 1 + i % 13; ++k) d.push_back(uint8_t(rng() % 4));
        }
        add("long chains", std::move(d));
    }
    for (size_t run : {7, 8, 9, 15, 16, 17, 127, 128, 129, 257, 258, 259}) {
        Bytes d;
        for (int i = 0; i < 300; ++i) {
            for (size_t k = 0; k < run; ++k) d.push_back(uint8_t(k * 7));
            d.push_back(uint8_t(rng()));
        }
        add("periodic " + std::to_string(run), std::move(d));
    }
    // Skewed frequencies: code lengths over 15 bits need zlib's repair.
    {
        Bytes d;
        uint64_t a = 1, b = 1;
        for (int sym = 0; sym < 25; ++sym) {
            for (uint64_t k = 0; k < a && d.size() < 400000; ++k) d.push_back(uint8_t(sym * 9 + (k & 1)));
            const uint64_t c = a + b;
            a = b;
            b = c;
        }
        std::shuffle(d.begin(), d.end(), rng);
        add("fibonacci frequencies", std::move(d));
    }
    for (unsigned kind = 0; kind < 4; ++kind)
        for (size_t w : {1, 97, 1000}) add("image " + std::to_string(kind) + " w" + std::to_string(w), imageRows(rng, kind, w, 120000 / (3 * w + 1) + 1));
    for (int i = 0; i < 24; ++i) add("mixed " + std::to_string(i), streams::makeData(rng, rng() % 300000));
    return cases;
}

}  // namespace deflate_cases
