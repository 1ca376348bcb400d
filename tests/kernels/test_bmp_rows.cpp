// Proves the vectorised red/blue swap identical to the scalar one, and both to the obvious
// per-pixel definition, over random rows of many widths (every width modulo 4 and the
// widths around each vector step). Guard bytes around each destination catch writes outside
// 3 * width bytes; sources are allocated to their exact size so a sanitizer build catches
// reads past them. Prints "ok" and exits 0, or names the first mismatches.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bmp/rows.hpp"

using namespace si::bmp::rows;

namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kCanary = 0xA5;

int failures = 0;

void fail(const char* what, size_t width, size_t at) {
    if (++failures <= 10) std::printf("FAIL %s width=%zu byte=%zu\n", what, width, at);
}

// Runs `fn` on `src` into a guarded destination and checks the result against `expect`.
void check(const char* what, SwapFn fn, const std::vector<uint8_t>& src, const std::vector<uint8_t>& expect,
           size_t width) {
    std::vector<uint8_t> out(3 * width + 2 * kGuard, kCanary);
    fn(src.data(), out.data() + kGuard, width);
    for (size_t i = 0; i < out.size(); ++i) {
        bool inside = i >= kGuard && i < kGuard + 3 * width;
        uint8_t want = inside ? expect[i - kGuard] : kCanary;
        if (out[i] != want) return fail(what, width, i);
    }
}

void checkStored(const std::vector<uint8_t>& src, const std::vector<uint8_t>& expect, size_t width, size_t pad) {
    std::vector<uint8_t> out(3 * width + pad + 2 * kGuard, kCanary);
    toStoredRow(src.data(), out.data() + kGuard, width, pad);
    for (size_t i = 0; i < out.size(); ++i) {
        uint8_t want = kCanary;
        if (i >= kGuard && i < kGuard + 3 * width) want = expect[i - kGuard];
        else if (i >= kGuard + 3 * width && i < kGuard + 3 * width + pad) want = 0;
        if (out[i] != want) return fail("toStoredRow", width, i);
    }
}

}  // namespace

int main() {
    std::mt19937 rng(12345);
    std::vector<size_t> widths;
    for (size_t w = 0; w <= 300; ++w) widths.push_back(w);
    for (size_t w : {1000u, 1001u, 1002u, 1003u, 3840u, 4093u, 65537u}) widths.push_back(w);
    for (int i = 0; i < 200; ++i) widths.push_back(std::uniform_int_distribution<size_t>(1, 20000)(rng));

    SwapFn vec = swapRedBlueVector();
    std::printf("vector path: %s\n", vec ? "yes" : "no (scalar only)");
    size_t checked = 0;
    for (size_t width : widths) {
        for (int round = 0; round < 3; ++round) {
            std::vector<uint8_t> src(3 * width);
            for (auto& b : src) b = static_cast<uint8_t>(rng());
            std::vector<uint8_t> expect(3 * width);
            for (size_t x = 0; x < width; ++x) {
                expect[3 * x] = src[3 * x + 2];
                expect[3 * x + 1] = src[3 * x + 1];
                expect[3 * x + 2] = src[3 * x];
            }
            check("scalar", swapRedBlueScalar, src, expect, width);
            if (vec) check("vector", vec, src, expect, width);
            check("dispatched", swapRedBlue, src, expect, width);
            checkStored(src, expect, width, width % 4);
            ++checked;
        }
    }
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok %zu rows\n", checked);
    return 0;
}
