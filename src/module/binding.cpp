#include "module/binding.hpp"

namespace qel {

namespace {

// "f() takes exactly/at least/at most N positional argument(s) (M given)".
// `given` is the number of arguments that were bound when binding stopped.
void positional_count_error(const FunctionObject& fn, Py_ssize_t given) {
    const Py_ssize_t most = fn.row->nparams;
    const Py_ssize_t least = fn.nrequired;
    Py_ssize_t expected = given < least ? least : most;
    const char* bound = given < least ? "at least" : "at most";
    if (least == most) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name(fn), bound, expected, expected == 1 ? "" : "s", given);
}

// Parameter index of a keyword, or -1. Interned names match by pointer; a
// keyword built at run time needs the string comparison.
Py_ssize_t find_param(const FunctionObject& fn, PyObject* key) {
    const Py_ssize_t n = fn.row->nparams;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (fn.param_names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(fn.param_names[i], key) == 0) return i;
    return -1;
}

// Reports the first keyword, in the order passed, that the parameter lookup
// did not consume.
void bad_keyword_error(const FunctionObject& fn, PyObject* kwnames, Py_ssize_t nargs, const bool* used) {
    const char* name = function_name(fn);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (used[k]) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return;
        }
        Py_ssize_t i = find_param(fn, key);
        if (i >= 0 && i < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            return;
        }
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            return;
        }
    }
}

bool bind_keywords(const FunctionObject& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;
    bool used[64] = {};
    if (nkw > 64) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", function_name(fn));
        return false;
    }
    Py_ssize_t left = nkw;
    for (Py_ssize_t i = nargs; i < fn.row->nparams; ++i) {
        Py_ssize_t found = -1;
        for (Py_ssize_t k = 0; k < nkw && found < 0; ++k)
            if (PyTuple_GET_ITEM(kwnames, k) == fn.param_names[i]) found = k;
        for (Py_ssize_t k = 0; k < nkw && found < 0; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_Compare(key, fn.param_names[i]) == 0) found = k;
        }
        if (found >= 0) {
            bound[i] = kwvalues[found];
            used[found] = true;
            --left;
        } else if (i < fn.nrequired) {
            positional_count_error(fn, i);
            return false;
        }
    }
    if (left > 0) {
        bad_keyword_error(fn, kwnames, nargs, used);
        return false;
    }
    return true;
}

// Float parameters with a literal default, and the timeout setters' value,
// become floats; a float object is taken as it is.
bool convert_floats(const FunctionObject& fn, PyObject** bound, Ref* owned) {
    for (Py_ssize_t i = 0; i < fn.row->nparams; ++i) {
        if (!fn.row->params[i].to_float || PyFloat_CheckExact(bound[i])) continue;
        double d = PyFloat_AsDouble(bound[i]);
        if (d == -1.0 && PyErr_Occurred()) return false;
        owned[i] = Ref::steal(PyFloat_FromDouble(d));
        if (!owned[i]) return false;
        bound[i] = owned[i].get();
    }
    return true;
}

// A parameter annotated str takes exactly str, or None.
bool check_texts(const FunctionObject& fn, PyObject** bound) {
    for (Py_ssize_t i = 0; i < fn.row->nparams; ++i) {
        PyObject* v = bound[i];
        if (fn.row->params[i].ann != Ann::Str || v == Py_None || PyUnicode_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     fn.row->params[i].name, PyUnicode_Type.tp_name, Py_TYPE(v)->tp_name);
        return false;
    }
    return true;
}

// The entry conversions and checks, for the members that have any.
bool convert_and_check(const FunctionObject& fn, PyObject** bound, Ref* owned) {
    return (!fn.converts_floats || convert_floats(fn, bound, owned)) && (!fn.checks_texts || check_texts(fn, bound));
}

bool bind_single(const FunctionObject& fn, Py_ssize_t nargs, Py_ssize_t nkw) {
    if (nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function_name(fn));
        return false;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", function_name(fn), nargs);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const FunctionObject& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound, Ref* owned) {
    const Py_ssize_t n = fn.row->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n == 1) {
        if (!bind_single(fn, nargs, nkw)) return false;
        bound[0] = args[0];
        return convert_and_check(fn, bound, owned);
    }
    if (nargs > n || (nkw == 0 && nargs < fn.nrequired)) {
        positional_count_error(fn, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) bound[i] = fn.default_values[i];
    if (nkw > 0 && !bind_keywords(fn, args, nargs, kwnames, bound)) return false;
    return convert_and_check(fn, bound, owned);
}

}  // namespace qel
