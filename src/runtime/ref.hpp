// Owning handle for PyObject references: every reference the module owns lives in one of
// these, so an early return on an error path can never leak.
//
// The rule every routine keeps: no raw pointer into a Python object, no borrowed reference
// and no size measured from one is used after a call that can run Python code. Such calls are
// every protocol call (__len__, __index__, __int__, comparisons, read, write, a rebound module
// attribute), Py_DECREF and Ref's reset or assignment (a freed object's finalizer runs, and
// so may whatever it frees in turn), and every allocation of an object the collector tracks
// (a tuple, a list, a memoryview, a frame for a traceback entry: a collection may start and
// run the finalizers of any garbage). What a routine needs is read before such a call; what
// it keeps across one is held by a Ref (an object) or a BufferView (its bytes), and measured
// again afterwards; what Python code handed back is type-checked before it is read directly.
// Bytes, bytearrays and ints are not tracked, so making one starts no collection; a buffer
// no Python code can reach (a decoder's private bytearray, not yet returned) may be written
// through a pointer across such calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace si {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new (owned) reference; null is allowed and means "failed".
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Saves the exception being raised and puts it back when the scope ends, for work that must
// run with no exception set (making traceback frames, closing files on an error path).
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace si
