// A C entry point over the deflater for bench/deflate_alone.py, which loads it with ctypes.
#include "flate/deflate.hpp"

extern "C" __attribute__((visibility("default"))) int si_bench_deflate(const uint8_t* in, size_t inLen, uint8_t* out,
                                                                        size_t cap, int index, size_t* written) {
    const si::deflate::Result r = si::deflate::zlibCompress(in, inLen, out, cap, si::deflate::Index(index));
    *written = r.size;
    return int(r.status);
}

extern "C" __attribute__((visibility("default"))) size_t si_bench_deflate_bound(size_t inLen) {
    return si::deflate::zlibBound(inLen);
}
