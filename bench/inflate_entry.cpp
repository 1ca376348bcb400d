// A C entry point over the inflater for bench/inflate.py, which loads it with ctypes.
#include "flate/inflate.hpp"

extern "C" __attribute__((visibility("default"))) int si_bench_inflate(const uint8_t* in, size_t inLen, uint8_t* out,
                                                                        size_t cap, size_t* produced) {
    const si::inflate::Result r = si::inflate::zlibInflate(in, inLen, out, cap);
    *produced = r.produced;
    return int(r.status);
}
