// Byte arrays: the standard array type with type code "B", in which frames
// are built and answers returned.
#pragma once

#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qel {

Ref new_byte_array(PyObject* iterable);
Ref new_byte_array(const std::uint8_t* data, std::size_t size);

}  // namespace qel
