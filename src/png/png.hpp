// PNG codec: chunk framing, decoder and encoder (protocol layer over Python objects).
#pragma once

#include "runtime/function.hpp"

namespace si::png {

extern const FunctionSpec kReadChunkSpec;   // _readChunk(stream)
extern const FunctionSpec kMakeChunkSpec;   // _makeChunk(chunkType, data)
extern const FunctionSpec kWritePngSpec;    // _writePng(path, width, height, pixels)

// Decodes the PNG file that `stream` holds from its current position: the tuple
// (width, height, pixels), or null with an exception set and a traceback entry added.
// `ownFile`: the stream is a file the module opened itself, whose reads nobody can see.
Ref loadPng(PyObject* stream, bool ownFile) noexcept;

// What _readChunk(stream) does; `ownFile` as for loadPng.
Ref readChunk(PyObject* stream, bool ownFile) noexcept;

}  // namespace si::png
