// A held buffer view of a bytes-like object, released on scope exit.
#pragma once

#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qel {

class Buffer {
public:
    // Raises the interpreter's TypeError for objects without the buffer protocol.
    explicit Buffer(PyObject* obj) { checked_status(PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

}  // namespace qel
