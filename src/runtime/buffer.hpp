// A buffer export held for a scope. Raw access to a Python object's bytes is bounded by the
// length of the export actually held (never by what __len__ claims), and the export keeps the
// exporter from being resized or freed under the reader for as long as it is held (see the
// rule in ref.hpp). Unlike a memoryview, which Python code that finds it may release, nothing
// but this scope can end it.
#pragma once

#include <cstdint>

#include "runtime/ref.hpp"

namespace si {

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // PyBUF_SIMPLE: a contiguous run of bytes, whatever the exporter's item size.
    bool acquire(PyObject* obj) noexcept {
        release();
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const uint8_t* data() const noexcept { return static_cast<const uint8_t*>(view_.buf); }
    // For a buffer the module made itself and fills (a private bytearray).
    uint8_t* mutableData() const noexcept { return static_cast<uint8_t*>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace si
