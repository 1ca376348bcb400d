#include "bmp/common.hpp"

namespace si::bmp {

PyObject* interned(PyObject*& slot, const char* text) noexcept {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

Ref exactMulAdd(int64_t a, int64_t b, int64_t c) noexcept {
    int64_t product = 0, sum = 0;
    if (!__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(product, c, &sum))
        return Ref(PyLong_FromLongLong(sum));
    Ref pa(PyLong_FromLongLong(a)), pb(PyLong_FromLongLong(b)), pc(PyLong_FromLongLong(c));
    if (!pa || !pb || !pc) return Ref();
    Ref p(PyNumber_Multiply(pa.get(), pb.get()));
    if (!p) return Ref();
    return Ref(PyNumber_Add(p.get(), pc.get()));
}

}  // namespace si::bmp
