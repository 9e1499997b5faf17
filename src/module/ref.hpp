// Owning references to Python objects and the C++ side of Python errors.
//
// Ownership is always explicit: a Ref is made with Ref::steal (takes over a
// new reference) or Ref::borrow (adds one); there is no implicit constructor
// from PyObject*, because an implicit one silently steals.
#pragma once

#include "module/compat.hpp"
#include "module/unwind.hpp"

#include <utility>

namespace qel {

// Thrown when a Python error is already set; the noexcept boundary of every
// slot and vectorcall turns it back into a NULL return.
struct PythonError {};

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes over a new reference from a fallible C-API call; NULL means the call
// failed and set an error.
inline Ref checked(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return Ref::steal(p);
}

// For C-API calls that report failure with -1.
inline int checked_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// The Python error set now, taken aside while other calls run; dropped
// unless raised again.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SavedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    bool matches(PyObject* type) const { return type_ != nullptr && PyErr_GivenExceptionMatches(type_, type); }
    [[noreturn]] void raise_again() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        throw PythonError{};
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Python's `obj.name`, `obj.name = value` and `obj.name(args...)`.
inline Ref getattr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    checked_status(PyObject_SetAttr(obj, name, value));
}

// Python code may give the interpreter lock up and be ended by the
// interpreter's shutdown on taking it back (module/unwind.hpp).
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* stack[] = {self, args...};
    return checked(stopping_forced_unwind([&] {
        return PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* stack[] = {nullptr, args...};
    return checked(stopping_forced_unwind([&] {
        return PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

inline Ref new_int(long long v) { return checked(PyLong_FromLongLong(v)); }

inline Ref none() { return Ref::borrow(Py_None); }

inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace qel
