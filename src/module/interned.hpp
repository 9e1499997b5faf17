// Attribute and parameter names as interned strings, made on first use and
// kept for the life of the process. Each file names what it looks up next to
// where it is used, so there is no central list to keep in step.
#pragma once

#include "module/ref.hpp"

namespace qel {

class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // Raises (MemoryError) when the string cannot be made.
    PyObject* get() const {
        if (object_ == nullptr) {
            object_ = PyUnicode_InternFromString(text_);
            if (object_ == nullptr) throw PythonError{};
        }
        return object_;
    }
    const char* text() const { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace qel
