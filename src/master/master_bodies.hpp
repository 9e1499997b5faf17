// Bodies of Master's members, by concept: the transaction engine, registers,
// coils and typed values. master_class.cpp lists them in class-body order.
#pragma once

#include "codec/frames.hpp"
#include "master/direct_road.hpp"
#include "module/member_table.hpp"

#include <cstdint>
#include <vector>

namespace qel::master {

// master_engine.cpp
Ref init(const Args&);
Ref close(const Args&);
Ref enter(const Args&);
Ref leave(const Args&);
Ref get_timeout(const Args&);
Ref set_timeout(const Args&);
Ref read(const Args&);
Ref feedback_assistant(const Args&);
Ref write_message(const Args&);
Ref check_crc(const Args&);

// master_registers.cpp
Ref write_register(const Args&);
Ref write_registers(const Args&);
Ref send_write_register_request(const Args&);
Ref send_write_registers_request(const Args&);
Ref read_register(const Args&);
Ref read_registers(const Args&);
Ref read_input_register(const Args&);
Ref read_input_registers(const Args&);
Ref send_read_request(const Args&);  // also __send_read_xx_coils_request
Ref send_read_registers_request(const Args&);
Ref send_read_input_registers_request(const Args&);

// master_coils.cpp
Ref write_coil(const Args&);
Ref send_write_coil_request(const Args&);
Ref read_coil(const Args&);
Ref read_xx_coils(const Args&);
Ref read_coils(const Args&);
Ref read_input_coils(const Args&);
Ref send_read_coils_request(const Args&);
Ref send_read_input_coils_request(const Args&);

// master_typed.cpp
Ref read_int16(const Args&);
Ref read_int32_worker(const Args&);
Ref read_uint32(const Args&);
Ref read_int32(const Args&);
Ref read_float(const Args&);
Ref read_multi_int32_worker(const Args&);
Ref read_multi_uint32(const Args&);
Ref read_multi_int32(const Args&);
Ref read_multi_float(const Args&);
Ref write_int32_worker(const Args&);
Ref write_int32(const Args&);
Ref write_uint32(const Args&);
Ref write_float(const Args&);
Ref write_multi_int32_worker(const Args&);
Ref write_multi_int32(const Args&);
Ref write_multi_uint32(const Args&);
Ref write_multi_float(const Args&);

// Shared by the register and coil operations.

// (self, station, address, count, code) as a read request (master_registers.cpp).
codec::Frame read_request_frame(const Args& a);

// A write over the sender and the echo, or the direct road (master_registers.cpp).
void write_and_await_echo(const Args& a, Road road, PyObject* sender, codec::Frame (*build)(const Args&));

// master_engine.cpp

// Writes a built frame through self.__write_message.
void send_frame(PyObject* self, const std::uint8_t* data, std::size_t size);

// The bytes of an answer as a byte array would hold them.
std::vector<std::uint8_t> answer_bytes(PyObject* answer);

// The read path after a request went out: the 5-byte head through
// self.__feedback_assistant, the byte count's rest through self.__read, the
// length and then the CRC check. Returns the whole answer frame.
std::vector<std::uint8_t> read_counted_answer(PyObject* self, PyObject* station);

[[noreturn]] void raise_timeout();
[[noreturn]] void raise_slave_exception(PyObject* station, std::uint8_t code, std::uint8_t error);
[[noreturn]] void raise_crc_error(PyObject* station);

}  // namespace qel::master
