#include "master/frame_fields.hpp"

#include "codec/byte_array.hpp"
#include "module/plain_int.hpp"

namespace qel {

namespace {

// Element 0 of `array('B', (value,))`: raises what the array raises.
std::uint8_t byte_via_array(PyObject* value) {
    Ref one = checked(PyTuple_Pack(1, value));
    Ref array = new_byte_array(one.get());
    Ref item = checked(PySequence_GetItem(array.get(), 0));
    return static_cast<std::uint8_t>(PyLong_AsLong(item.get()));
}

}  // namespace

std::uint8_t byte_field(PyObject* value) {
    std::int64_t v;
    if (plain_int(value, v) && v >= 0 && v <= 255) return static_cast<std::uint8_t>(v);
    return byte_via_array(value);
}

std::uint16_t word_field(PyObject* value) {
    std::int64_t v;
    if (plain_int(value, v)) return static_cast<std::uint16_t>(static_cast<unsigned long long>(v) & 0xFFFF);
    if (PyLong_CheckExact(value)) {
        // Wider than 64 bits: the low 16 bits of its two's complement.
        Ref mask = new_int(0xFFFF);
        Ref low = checked(PyNumber_And(value, mask.get()));
        return static_cast<std::uint16_t>(PyLong_AsLong(low.get()));
    }
    Ref eight = new_int(8), mask = new_int(0xFF);
    Ref shifted = checked(PyNumber_Rshift(value, eight.get()));
    Ref high = checked(PyNumber_And(shifted.get(), mask.get()));
    Ref low = checked(PyNumber_And(value, mask.get()));
    return static_cast<std::uint16_t>(byte_field(high.get()) << 8 | byte_field(low.get()));
}

}  // namespace qel
