// The one place where a fault of an answer becomes a Python exception; it
// owns every protocol error text. Shared by Master and ModbusTCPMaster.
#pragma once

#include "core/answer_rules.hpp"
#include "module/ref.hpp"

#include <cstdint>

namespace qel::codec {

// Raises the exception for `fault` (not None). `station` is the station
// asked (for the texts and SlaveException), `frame` the answer as far as it
// arrived.
[[noreturn]] void raise_fault(AnswerFault fault, PyObject* station, const std::uint8_t* frame);

// Raises unless `fault` is None.
inline void check(AnswerFault fault, PyObject* station, const std::uint8_t* frame) {
    if (fault != AnswerFault::None) raise_fault(fault, station, frame);
}

// SlaveException(station, function code, exception code).
[[noreturn]] void raise_slave_exception(PyObject* station, std::uint8_t function_code, std::uint8_t error_code);

// IOError "modbus: read from slave timeout".
[[noreturn]] void raise_timeout();

// ValueError "modbus: message from slave with station %s has crc error".
[[noreturn]] void raise_crc_error(PyObject* station);

// A Modbus TCP reply that answers another request than the one sent.
[[noreturn]] void raise_reply_mismatch();

}  // namespace qel::codec
