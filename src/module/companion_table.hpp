// What qel_modbus hands the companion's stub extension: the companion's
// module definition, which lives in this library so that it runs on this
// module's state. The stub finds the table through qel_modbus's module state
// and checks magic and version before it trusts the rest, so a stub of
// another build fails its import instead of calling into the unknown.
//
// Plain C++ and Python's headers only: the stub includes this file and
// nothing else of the project.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstdint>

namespace qel {

struct CompanionTable {
    std::uint32_t magic;
    std::uint32_t version;
    PyModuleDef* companion;
};

// "QELc"
constexpr std::uint32_t kCompanionMagic = 0x51454c63u;
// Raised whenever the layout or the meaning of the table changes.
constexpr std::uint32_t kCompanionVersion = 1;

}  // namespace qel
