// What qel_modbus and its companion module share in their create steps: the
// one interpreter per process, and a module object made from the import spec.
#pragma once

#include "module/ref.hpp"

namespace qel {

// Remembers the first interpreter that loads a module of this library and
// refuses any other one with ImportError. Returns false with the error set.
bool claim_interpreter();

// A new module object named and described by `spec` (its loader, origin,
// parent and search locations), or nullptr with the error set.
PyObject* module_from_spec(PyObject* spec);

}  // namespace qel
