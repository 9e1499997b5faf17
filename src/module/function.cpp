#include "module/function.hpp"

#include "module/binding.hpp"
#include "module/state.hpp"

#include <new>
#include <stdexcept>
#include <structmember.h>

namespace qel {

namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// The boundary: no C++ exception leaves the body, but a forced unwind (a
// thread the interpreter ends) passes, so nothing here is noexcept.
QEL_HANDLES_FORCED_UNWIND PyObject* run_body(const FunctionObject& fn, PyObject* const* bound) {
    try {
        return fn.row->body(Args(bound, &fn)).release();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    QEL_PASS_FORCED_UNWIND
    catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionObject& fn = *as_function(self);
    PyObject* bound[kMaxParams];
    Ref owned[kMaxParams];
    if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound, owned)) return nullptr;
    return run_body(fn, bound);
}

#if !QEL_HAVE_VECTORCALL
// Interpreters without vectorcall call through tp_call; the arguments take
// the same way from there on.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return compat::call_with_tuple(function_vectorcall, self, args, kwargs);
}
#endif

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->doc);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject*& d : f->default_values) d = nullptr;
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    for (PyObject*& p : f->param_names) Py_CLEAR(p);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_function(self)->defaults); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }

// "(self, station, address, func_code=3)", so inspect.signature and help()
// can read the parameters.
PyObject* get_text_signature(PyObject* self, void*) {
    const FunctionObject& f = *as_function(self);
    Ref parts = checked(PyList_New(0));
    for (std::size_t i = 0; i < f.row->nparams; ++i) {
        PyObject* d = f.default_values[i];
        Ref part = d ? checked(PyUnicode_FromFormat("%U=%R", f.param_names[i], d)) : Ref::borrow(f.param_names[i]);
        checked_status(PyList_Append(parts.get(), part.get()));
    }
    // One-parameter functions take their argument by position only.
    if (f.row->nparams == 1) checked_status(PyList_Append(parts.get(), checked(PyUnicode_FromString("/")).get()));
    Ref comma = checked(PyUnicode_FromString(", "));
    Ref joined = checked(PyUnicode_Join(comma.get(), parts.get()));
    return PyUnicode_FromFormat("(%U)", joined.get());
}

PyObject* text_signature(PyObject* self, void* closure) {
    try {
        return get_text_signature(self, closure);
    } catch (const PythonError&) {
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {QEL_CNAME("__text_signature__"), text_signature, nullptr, nullptr, nullptr},
    {QEL_CNAME("__doc__"), get_doc, nullptr, nullptr, nullptr},
    {QEL_CNAME("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {QEL_CNAME("__annotations__"), get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr std::size_t kModuleMember = 2;  // the row of `__module__` below

PyMemberDef function_members[] = {
    {QEL_CNAME("__name__"), T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {QEL_CNAME("__qualname__"), T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {QEL_CNAME("__module__"), T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
#if QEL_HAVE_VECTORCALL
    {QEL_CNAME("__vectorcalloffset__"), T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
#if QEL_HAVE_VECTORCALL
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
#else
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
#endif
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kNoInstantiation = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kNoInstantiation = 0;
#endif

PyType_Spec function_spec = {
    "qel_modbus.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        kNoInstantiation,
    function_slots,
};

Ref intern(const char* text) { return checked(PyUnicode_InternFromString(text)); }

}  // namespace

PyTypeObject* create_function_type() {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
    // 3.8's PyType_FromSpec does not read `__vectorcalloffset__`.
    type->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    // Older interpreters' PyType_FromSpec stores the module part of the type's
    // name over the `__module__` member, and every function would then report
    // qel_modbus, the companion module's too: the member is put back.
    PyObject* module = PyDict_GetItemString(type->tp_dict, "__module__");
    if (module != nullptr && PyUnicode_Check(module)) {
        PyObject* member = PyDescr_NewMember(type, &function_members[kModuleMember]);
        int failed = member == nullptr || PyDict_SetItemString(type->tp_dict, "__module__", member) < 0;
        Py_XDECREF(member);
        if (failed) {
            Py_DECREF(type);
            return nullptr;
        }
        PyType_Modified(type);
    }
    return type;
}

Ref make_function(const MemberRow& row, PyObject* qualname, PyObject* defaults, PyObject* annotations,
                  const char* module_name) {
    PyTypeObject* type = state().function_type;
    Ref self = checked(PyType_GenericAlloc(type, 0));
    FunctionObject* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->row = &row;
    f->name = intern(row.name).release();
    f->qualname = Py_NewRef(qualname);
    f->module = intern(module_name).release();
    f->doc = row.doc ? checked(PyUnicode_FromString(row.doc)).release() : Py_NewRef(Py_None);
    f->defaults = Py_NewRef(defaults);
    f->annotations = Py_NewRef(annotations);
    for (std::size_t i = 0; i < row.nparams; ++i) f->param_names[i] = intern(row.params[i].name).release();
    const Py_ssize_t ndefaults = defaults == Py_None ? 0 : PyTuple_GET_SIZE(defaults);
    f->nrequired = row.nparams - ndefaults;
    f->converts_floats = f->checks_texts = false;
    for (std::size_t i = 0; i < row.nparams; ++i) {
        f->converts_floats = f->converts_floats || row.params[i].to_float;
        f->checks_texts = f->checks_texts || row.params[i].ann == Ann::Str;
    }
    for (Py_ssize_t i = 0; i < ndefaults; ++i)
        f->default_values[f->nrequired + i] = PyTuple_GET_ITEM(defaults, i);
    return self;
}

}  // namespace qel
