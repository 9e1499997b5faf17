// Module creation and initialisation: multi-phase init with a create and an
// exec step. The module is a process singleton: one interpreter, one module
// object; a second import returns the remembered object and runs nothing.
#include "module/class_builder.hpp"
#include "module/classes.hpp"
#include "module/function.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

#include <frameobject.h>

namespace qel {

namespace {

const Name kModuleNameObject{"qel_modbus"};

constexpr const char* kModuleName = "qel_modbus";

// Copies one import-spec attribute into the module dict; a missing one is
// skipped.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = (allow_none || value != Py_None) ? PyDict_SetItemString(dict, to, value) : 0;
    Py_DECREF(value);
    return result;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    ModuleState& s = state();
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (s.interpreter_id == -1) {
        s.interpreter_id = current;
    } else if (s.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (s.module != nullptr) return Py_NewRef(s.module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
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

Ref snapshot_members(PyObject* cls) {
    Ref copy = checked(PyDict_New());
    checked_status(PyDict_Update(copy.get(), reinterpret_cast<PyTypeObject*>(cls)->tp_dict));
    return copy;
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

QEL_HANDLES_FORCED_UNWIND int module_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.module != nullptr) {
        if (s.module == module) return 0;
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
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace qel

PyMODINIT_FUNC PyInit_qel_modbus() { return PyModuleDef_Init(&qel::module_def); }
