// BMP codec: decoder and encoder (protocol layer over Python objects).
#pragma once

#include "runtime/function.hpp"

namespace si::bmp {

extern const FunctionSpec kWriteBmpSpec;    // _writeBmp(path, width, height, pixels)

// Decodes the BMP file that `stream` holds, the stream's position 0 being its first byte:
// the tuple (width, height, pixels), or null with an exception set and a traceback entry.
// `ownFile`: the stream is a file the module opened itself, whose reads nobody can see.
Ref loadBmp(PyObject* stream, bool ownFile) noexcept;

}  // namespace si::bmp
