// A one-shot zlib-stream deflater whose output is byte for byte that of zlib 1.2's compress2()
// at level 6 (window 15 bits, memory level 8, the default strategy), which is also what
// CPython's zlib.compress(data) returns. Pure byte work, no interpreter in sight.
//
// It makes every decision zlib's lazy matcher makes: the same hash chains and their limits, the
// same choice among candidates, the same block boundaries and block types, the same Huffman
// codes. It differs only in how it gets there: the whole input is in memory, so nothing is ever
// copied into a sliding window; the window's slides are simulated, not performed, because they
// decide which chain entries remain and whether a long block may still be sent stored.
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::deflate {

enum class Status : uint8_t {
    Ok,        // `size` bytes of zlib stream were written
    NoMemory,  // the working tables could not be allocated
    Refused,   // the input is too large for this deflater, or `cap` too small: use zlib
};

struct Result {
    Status status;
    size_t size;
};

// An output size that always suffices for `len` input bytes (the worst case of a block is its
// fixed-code size: at most 31 bits per 3-byte match, 9 per literal). 0 when `len` is beyond what
// this deflater takes.
size_t zlibBound(size_t len) noexcept;

// How a search finds its candidates; the output is the same for each. Besides zlib's hash
// chains, a finer index (chains of positions sharing their first 4 bytes, with each position's
// rank in zlib's chain) lets a search skip the strings that share only 3 bytes, at the cost of
// keeping it up at every position. Adaptive takes it up and gives it up as it pays; the others
// are for tests: never, always, and taken up and given up every 4096 positions.
enum class Index : uint8_t { Adaptive, Plain, Finer, Switching };

// Compresses in[0, len) into out[0, cap) as a zlib stream. Never reads outside the input or
// writes outside the output. Reentrant; allocates only its working tables (about 470 KiB, of
// which the finer index's 256 KiB are touched only once it is taken up).
Result zlibCompress(const uint8_t* in, size_t len, uint8_t* out, size_t cap, Index index = Index::Adaptive) noexcept;

}  // namespace si::deflate
