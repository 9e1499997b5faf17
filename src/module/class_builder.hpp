// The class-creation procedure: walks a class table's rows in order, the way
// a class body runs, and calls the metaclass with the resulting namespace.
#pragma once

#include "module/member_table.hpp"

namespace qel {

// Builds the class described by `table` and binds it in the module.
Ref build_class(const ClassTable& table, PyObject* module);

// Builds a module-level function row and binds it in the module.
void build_module_function(const MemberRow& row, PyObject* module);

}  // namespace qel
