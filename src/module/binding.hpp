// Binding of call arguments to a member row's parameters, with the module's
// TypeError texts for every way a call can bind wrongly.
#pragma once

#include "module/function.hpp"

namespace qel {

// Fills `bound` (borrowed references, parameter order) from a vectorcall
// argument list, then applies the entry conversions (into `owned`) and the
// exact-str checks. Returns false with a TypeError (or the conversion's error)
// set.
bool bind_arguments(const FunctionObject& fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound, Ref* owned);

}  // namespace qel
