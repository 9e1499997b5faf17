// The companion module's definition, `_qel_modbus_ext`. It lives in the
// qel_modbus library, so it runs on the same state and the same object locks
// as qel_modbus; the separate extension `_qel_modbus_ext` is only a stub that
// hands this definition to the import system.
#pragma once

#include "module/ref.hpp"

namespace qel {

extern PyModuleDef companion_module_def;

}  // namespace qel
