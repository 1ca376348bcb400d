// From the scanline data to the IDAT data. While the namespace's `zlib` is the standard module
// and its `compress` the standard function, and the module's own deflater has been found to
// write what that function writes, the scanlines are deflated by the module's own deflater
// (byte for byte zlib's level 6, faster); anything else bound there is called as always:
// `zlib.compress(raw)`.
//
// Scanlines under 256 KiB always go to zlib.compress. The finding is made once per process, at
// the first encode that could use the deflater: a
// small fixed set of inputs is compressed both ways (a system zlib other than stock zlib
// writes other bytes). SIMPLEIMAGE_OWN_DEFLATE=0 in the environment turns the own deflater off.
// For tests, SIMPLEIMAGE_DEFLATE_PROBE forces the probe's outcome: "match" uses the deflater
// without probing, "mismatch" probes and then keeps calling zlib.compress.
#pragma once

#include "runtime/ref.hpp"

namespace si::png {

// zlib.compress(raw) as a bytes object, or null with an exception set. `raw` is the encoder's
// own bytearray, reachable by no other code. Memory the own deflater cannot get sends the call
// to zlib.compress, whose errors are the only ones an encode raises.
Ref compressScanlines(PyObject* zlib, PyObject* raw) noexcept;

}  // namespace si::png
