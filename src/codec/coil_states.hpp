// Coil states of a read answer as a list of bools, shared by the RTU and the
// Modbus TCP coil reads.
#pragma once

#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qel {

// min(8 * byte_count, count) states from the packed data bytes, least
// significant bit first; none for a negative count. `count` is the caller's
// object, compared as Python compares it.
Ref coil_state_list(const std::uint8_t* data, std::size_t byte_count, PyObject* count);

}  // namespace qel
