#include "png/compress.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flate/deflate.hpp"
#include "runtime/names.hpp"

namespace si::png {

namespace {

// Whether the own deflater is used, once decided. Read and written only under the interpreter
// lock; two threads that both probe reach the same verdict.
enum Verdict { kUndecided, kOwn, kZlib };
int g_verdict = kUndecided;

// Deflates `source`, an exact bytes or bytearray object no other code can reach (the encoder's
// scanlines, a probe input), into a new bytes object without the interpreter lock: no Python
// code can touch either while it runs. Null with `refused` set when the deflater declines (an
// input beyond its range); null with MemoryError when memory runs out.
Ref deflateOwn(PyObject* source, bool& refused) {
    refused = false;
    const bool isBytes = PyBytes_CheckExact(source);
    const size_t len = size_t(isBytes ? PyBytes_GET_SIZE(source) : PyByteArray_GET_SIZE(source));
    const size_t cap = deflate::zlibBound(len);
    if (cap == 0 || cap > size_t(PY_SSIZE_T_MAX)) {
        refused = true;
        return Ref();
    }
    // Pages of the bound that the stream does not reach are never touched, so an encode's
    // resident memory is the scanlines and the compressed data, as with zlib.
    Ref out(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(cap)));
    if (!out) return out;
    // Read after the allocation, which may have run a collection.
    const auto* data = reinterpret_cast<const uint8_t*>(isBytes ? PyBytes_AS_STRING(source) : PyByteArray_AS_STRING(source));
    deflate::Result r;
    Py_BEGIN_ALLOW_THREADS
    r = deflate::zlibCompress(data, len, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())), cap);
    Py_END_ALLOW_THREADS
    if (r.status == deflate::Status::NoMemory) return Ref(PyErr_NoMemory());
    if (r.status != deflate::Status::Ok) {
        refused = true;
        return Ref();
    }
    PyObject* bytes = out.release();
    if (_PyBytes_Resize(&bytes, Py_ssize_t(r.size)) < 0) return Ref();
    return Ref(bytes);
}

// The probe set: random bytes (a stored block), text-like lines (dynamic codes, short and
// long matches), and 66,000 zero bytes followed by 16,500 random ones: runs of the longest
// match, two window slides, two full blocks of 16,383 symbols and a last one, the first of
// them too far behind the window to be stored.
std::vector<std::vector<uint8_t>> probeInputs() {
    uint32_t state = 12345;
    auto random = [&state](std::vector<uint8_t>& v, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            state = state * 1103515245u + 12345u;
            v.push_back(uint8_t(state >> 23));
        }
    };
    std::vector<std::vector<uint8_t>> inputs(3);
    random(inputs[0], 1000);
    char line[64];
    for (int i = 0; i < 120; ++i) {
        const int n = std::snprintf(line, sizeof line, "row %d: value=%d name=%.*s\n", i, (i * 7919) % 1000, 1 + i % 8,
                                    "abcdefgh");
        inputs[1].insert(inputs[1].end(), line, line + n);
    }
    inputs[2].assign(66000, 0);
    random(inputs[2], 16500);
    return inputs;
}

// 1 when every probe input deflates to the bytes `zlib.compress` gives, 0 when one differs,
// -1 with an error set.
int probe(PyObject* zlib) {
    for (const auto& input : probeInputs()) {
        Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(input.data()), Py_ssize_t(input.size())));
        if (!data) return -1;
        Ref want = callMethod(zlib, names().compress, data.get());
        if (!want) return -1;
        bool refused;
        Ref got = deflateOwn(data.get(), refused);
        if (!got && !refused) return -1;
        if (!got || !PyBytes_CheckExact(want.get()) || PyBytes_GET_SIZE(want.get()) != PyBytes_GET_SIZE(got.get()) ||
            std::memcmp(PyBytes_AS_STRING(want.get()), PyBytes_AS_STRING(got.get()), size_t(PyBytes_GET_SIZE(got.get()))) != 0)
            return 0;
    }
    return 1;
}

// 1 when the own deflater is used, 0 when not, -1 with an error set.
int ownDeflaterChosen(PyObject* zlib) {
    if (g_verdict != kUndecided) return g_verdict == kOwn;
    const char* off = std::getenv("SIMPLEIMAGE_OWN_DEFLATE");
    if (off && std::strcmp(off, "0") == 0) {
        g_verdict = kZlib;
        return 0;
    }
    // For tests: the probe's outcome forced either way ("match" skips it).
    const char* forced = std::getenv("SIMPLEIMAGE_DEFLATE_PROBE");
    const bool forceMatch = forced && std::strcmp(forced, "match") == 0;
    int same = forceMatch ? 1 : probe(zlib);
    if (same < 0) return -1;
    if (forced && std::strcmp(forced, "mismatch") == 0) same = 0;
    g_verdict = same ? kOwn : kZlib;
    return same;
}

}  // namespace

Ref compressScanlines(PyObject* zlib, PyObject* raw) noexcept {
    // Below this the deflater saves a fraction of a millisecond, less than the probe costs
    // once (about 1 to 2 ms), so a process that writes only small images never probes.
    constexpr Py_ssize_t kOwnFrom = 256 * 1024;
    if (PyByteArray_CheckExact(raw) && PyByteArray_GET_SIZE(raw) >= kOwnFrom &&
        isStandardFunction(zlib, names().compress, "zlib")) {
        const int own = ownDeflaterChosen(zlib);
        bool refused = false;
        Ref compressed = own > 0 ? deflateOwn(raw, refused) : Ref();
        if (compressed) return compressed;
        // The own way takes its memory at once (the output's whole bound, its tables, the probe)
        // where zlib.compress grows its output as it goes: when that memory is refused, zlib
        // decides, so an encode fails only where it has always failed.
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return Ref();
            PyErr_Clear();
        }
    }
    return callMethod(zlib, names().compress, raw);
}

}  // namespace si::png
