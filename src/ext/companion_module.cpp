// The companion module, imported as qel_modbus_ext: multi-phase init with a
// create and an exec step, a process singleton like qel_modbus. Its stub
// extension imports qel_modbus first, so the state it builds on is there.
#include "ext/companion_module.hpp"

#include "ext/companion_classes.hpp"
#include "module/class_builder.hpp"
#include "module/module_object.hpp"
#include "module/state.hpp"

namespace qel {

namespace {

constexpr const char* kCompanionName = "qel_modbus_ext";

PyObject* companion_create(PyObject* spec, PyModuleDef*) {
    if (!claim_interpreter()) return nullptr;
    ModuleState& s = state();
    if (s.module == nullptr) {
        PyErr_SetString(PyExc_ImportError, "qel_modbus_ext needs qel_modbus to be imported first");
        return nullptr;
    }
    if (s.companion != nullptr) return Py_NewRef(s.companion);
    return module_from_spec(spec);
}

void build_classes(PyObject* module) {
    ModuleState& s = state();
    s.modbus_tcp_channel = build_class(kModbusTcpChannelClass, module, kCompanionName).release();
    s.modbus_tcp_channel_members = snapshot_members(s.modbus_tcp_channel).release();
    for (const MemberRow* row : {&kExecuteFunction, &kRegistersOfFunction, &kUnpackFunction, &kPackFunction})
        build_module_function(*row, module, kCompanionName);
}

QEL_HANDLES_FORCED_UNWIND int companion_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.companion != nullptr) {
        if (s.companion == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qel_modbus_ext' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (s.module == nullptr) {
        PyErr_SetString(PyExc_ImportError, "qel_modbus_ext needs qel_modbus to be imported first");
        return -1;
    }
    s.companion = Py_NewRef(module);
    try {
        build_classes(module);
        return 0;
    }
    QEL_PASS_FORCED_UNWIND
    catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init qel_modbus_ext");
        reset_companion_state();
        return -1;
    }
}

PyModuleDef_Slot companion_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(companion_create)},
    {Py_mod_exec, reinterpret_cast<void*>(companion_exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef companion_module_def = {
    PyModuleDef_HEAD_INIT, "_qel_modbus_ext", nullptr, 0, nullptr, companion_slots, nullptr, nullptr, nullptr,
};

}  // namespace qel
