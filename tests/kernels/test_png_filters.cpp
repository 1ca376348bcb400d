// Checks every scanline kernel set this CPU runs against a plain reference of the PNG filters,
// byte for byte, over random rows. Built and run by tests/test_png_kernels.py.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "png/filters.hpp"
#include "png/scanlines.hpp"

using namespace si::png::kernels;

namespace {

int reference(int filter, int left, int up, int upLeft) {
    switch (filter) {
        case 1: return left;
        case 2: return up;
        case 3: return (left + up) >> 1;
        case 4: {
            int p = left + up - upLeft;
            int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - upLeft);
            if (pa <= pb && pa <= pc) return left;
            return pb <= pc ? up : upLeft;
        }
        default: return 0;
    }
}

void referenceRow(int filter, std::vector<uint8_t>& row, const uint8_t* prev, int bpp) {
    for (size_t i = 0; i < row.size(); ++i) {
        int left = i >= size_t(bpp) ? row[i - bpp] : 0;
        int up = prev ? prev[i] : 0;
        int upLeft = prev && i >= size_t(bpp) ? prev[i - bpp] : 0;
        row[i] = uint8_t(row[i] + reference(filter, left, up, upLeft));
    }
}

int failures = 0;

void check(bool ok, const char* what, const char* set, int filter, int bpp, size_t width, bool first) {
    if (ok) return;
    if (++failures < 20)
        std::printf("MISMATCH %s set=%s filter=%d bpp=%d width=%zu firstRow=%d\n", what, set, filter, bpp, width,
                    int(first));
}

}  // namespace

int main() {
    std::mt19937 rng(12345);
    std::vector<const Kernels*> sets;
    const Isa all[] = {Isa::Scalar, Isa::SSE2, Isa::SSSE3, Isa::SSE41, Isa::AVX2};
    for (Isa isa : all)
        if (const Kernels* k = kernelsFor(isa)) sets.push_back(k);
    std::vector<size_t> widths;
    for (size_t w = 0; w <= 80; ++w) widths.push_back(w);
    for (size_t w : {127, 128, 129, 255, 256, 1000, 1023, 3840}) widths.push_back(w);
    long cases = 0;
    for (int round = 0; round < 6; ++round) {
        for (size_t width : widths) {
            for (int bpp : {3, 4}) {
                size_t len = width * bpp;
                // Exact-size buffers, so a kernel touching a byte beyond the row shows under ASan.
                std::vector<uint8_t> filtered(len), prev(len);
                // Some rounds use extreme bytes to reach the wrap-around and tie cases.
                for (size_t i = 0; i < len; ++i) {
                    filtered[i] = uint8_t(round == 1 ? (rng() & 1) * 255 : round == 2 ? rng() % 4 : rng());
                    prev[i] = uint8_t(round == 1 ? (rng() & 1) * 255 : round == 2 ? rng() % 4 : rng());
                }
                for (int filter = 0; filter <= 4; ++filter) {
                    for (bool first : {false, true}) {
                        std::vector<uint8_t> want = filtered;
                        referenceRow(filter, want, first ? nullptr : prev.data(), bpp);
                        for (const Kernels* k : sets) {
                            std::vector<uint8_t> got = filtered;
                            unfilterRow(*k, filter, got.data(), first ? nullptr : prev.data(), len, bpp);
                            check(got == want, "unfilter", k->name, filter, bpp, width, first);
                            ++cases;
                        }
                    }
                }
                for (int filter : {3, 4}) {
                    if (filter == 3 && bpp == 3) continue;  // never paired
                    // Two rows at once equal two rows one after the other.
                    std::vector<uint8_t> second(len);
                    for (auto& b : second) b = uint8_t(rng());
                    std::vector<uint8_t> want1 = filtered, want2 = second;
                    referenceRow(filter, want1, prev.data(), bpp);
                    referenceRow(filter, want2, want1.data(), bpp);
                    for (const Kernels* k : sets) {
                        std::vector<uint8_t> got1 = filtered, got2 = second;
                        unfilterPair(*k, filter, got1.data(), got2.data(), prev.data(), len, bpp);
                        check(got1 == want1 && got2 == want2, "pair", k->name, filter, bpp, width, false);
                        ++cases;
                    }
                }
                {
                    // Four Paeth rows at once equal four rows one after the other.
                    std::vector<std::vector<uint8_t>> in(4, std::vector<uint8_t>(len)), want(4);
                    for (auto& r : in)
                        for (auto& b : r) b = uint8_t(round == 1 ? (rng() & 1) * 255 : rng());
                    for (int r = 0; r < 4; ++r) {
                        want[r] = in[r];
                        referenceRow(4, want[r], r ? want[r - 1].data() : prev.data(), bpp);
                    }
                    for (const Kernels* k : sets) {
                        auto got = in;
                        uint8_t* const rows[4] = {got[0].data(), got[1].data(), got[2].data(), got[3].data()};
                        unfilterQuad(*k, rows, prev.data(), len, bpp);
                        check(got == want, "quad", k->name, 4, bpp, width, false);
                        ++cases;
                    }
                }
                if (bpp == 4) {
                    std::vector<uint8_t> want(width * 3);
                    for (size_t i = 0; i < width; ++i)
                        for (int c = 0; c < 3; ++c) want[3 * i + c] = filtered[4 * i + c];
                    for (const Kernels* k : sets) {
                        std::vector<uint8_t> got(width * 3);
                        k->stripAlpha(filtered.data(), got.data(), width);
                        check(got == want, "stripAlpha", k->name, 0, 4, width, false);
                        ++cases;
                    }
                }
            }
        }
    }
    // Whole images: reconstructed at once (RGB compacted in place) as row by row with the
    // reference, for filter sequences that pair and break pairs.
    for (int round = 0; round < 40; ++round) {
        const size_t width = rng() % 70, height = 1 + rng() % 9;
        for (int bpp : {3, 4}) {
            const size_t len = width * bpp;
            std::vector<uint8_t> data((len + 1) * height), image(width * 3 * height), want = image;
            std::vector<uint8_t> prev(len);
            for (size_t y = 0; y < height; ++y) {
                uint8_t* line = data.data() + y * (len + 1);
                line[0] = uint8_t(round % 3 == 0 ? 4 : rng() % 5);
                std::vector<uint8_t> row(len);
                for (size_t i = 0; i < len; ++i) row[i] = line[1 + i] = uint8_t(rng());
                referenceRow(line[0], row, y ? prev.data() : nullptr, bpp);
                prev = row;
                for (size_t x = 0; x < width; ++x)
                    for (int c = 0; c < 3; ++c) want[(y * width + x) * 3 + c] = row[x * bpp + c];
            }
            for (const Kernels* k : sets) {
                std::vector<uint8_t> work = data;
                if (bpp == 3) {
                    si::png::scanlines::reconstruct(*k, work.data(), height, width, bpp, work.data());
                    work.resize(want.size());
                    check(work == want, "image in place", k->name, -1, bpp, width, false);
                } else {
                    std::vector<uint8_t> got(want.size());
                    si::png::scanlines::reconstruct(*k, work.data(), height, width, bpp, got.data());
                    check(got == want, "image", k->name, -1, bpp, width, false);
                }
                ++cases;
            }
        }
    }
    std::printf("sets:");
    for (const Kernels* k : sets) std::printf(" %s", k->name);
    std::printf("\ncases: %ld\nfailures: %d\n", cases, failures);
    return failures ? 1 : 0;
}
