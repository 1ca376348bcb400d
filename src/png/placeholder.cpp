// TEMPORARY: replaced by the PNG codec.
#include "png/png.hpp"
namespace si::png {
namespace { PyObject* todo(const Args&) { PyErr_SetString(PyExc_NotImplementedError, "png"); return nullptr; } }
const FunctionSpec kReadChunkSpec = {"_readChunk", "_readChunk", Kind::Function, 1, {"stream"}, {Check::None}, nullptr, nullptr, todo};
const FunctionSpec kMakeChunkSpec = {"_makeChunk", "_makeChunk", Kind::Function, 2, {"chunkType", "data"}, {Check::ExactBytes, Check::ExactBytes}, nullptr, nullptr, todo};
const FunctionSpec kWritePngSpec = {"_writePng", "_writePng", Kind::Function, 4, {"path", "width", "height", "pixels"}, {Check::None, Check::Int32, Check::Int32, Check::None}, nullptr, nullptr, todo};
Ref loadPng(PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "png"); return Ref(); }
}
