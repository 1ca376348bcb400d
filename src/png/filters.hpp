// Scanline kernels of the PNG codec: pure byte work with no interpreter in sight, so each can
// be checked against the scalar reference and timed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::png::kernels {

// Reverses one filter over a row of `len` bytes in place (`len` a multiple of the pixel size).
// `prev` is the reconstructed previous row, never null here (see unfilterRow).
using RowFn = void (*)(uint8_t* row, const uint8_t* prev, size_t len);
// Reverses one filter over two consecutive rows in place: `first` against `prev`, then `second`
// against the reconstructed `first`. Interleaving them gives two independent chains.
using PairFn = void (*)(uint8_t* first, uint8_t* second, const uint8_t* prev, size_t len);
// Reverses Paeth over four consecutive rows in place, each against the one before it (the
// first against `prev`); as four chains advancing together.
using QuadFn = void (*)(uint8_t* const rows[4], const uint8_t* prev, size_t len);
// Copies `count` RGBA pixels to RGB, dropping alpha. The two buffers do not overlap.
using StripFn = void (*)(const uint8_t* rgba, uint8_t* rgb, size_t count);

struct Kernels {
    const char* name;
    RowFn sub3, sub4, up, avg3, avg4, paeth3, paeth4;
    PairFn paethPair3, paethPair4, avgPair4;
    StripFn stripAlpha;
    QuadFn paethQuad3, paethQuad4;  // null where two pairs are as fast
};

enum class Isa { Scalar, SSE2, SSSE3, SSE41, AVX2 };

// The kernel set for `isa`, or null when this CPU cannot run it. A set reuses the best lower
// set's kernel wherever it has no faster one of its own.
const Kernels* kernelsFor(Isa isa) noexcept;

// The fastest set this CPU runs, chosen on first use.
const Kernels& bestKernels() noexcept;

// Reverses filter type `filter` (0 to 4) of one row of `bpp`-byte pixels (3 or 4) in place.
// `prev` is null for the first row, whose previous row is all zeros.
void unfilterRow(const Kernels& k, int filter, uint8_t* row, const uint8_t* prev, size_t len, int bpp) noexcept;

// Paeth, or Average on 4-byte pixels, over two consecutive rows, as two unfilterRow calls would
// do it; `prev` is not null. (Average on 3-byte pixels measured slower as a pair.)
void unfilterPair(const Kernels& k, int filter, uint8_t* first, uint8_t* second, const uint8_t* prev, size_t len,
                  int bpp) noexcept;

// Paeth over four consecutive rows, as four unfilterRow calls would do it; `prev` is not null.
void unfilterQuad(const Kernels& k, uint8_t* const rows[4], const uint8_t* prev, size_t len, int bpp) noexcept;

// Scalar kernels, the reference every other set is tested against.
extern const Kernels kScalar;

}  // namespace si::png::kernels
