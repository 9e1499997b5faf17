#include "module/class_builder.hpp"

#include "module/function.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

#include <string>

namespace qel {

namespace {

const Name kSetter{"setter"};

Ref text(const char* s) { return checked(PyUnicode_FromString(s)); }

// A name the class body reads from its module's globals. The companion
// module's classes read the names they share with qel_modbus (the typing
// helpers, TCPTunnel, ModbusStatic) from qel_modbus, so its namespace holds
// only its own classes.
Ref module_global(PyObject* module, const char* name) {
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(module), name);
    PyObject* home = state().module;
    if (v == nullptr && home != nullptr && home != module) v = PyDict_GetItemString(PyModule_GetDict(home), name);
    if (v == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PythonError{};
    }
    return Ref::borrow(v);
}

// A private name `__x` (not ending in `__`) is stored as `_Class__x`.
std::string stored_name(const char* class_name, const char* name) {
    std::string n(name);
    bool is_private = n.size() > 2 && n.compare(0, 2, "__") == 0 && n.compare(n.size() - 2, 2, "__") != 0;
    if (!is_private || class_name == nullptr) return n;
    return std::string("_") + class_name + n;
}

Ref default_value(const Default& d, PyObject* module) {
    switch (d.tag) {
        case Default::Tag::NoneValue: return none();
        case Default::Tag::Int: return new_int(d.int_value);
        case Default::Tag::Float: return checked(PyFloat_FromDouble(d.float_value));
        case Default::Tag::Text: return text(d.text);
        case Default::Tag::False: return boolean(false);
        case Default::Tag::StaticAttr:
            return checked(PyObject_GetAttrString(module_global(module, "ModbusStatic").get(), d.text));
        case Default::Tag::Absent: break;
    }
    return Ref{};
}

// The defaults tuple of a row, evaluated now (None when it has none).
Ref evaluate_defaults(const MemberRow& row, PyObject* module) {
    std::size_t first = row.nparams;
    while (first > 0 && row.params[first - 1].def.tag != Default::Tag::Absent) --first;
    if (first == row.nparams) return none();
    Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(row.nparams - first)));
    for (std::size_t i = first; i < row.nparams; ++i)
        PyTuple_SET_ITEM(tuple.get(), i - first, default_value(row.params[i].def, module).release());
    return tuple;
}

Ref union_of(PyObject* module, std::initializer_list<PyObject*> members) {
    Ref args = checked(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
    Py_ssize_t i = 0;
    for (PyObject* m : members) PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(m));
    return checked(PyObject_GetItem(module_global(module, "_Union").get(), args.get()));
}

Ref annotation_value(Ann a, PyObject* module) {
    switch (a) {
        case Ann::Int: return text("int");
        case Ann::Float: return text("float");
        case Ann::Str: return text("unicode");
        case Ann::Bool: return Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
        case Ann::Iterable: return module_global(module, "_Iterable");
        case Ann::Sequence: return module_global(module, "_Sequence");
        case Ann::BytesLike:
            return union_of(module, {reinterpret_cast<PyObject*>(&PyBytes_Type),
                                     reinterpret_cast<PyObject*>(&PyByteArray_Type), state().array_type});
        case Ann::Channel:
            return union_of(module, {module_global(module, "_Serial").get(), module_global(module, "TCPTunnel").get()});
        case Ann::None: break;
    }
    return Ref{};
}

Ref evaluate_annotations(const MemberRow& row, PyObject* module) {
    Ref dict = checked(PyDict_New());
    for (std::size_t i = 0; i < row.nparams; ++i) {
        if (row.params[i].ann == Ann::None) continue;
        checked_status(PyDict_SetItemString(dict.get(), row.params[i].name,
                                            annotation_value(row.params[i].ann, module).get()));
    }
    if (row.ret != Ann::None)
        checked_status(PyDict_SetItemString(dict.get(), "return", annotation_value(row.ret, module).get()));
    return dict;
}

Ref function_for(const MemberRow& row, const char* class_name, PyObject* module, const char* module_name) {
    Ref qualname = class_name ? checked(PyUnicode_FromFormat("%s.%s", class_name, row.name)) : text(row.name);
    Ref defaults = evaluate_defaults(row, module);
    Ref annotations = evaluate_annotations(row, module);
    return make_function(row, qualname.get(), defaults.get(), annotations.get(), module_name);
}

Ref lookup(PyObject* ns, const std::string& key) {
    Ref k = text(key.c_str());
    return checked(PyObject_GetItem(ns, k.get()));
}

void store(PyObject* ns, const std::string& key, PyObject* value) {
    Ref k = text(key.c_str());
    checked_status(PyObject_SetItem(ns, k.get(), value));
}

// One statement of a class body: define, decorate and store a member.
void run_row(const MemberRow& row, const char* class_name, PyObject* ns, PyObject* module, const char* module_name) {
    const std::string key = stored_name(class_name, row.name);
    auto function = [&] { return function_for(row, class_name, module, module_name); };
    switch (row.kind) {
        case Kind::Attribute: store(ns, key, new_int(row.value).get()); return;
        case Kind::Alias: store(ns, key, lookup(ns, stored_name(class_name, row.target)).get()); return;
        case Kind::Method:
        case Kind::Function: store(ns, key, function().get()); return;
        case Kind::Static: store(ns, key, call(state().staticmethod, function().get()).get()); return;
        case Kind::Getter: store(ns, key, call(state().property, function().get()).get()); return;
        case Kind::Setter: {
            Ref prop = lookup(ns, key);
            Ref with_setter = call_method(prop.get(), kSetter.get(), function().get());
            store(ns, key, with_setter.get());
            return;
        }
    }
}

// The namespace comes from the metaclass's __prepare__ when it has one.
Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) {
    PyObject* prepare = PyObject_GetAttrString(meta, "__prepare__");
    if (prepare != nullptr) return call(Ref::steal(prepare).get(), name, bases);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return checked(PyDict_New());
}

}  // namespace

Ref build_class(const ClassTable& table, PyObject* module, const char* module_name) {
    Ref name = text(table.name);
    Ref bases = table.exception_base ? checked(PyTuple_Pack(1, PyExc_Exception)) : checked(PyTuple_New(0));
    PyObject* meta = table.exception_base ? reinterpret_cast<PyObject*>(Py_TYPE(PyExc_Exception))
                                          : reinterpret_cast<PyObject*>(&PyType_Type);
    Ref ns = prepare_namespace(meta, name.get(), bases.get());
    store(ns.get(), "__module__", text(module_name).get());
    store(ns.get(), "__qualname__", name.get());
    for (std::size_t i = 0; i < table.nrows; ++i) run_row(table.rows[i], table.name, ns.get(), module, module_name);
    Ref cls = call(meta, name.get(), bases.get(), ns.get());
    checked_status(PyObject_SetAttr(module, name.get(), cls.get()));
    return cls;
}

void build_module_function(const MemberRow& row, PyObject* module, const char* module_name) {
    Ref fn = function_for(row, nullptr, module, module_name);
    checked_status(PyObject_SetAttrString(module, row.name, fn.get()));
}

Ref snapshot_members(PyObject* cls) {
    Ref copy = checked(PyDict_New());
    checked_status(PyDict_Update(copy.get(), reinterpret_cast<PyTypeObject*>(cls)->tp_dict));
    return copy;
}

}  // namespace qel
