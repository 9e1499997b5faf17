// Modbus function codes, shared by the RTU and the Modbus TCP framing.
#pragma once

#include <cstdint>

namespace qel::codec {

enum FunctionCode : std::uint8_t {
    kReadCoils = 1,
    kReadInputCoils = 2,
    kReadRegisters = 3,
    kReadInputRegisters = 4,
    kWriteCoil = 5,
    kWriteRegister = 6,
    kWriteCoils = 15,
    kWriteRegisters = 16,
    kMaskWriteRegister = 22,
    kReadWriteRegisters = 23,
    kEncapsulatedInterface = 43,  // device identification among others
};

// Set in the function code of an exception answer.
constexpr std::uint8_t kExceptionFlag = 0x80;

}  // namespace qel::codec
