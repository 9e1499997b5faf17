#include "module/built_class.hpp"

namespace qel {

namespace {

const Name kInit{"__init__"};

// Reading a class's __annotations__ stores an empty dict in it; that changes
// nothing a shortcut skips.
bool harmless_addition(PyObject* key) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "__annotations__") == 0;
}

bool same_members(PyObject* now, PyObject* built) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(built, &pos, &key, &value))
        if (PyDict_GetItem(now, key) != value) return false;
    if (PyDict_Size(now) == PyDict_Size(built)) return true;
    pos = 0;
    while (PyDict_Next(now, &pos, &key, &value))
        if (PyDict_GetItem(built, key) == nullptr && !harmless_addition(key)) return false;
    return true;
}

}  // namespace

unsigned int current_tag(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The interpreter hands out a tag lazily, at the first cached lookup on the
// class; ask for one now, so the next check is the fast one.
unsigned int assign_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
    PyObject* any = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), kInit.get());
    if (any == nullptr) {
        PyErr_Clear();
        return 0;
    }
    Py_DECREF(any);
#endif
    return current_tag(type);
}

bool BuiltClass::unchanged() {
    auto* type = reinterpret_cast<PyTypeObject*>(state().*cls_);
    if (tag_ != 0 && type == type_ && current_tag(type) == tag_) return true;
    type_ = type;
    tag_ = 0;
    if (!same_members(type->tp_dict, state().*built_)) return false;
    tag_ = assign_tag(type);
    return true;
}

Ref dict_of_exact(PyObject* obj, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != cls) return Ref{};
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr || !PyDict_Check(dict)) {
        Py_XDECREF(dict);
        PyErr_Clear();
        return Ref{};
    }
    return Ref::steal(dict);
}

PyObject* lookup(PyObject* dict, const Name& key) {
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr) PyErr_Clear();
    return value;
}

PyObject* sole_entry(PyObject* dict, const Name& key) {
    if (PyDict_Size(dict) != 1) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *value;
    if (PyDict_Next(dict, &pos, &k, &value) && k == key.get()) return value;
    return lookup(dict, key);
}

}  // namespace qel
