// Whether a class, and an instance of it, are as the module built them: the
// check behind every native shortcut that skips lookups through the
// instance. A class is checked against a copy of its dict taken when it was
// made, cached against the type's version tag, which the interpreter renews
// on any assignment to the class.
#pragma once

#include "module/interned.hpp"
#include "module/state.hpp"

namespace qel {

// A class still holding exactly what it was built with: the same members
// under the same names, and nothing added (an attribute hook, a descriptor
// shadowing an instance attribute).
class BuiltClass {
public:
    BuiltClass(PyObject* ModuleState::*cls, PyObject* ModuleState::*built) : cls_(cls), built_(built) {}
    bool unchanged();

private:
    PyObject* ModuleState::*cls_;
    PyObject* ModuleState::*built_;
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

// A class's version tag, which the interpreter renews when the class or any
// of its bases changes; 0 when it has none. assign_tag asks for one first.
unsigned int current_tag(PyTypeObject* type);
unsigned int assign_tag(PyTypeObject* type);

// The instance dict of `obj`, when it is an exact instance of `cls`.
Ref dict_of_exact(PyObject* obj, PyObject* cls);

// dict[key] or NULL, neither raising nor touching a pending error.
PyObject* lookup(PyObject* dict, const Name& key);

// The value of the one entry of a dict that holds only `key`.
PyObject* sole_entry(PyObject* dict, const Name& key);

}  // namespace qel
