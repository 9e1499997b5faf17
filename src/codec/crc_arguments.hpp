// CRC-16 over the Python objects the codec accepts: byte buffers on a fast
// path, text as code points, and any sliceable sequence of integers with the
// exact results of the bit-by-bit algorithm on Python integers.
#pragma once

#include "module/ref.hpp"

namespace qel {

// `calculate_crc(string, beg, end)`: the tuple (low, high).
Ref crc_pair(PyObject* string, PyObject* beg, PyObject* end);

// `crc_is_right(string)`.
Ref crc_check(PyObject* string);

}  // namespace qel
