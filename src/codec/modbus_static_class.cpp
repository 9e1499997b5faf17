// ModbusStatic: the function-code constants, the default time-out and the
// register and CRC helpers, all static.
#include "codec/crc_arguments.hpp"
#include "core/frames.hpp"
#include "module/classes.hpp"
#include "module/plain_int.hpp"

namespace qel {

namespace {

// Ints well within 64 bits take the native path; anything else goes through
// Python's operators, so results and errors are exactly theirs.
constexpr int kNativeBits = 48;

// (value >> 8) & 0xFF, value & 0xFF
Ref split_register(const Args& a) {
    PyObject* value = a[0];
    std::int64_t v;
    if (plain_int_within(value, kNativeBits, v)) {
        // Two's complement bits, as Python's & gives them for negative values.
        auto bits = static_cast<unsigned long long>(v);
        return checked(Py_BuildValue("(ii)", static_cast<int>((bits >> 8) & 0xFF), static_cast<int>(bits & 0xFF)));
    }
    Ref eight = new_int(8), mask = new_int(0xFF);
    Ref shifted = checked(PyNumber_Rshift(value, eight.get()));
    Ref high = checked(PyNumber_And(shifted.get(), mask.get()));
    Ref low = checked(PyNumber_And(value, mask.get()));
    return checked(PyTuple_Pack(2, high.get(), low.get()));
}

// (high << 8) + low, unmasked.
Ref compound_register(const Args& a) {
    auto [high, low] = a.take<2>();
    std::int64_t h, l;
    if (plain_int_within(high, kNativeBits, h) && plain_int_within(low, kNativeBits, l)) return new_int(h * 256 + l);
    Ref eight = new_int(8);
    Ref shifted = checked(PyNumber_Lshift(high, eight.get()));
    return checked(PyNumber_Add(shifted.get(), low));
}

Ref calculate_crc(const Args& a) {
    auto [string, beg, end] = a.take<3>();
    return crc_pair(string, beg, end);
}

Ref crc_is_right(const Args& a) { return crc_check(a[0]); }

constexpr MemberRow kRows[] = {
    attribute("FC_Read_Coils", codec::kReadCoils),
    attribute("FC_Read_Input_Coils", codec::kReadInputCoils),
    attribute("FC_Read_Registers", codec::kReadRegisters),
    attribute("FC_Read_Input_Registers", codec::kReadInputRegisters),
    attribute("FC_Write_Coil", codec::kWriteCoil),
    attribute("FC_Write_Register", codec::kWriteRegister),
    attribute("FC_Write_Registers", codec::kWriteRegisters),
    attribute("Default_Timeout", 1),
    static_method("split_register", split_register, arg("value")),
    static_method("compound_register", compound_register, arg("high"), arg("low")),
    static_method("calculate_crc", calculate_crc, arg("string"), arg("beg").defaults(dflt::integer(0)),
                  arg("end").defaults(dflt::none())),
    static_method("crc_is_right", crc_is_right, arg("string")),
};

}  // namespace

constexpr ClassTable kModbusStaticClass = class_table("ModbusStatic", kRows);

}  // namespace qel
