// The native fast path for integer arguments: an exact int (or bool) that
// fits 64 bits. Anything else takes the path of Python's own operators.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace qel {

// True with the value in `out` for an exact int or bool within 64 bits;
// false, with no error set, for anything else.
inline bool plain_int(PyObject* v, std::int64_t& out) {
    if (!PyLong_CheckExact(v) && !PyBool_Check(v)) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0 || (x == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = x;
    return true;
}

// As plain_int, with |value| below 2**bits.
inline bool plain_int_within(PyObject* v, int bits, std::int64_t& out) {
    const std::int64_t bound = std::int64_t{1} << bits;
    return plain_int(v, out) && out < bound && out > -bound;
}

}  // namespace qel
