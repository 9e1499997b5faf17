// The class-creation procedure: walks a class table's rows in order, the way
// a class body runs, and calls the metaclass with the resulting namespace.
#pragma once

#include "module/member_table.hpp"

namespace qel {

// The `__module__` of qel_modbus's classes and functions.
constexpr const char* kQelModbus = "qel_modbus";

// Builds the class described by `table` and binds it in the module. The
// class and its functions report `module_name` as their `__module__`.
Ref build_class(const ClassTable& table, PyObject* module, const char* module_name = kQelModbus);

// Builds a module-level function row and binds it in the module.
void build_module_function(const MemberRow& row, PyObject* module, const char* module_name = kQelModbus);

// A copy of the class dict as built, to tell later whether a member was
// replaced.
Ref snapshot_members(PyObject* cls);

}  // namespace qel
