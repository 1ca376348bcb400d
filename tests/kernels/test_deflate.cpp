// Checks the deflater against zlib's compress2 at level 6 (what zlib.compress does) on the table
// of hard cases, with each of its ways of finding candidates: the bytes must be equal. Also into an output one byte smaller than zlib's
// stream, so that a bound too tight is refused rather than overrun (ASan sees that).
// Built and run by tests/test_png_kernels.py.
#include <cstdio>
#include <cstring>
#include <memory>

#include "flate/deflate.hpp"
#include "kernels/deflate_cases.hpp"

namespace {

int failures = 0;

void check(const deflate_cases::Case& c) {
    const auto& d = c.data;
    uLongf zlen = compressBound(uLong(d.size()));
    streams::Bytes want(zlen);
    if (compress2(want.data(), &zlen, d.data(), uLong(d.size()), 6) != Z_OK) __builtin_trap();
    want.resize(zlen);

    const size_t cap = si::deflate::zlibBound(d.size());
    std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
    using si::deflate::Index;
    for (const Index index : {Index::Adaptive, Index::Plain, Index::Finer, Index::Switching}) {
        const auto r = si::deflate::zlibCompress(d.data(), d.size(), out.get(), cap, index);
        if (r.status != si::deflate::Status::Ok || r.size != want.size() || std::memcmp(out.get(), want.data(), r.size) != 0) {
            size_t at = 0;
            while (at < r.size && at < want.size() && out[at] == want[at]) ++at;
            if (++failures < 20)
                std::printf("MISMATCH %s (%zu bytes, index %d): status %d, size %zu vs zlib %zu, first difference at %zu\n",
                            c.name.c_str(), d.size(), int(index), int(r.status), r.size, want.size(), at);
        }
    }
    // Too small an output is refused, never overrun.
    std::unique_ptr<uint8_t[]> small(new uint8_t[want.size() - 1]);
    if (si::deflate::zlibCompress(d.data(), d.size(), small.get(), want.size() - 1).status != si::deflate::Status::Refused)
        if (++failures < 20) std::printf("NOT REFUSED %s into %zu bytes\n", c.name.c_str(), want.size() - 1);
}

}  // namespace

int main() {
    const auto cases = deflate_cases::hardCases();
    for (const auto& c : cases) check(c);
    std::printf("cases: %zu failures: %d\n", cases.size(), failures);
    return failures != 0;
}
