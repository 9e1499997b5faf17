// Bodies of Master's members, by concept: the transaction engine, registers,
// coils and typed values. master_class.cpp lists them in class-body order.
#pragma once

#include "core/frames.hpp"
#include "module/member_table.hpp"


namespace qel::master {

// engine_members.cpp
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

// Shared by the register and coil operations: the frame of a read request
// from (station, address, count, code) (master_registers.cpp).
codec::Frame read_request_frame(PyObject* const* args);

// A sender's last step: the frame handed to self.__write_message as a byte
// array (engine_members.cpp).
void send_frame(PyObject* self, const codec::Frame& frame);

// A sender's body: the frame `build` makes of the member's N arguments after
// self, sent through self.__write_message.
template <std::size_t N>
Ref send_built(const Args& a, codec::Frame (*build)(PyObject* const*)) {
    const auto all = a.take<N + 1>();
    send_frame(all[0], build(all.data() + 1));
    return none();
}

}  // namespace qel::master
