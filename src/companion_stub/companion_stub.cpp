// The extension `_qel_modbus_ext`: a stub that links nothing of the project.
// The companion module itself is compiled into the qel_modbus library, so
// that it shares qel_modbus's state; this stub imports qel_modbus, finds the
// companion's definition through qel_modbus's module state and hands it to
// the import system. Anything unexpected on the way (another module named
// qel_modbus, one of another build) ends the import with ImportError instead
// of a call through a pointer of unknown meaning.
#include "module/compat.hpp"  // header-only: the entry point's visibility before 3.9
#include "module/companion_table.hpp"

#include <cstring>

namespace {

PyObject* refuse(const char* why) {
    PyErr_Format(PyExc_ImportError, "qel_modbus_ext needs the qel_modbus module of the same build: %s", why);
    return nullptr;
}

const qel::CompanionTable* companion_table(PyObject* module) {
    if (!PyModule_Check(module)) return nullptr;
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "qel_modbus") != 0 ||
        def->m_size != static_cast<Py_ssize_t>(sizeof(const qel::CompanionTable*)))
        return nullptr;
    void* state = PyModule_GetState(module);
    if (state == nullptr) return nullptr;
    const qel::CompanionTable* table = *static_cast<const qel::CompanionTable* const*>(state);
    if (table == nullptr || table->magic != qel::kCompanionMagic || table->version != qel::kCompanionVersion ||
        table->companion == nullptr)
        return nullptr;
    return table;
}

}  // namespace

PyMODINIT_FUNC PyInit__qel_modbus_ext() {
    PyObject* module = PyImport_ImportModule("qel_modbus");
    if (module == nullptr) return nullptr;
    const qel::CompanionTable* table = companion_table(module);
    Py_DECREF(module);
    if (table == nullptr) {
        // A module object the checks could not read leaves an error behind.
        PyErr_Clear();
        return refuse("the module imported as qel_modbus is another one");
    }
    return PyModuleDef_Init(table->companion);
}
