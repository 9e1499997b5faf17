// Module creation and initialisation: multi-phase init with a create and an
// exec step. The module is a process singleton: one interpreter, one module
// object; a second import returns the remembered object and runs nothing.
// Its module state is one pointer: the table through which the companion's
// stub extension finds the companion module's definition in this library.
#include "ext/companion_module.hpp"
#include "module/class_builder.hpp"
#include "module/classes.hpp"
#include "module/companion_table.hpp"
#include "module/function.hpp"
#include "module/interned.hpp"
#include "module/module_object.hpp"
#include "module/state.hpp"

#include <frameobject.h>

namespace qel {

namespace {

const Name kModuleNameObject{"qel_modbus"};

constexpr const char* kModuleName = "qel_modbus";

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!claim_interpreter()) return nullptr;
    ModuleState& s = state();
    if (s.module != nullptr) return Py_NewRef(s.module);
    return module_from_spec(spec);
}

void check_version() {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4] = {0, 0, 0, 0};
    const char* version = Py_GetVersion();
    for (int i = 0; i < 3 && version[i]; ++i) running[i] = version[i];
    if (built[0] == running[0] && built[2] == running[2]) return;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, kModuleName, running);
    checked_status(PyErr_WarnEx(nullptr, message, 1));
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int has = PyDict_Contains(modules, kModuleNameObject.get());
    checked_status(has);
    if (!has) checked_status(PyDict_SetItem(modules, kModuleNameObject.get(), module));
}

Ref builtin(const char* name) {
    PyObject* v = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (v == nullptr) {
        Ref n = checked(PyUnicode_FromString(name));
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", n.get());
        throw PythonError{};
    }
    return Ref::borrow(v);
}

void resolve_builtins() {
    ModuleState& s = state();
    s.staticmethod = builtin("staticmethod").release();
    s.property = builtin("property").release();
    for (const char* other : {"range", "ValueError", "IOError", "enumerate"}) builtin(other);
}

Ref import(PyObject* module, const char* name, PyObject* fromlist) {
    Ref n = checked(PyUnicode_FromString(name));
    return checked(PyImport_ImportModuleLevelObject(n.get(), PyModule_GetDict(module), nullptr, fromlist, 0));
}

// `from <module_name> import <name> as <bound>`; returns the imported module.
Ref import_from(PyObject* module, const char* module_name, std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref fromlist = checked(PyList_New(0));
    for (auto& item : items) checked_status(PyList_Append(fromlist.get(), checked(PyUnicode_FromString(item.first)).get()));
    Ref source = import(module, module_name, fromlist.get());
    for (auto& item : items) {
        Ref n = checked(PyUnicode_FromString(item.first));
        PyObject* value = PyObject_GetAttr(source.get(), n.get());
        if (value == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
            }
            throw PythonError{};
        }
        checked_status(PyObject_SetAttrString(module, item.second, Ref::steal(value).get()));
    }
    return source;
}

void run_module_body(PyObject* module) {
    ModuleState& s = state();
    Ref struct_module = import(module, "struct", nullptr);
    checked_status(PyObject_SetAttrString(module, "struct", struct_module.get()));
    s.struct_module = struct_module.release();
    Ref array_module = import(module, "array", nullptr);
    checked_status(PyObject_SetAttrString(module, "array", array_module.get()));
    s.array_type = getattr(array_module.get(), checked(PyUnicode_FromString("array")).get()).release();

    import_from(module, "typing", {{"Union", "_Union"}, {"Sequence", "_Sequence"}, {"Iterable", "_Iterable"}});
    import_from(module, "serial", {{"Serial", "_Serial"}});
    Ref socket_module = import_from(module, "socket", {{"create_connection", "_tcp_connect"}});
    s.socket_timeout = checked(PyObject_GetAttrString(socket_module.get(), "timeout")).release();

    build_module_function(kByteArrayFunction, module);
    PyObject** slots[] = {&s.modbus_static, &s.slave_exception, &s.tcp_tunnel,
                          &s.master,        &s.fix_master,      &s.modbus_tcp_master};
    const ClassTable* tables[] = {&kModbusStaticClass, &kSlaveExceptionClass, &kTcpTunnelClass,
                                  &kMasterClass,       &kFixMasterClass,      &kModbusTcpMasterClass};
    for (std::size_t i = 0; i < 6; ++i) *slots[i] = build_class(*tables[i], module).release();
    s.master_members = snapshot_members(s.master).release();
    s.tunnel_members = snapshot_members(s.tcp_tunnel).release();
    s.modbus_tcp_master_members = snapshot_members(s.modbus_tcp_master).release();
}

void add_init_traceback(PyObject* module) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(kModuleName, "init qel_modbus", 1);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr) : nullptr;
    PyErr_Restore(type, value, tb);
    if (code == nullptr) return;
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_DECREF(code);
}

// The companion's stub reaches the companion's definition through this.
const CompanionTable kCompanion = {kCompanionMagic, kCompanionVersion, &companion_module_def};

// The module state holds nothing but the pointer to the table. The
// interpreter gives a module object new, zeroed state whenever it runs the
// exec step, also for the remembered module a second import hands back, so
// every exec step that accepts the module stores the pointer again.
void publish_companion(PyObject* module) {
    if (void* slot = PyModule_GetState(module)) *static_cast<const CompanionTable**>(slot) = &kCompanion;
}

QEL_HANDLES_FORCED_UNWIND int module_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.module != nullptr) {
        if (s.module == module) {
            publish_companion(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qel_modbus' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        check_version();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init qel_modbus");
        return -1;
    }
    s.module = Py_NewRef(module);
    try {
        register_in_sys_modules(module);
        resolve_builtins();
        s.function_type = create_function_type();
        if (s.function_type == nullptr) throw PythonError{};
        s.empty_bytes = checked(PyBytes_FromStringAndSize(nullptr, 0)).release();
        s.typecode_B = checked(PyUnicode_InternFromString("B")).release();
        run_module_body(module);
        publish_companion(module);
        return 0;
    }
    QEL_PASS_FORCED_UNWIND
    catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init qel_modbus");
        add_init_traceback(module);
        reset_state();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, sizeof(const CompanionTable*), nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace qel

PyMODINIT_FUNC PyInit_qel_modbus() { return PyModuleDef_Init(&qel::module_def); }
