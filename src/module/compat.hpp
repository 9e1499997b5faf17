// One source for CPython 3.6 to 3.13.
//
// Maps the C-API names the module uses onto interpreters that lack them, in
// the manner of pythoncapi_compat.h but limited to what this module needs:
//
// - 3.8 has vectorcall under provisional names (_PyObject_Vectorcall,
//   _Py_TPFLAGS_HAVE_VECTORCALL) and no PyObject_VectorcallMethod; its
//   PyType_FromSpec does not read `__vectorcalloffset__`.
// - 3.6 and 3.7 have no vectorcall at all. QEL_HAVE_VECTORCALL is 0 there:
//   the function type is then called through tp_call with a tuple and a
//   dict, which are turned into the same argument vector and keyword names,
//   so the binding code, its error texts and the introspection are shared.
//   Calls made by the module go through PyObject_Call.
// - PyObject_CallNoArgs, PyObject_CallOneArg and their method forms are
//   3.9; Py_Is, Py_IsNone, Py_IsTrue and Py_IsFalse are 3.10.
// - Py_NewRef and Py_XNewRef are 3.10; PyInterpreterState_Get is 3.9 (3.8
//   has it as _PyInterpreterState_Get); PyInterpreterState_GetID is 3.7.
// - Py_IsFinalizing is 3.13.
// - 3.6 declares the names in PyMemberDef and PyGetSetDef as `char*`:
//   QEL_CNAME makes a string literal fit either declaration.
//
// Everything here is inline and header-only, so every translation unit that
// includes Python through module/ref.hpp sees the same names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03060000
#error "qel_modbus needs CPython 3.6 or later"
#endif

#if PY_VERSION_HEX >= 0x03080000
#define QEL_HAVE_VECTORCALL 1
#else
#define QEL_HAVE_VECTORCALL 0
#endif

// ---- vectorcall names -------------------------------------------------------

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
// 3.8: provisional spellings of the same functions and flags.
#ifndef PyObject_Vectorcall
#define PyObject_Vectorcall _PyObject_Vectorcall
#endif
#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#endif

#if !QEL_HAVE_VECTORCALL
typedef PyObject* (*vectorcallfunc)(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

#define PY_VECTORCALL_ARGUMENTS_OFFSET (static_cast<size_t>(1) << (8 * sizeof(size_t) - 1))
// The type flags do not exist: a method is then bound by tp_descr_get into a
// bound method, which prepends the instance just as vectorcall binding does.
#define Py_TPFLAGS_HAVE_VECTORCALL 0UL
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0UL

inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
    return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// A vector call made with PyObject_Call: positional arguments into a tuple,
// keyword arguments (names in `kwnames`, values after the positional ones)
// into a dict in the order given.
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* tuple = PyTuple_New(nargs);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject* kwargs = nullptr;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = PyDict_New();
        if (kwargs == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                Py_DECREF(kwargs);
                Py_DECREF(tuple);
                return nullptr;
            }
        }
    }
    PyObject* result = PyObject_Call(callable, tuple, kwargs);
    Py_XDECREF(kwargs);
    Py_DECREF(tuple);
    return result;
}
#endif

#if PY_VERSION_HEX < 0x03090000
// `args[0]` is the object whose method `name` is called with the rest.
inline PyObject* PyObject_VectorcallMethod(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (method == nullptr) return nullptr;
    PyObject* result = PyObject_Vectorcall(method, args + 1, static_cast<size_t>(PyVectorcall_NARGS(nargsf) - 1), kwnames);
    Py_DECREF(method);
    return result;
}
#endif

namespace qel {
namespace compat {

#if !QEL_HAVE_VECTORCALL
// tp_call of a type whose objects carry a vectorcall-style entry: the tuple
// and dict become an argument vector followed by the keyword values, and a
// tuple of the keyword names, as the interpreter would pass them to
// vectorcall. Keyword order is the dict's, which is the order of the call.
inline PyObject* call_with_tuple(vectorcallfunc entry, PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
    if (nkw == 0) return entry(callable, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(nargs), nullptr);
    PyObject* stack_storage[16];
    PyObject** stack = stack_storage;
    if (nargs + nkw > 16) {
        stack = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(nargs + nkw) * sizeof(PyObject*)));
        if (stack == nullptr) return PyErr_NoMemory();
    }
    PyObject* kwnames = PyTuple_New(nkw);
    PyObject* result = nullptr;
    if (kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, i, key);
            stack[nargs + i] = value;
            ++i;
        }
        result = entry(callable, stack, static_cast<size_t>(nargs), kwnames);
        Py_DECREF(kwnames);
    }
    if (stack != stack_storage) PyMem_Free(stack);
    return result;
}
#endif

}  // namespace compat
}  // namespace qel

// ---- references -------------------------------------------------------------

#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
#endif

// ---- interpreters -----------------------------------------------------------

#if PY_VERSION_HEX < 0x03090000
inline PyInterpreterState* PyInterpreterState_Get() { return PyThreadState_Get()->interp; }
#endif

#if PY_VERSION_HEX < 0x03070000
// 3.6 numbers no interpreter; its address tells them apart while both live,
// which is all the single-interpreter check needs.
inline std::int64_t PyInterpreterState_GetID(PyInterpreterState* interp) {
    return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(interp));
}
#endif

// Py_IsFinalizing is public from 3.13; earlier interpreters have it under a
// private name (3.7-3.12) or as the thread that runs the shutdown (3.6).
#if PY_VERSION_HEX < 0x030D0000
inline int Py_IsFinalizing() {
#if PY_VERSION_HEX >= 0x03070000
    return _Py_IsFinalizing();
#else
    return _Py_Finalizing != nullptr;
#endif
}
#endif

// ---- the entry point ---------------------------------------------------------

// Before 3.9 PyMODINIT_FUNC carries no visibility of its own, and the module
// is compiled with hidden visibility: the entry point says so itself.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__) && !defined(_WIN32) && !defined(__CYGWIN__)
#undef PyMODINIT_FUNC
#ifdef __cplusplus
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define PyMODINIT_FUNC __attribute__((visibility("default"))) PyObject*
#endif
#endif

// ---- const-correct member tables ------------------------------------------

#if PY_VERSION_HEX < 0x03070000
#define QEL_CNAME(text) const_cast<char*>(text)
#else
#define QEL_CNAME(text) text
#endif
