// Python arguments as frame fields. Plain ints take a native path; anything
// else goes the way the byte array and the register split would take it, so
// errors and results are exactly those of `array('B', ...)` and `>>`/`&`.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace qel {

// A station or function-code byte: an integer 0-255.
std::uint8_t byte_field(PyObject* value);

// The low 16 bits of an address, count or register value (two's complement
// for negative integers).
std::uint16_t word_field(PyObject* value);

}  // namespace qel
