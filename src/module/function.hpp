// The module's own function type. Every function and method of the module is
// one of these: it binds arguments by the member row's parameter table, runs
// the entry conversions and checks, and calls the row's C++ body. It supports
// vectorcall and is a method descriptor, so `obj.method(...)` binds `self`
// without allocating a bound method.
#pragma once

#include "module/member_table.hpp"

namespace qel {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MemberRow* row;
    PyObject* name;         // plain, unmangled, interned
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;          // str or None
    PyObject* defaults;     // tuple, or None when there are none
    PyObject* annotations;  // dict
    PyObject* param_names[kMaxParams];      // interned
    PyObject* default_values[kMaxParams];   // borrowed from `defaults`; NULL when required
    Py_ssize_t nrequired;
    // Whether any parameter is converted to a float or must be text: most
    // members have neither, and their calls skip those passes.
    bool converts_floats;
    bool checks_texts;
};

// Creates the function type; called once by the exec step.
PyTypeObject* create_function_type();

// A new function for `row`; `defaults` is a tuple of the trailing parameters'
// default values (or None) and `annotations` a dict, both already evaluated;
// `module_name` is its `__module__`.
Ref make_function(const MemberRow& row, PyObject* qualname, PyObject* defaults, PyObject* annotations,
                  const char* module_name);

inline const char* function_name(const FunctionObject& fn) { return fn.row->name; }

}  // namespace qel
