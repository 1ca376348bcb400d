// Proves the vectorised red/blue swap identical to the scalar one, and both to the per-pixel
// definition, on random rows of many widths (every width modulo 4, the widths around each
// vector step, larger ones). Sources have their exact size, so a sanitizer build catches
// reads past them; guard bytes around each destination catch writes outside the row.
#include <cstdio>
#include <random>
#include <vector>

#include "bmp/rows.hpp"

using namespace si::bmp::rows;

namespace {
constexpr size_t kGuard = 64;
constexpr uint8_t kCanary = 0xA5;
int failures = 0;

// Runs `convert(dst)` on a guarded row of `size` bytes and compares it with `expect`.
template <class F>
void check(const char* what, size_t width, const std::vector<uint8_t>& expect, F convert) {
    std::vector<uint8_t> out(expect.size() + 2 * kGuard, kCanary);
    convert(out.data() + kGuard);
    for (size_t i = 0; i < out.size(); ++i) {
        bool inside = i >= kGuard && i - kGuard < expect.size();
        if (out[i] != (inside ? expect[i - kGuard] : kCanary)) {
            if (++failures <= 10) std::printf("FAIL %s width=%zu byte=%zu\n", what, width, i);
            return;
        }
    }
}
}  // namespace

int main() {
    std::mt19937 rng(12345);
    std::vector<size_t> widths;
    for (size_t w = 0; w <= 300; ++w) widths.push_back(w);
    for (size_t w : {1000u, 1001u, 1002u, 1003u, 3840u, 65537u}) widths.push_back(w);
    for (int i = 0; i < 200; ++i) widths.push_back(std::uniform_int_distribution<size_t>(1, 20000)(rng));

    const SwapFn vec = swapRedBlueVector();
    std::printf("vector path: %s\n", vec ? "yes" : "no (scalar only)");
    size_t rows = 0;
    for (size_t width : widths) {
        for (int round = 0; round < 3; ++round, ++rows) {
            std::vector<uint8_t> src(3 * width);
            for (auto& b : src) b = static_cast<uint8_t>(rng());
            std::vector<uint8_t> expect(3 * width);
            for (size_t x = 0; x < 3 * width; x += 3) {
                expect[x] = src[x + 2];
                expect[x + 1] = src[x + 1];
                expect[x + 2] = src[x];
            }
            check("scalar", width, expect, [&](uint8_t* d) { swapRedBlueScalar(src.data(), d, width); });
            if (vec) check("vector", width, expect, [&](uint8_t* d) { vec(src.data(), d, width); });
            check("dispatched", width, expect, [&](uint8_t* d) { swapRedBlue(src.data(), d, width); });
            std::vector<uint8_t> stored(expect);
            stored.resize(3 * width + width % 4, 0);
            check("toStoredRow", width, stored, [&](uint8_t* d) { toStoredRow(src.data(), d, width, width % 4); });
        }
    }
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok %zu rows\n", rows);
    return 0;
}
