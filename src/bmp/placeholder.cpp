// TEMPORARY: replaced by the BMP codec.
#include "bmp/bmp.hpp"
namespace si::bmp {
namespace { PyObject* todo(const Args&) { PyErr_SetString(PyExc_NotImplementedError, "bmp"); return nullptr; } }
const FunctionSpec kWriteBmpSpec = {"_writeBmp", "_writeBmp", Kind::Function, 4, {"path", "width", "height", "pixels"}, {Check::None, Check::Int32, Check::Int32, Check::None}, nullptr, nullptr, todo};
Ref loadBmp(PyObject*) noexcept { PyErr_SetString(PyExc_NotImplementedError, "bmp"); return Ref(); }
}
