// Process-wide state of the module.
//
// The module refuses a second interpreter and a second module object, so one
// instance of this state per process is all there is. It is filled by the
// exec step and wiped again when that step fails, so that a later import
// starts afresh.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace qel {

// Interned attribute and parameter names used on hot paths.
struct Names {
#define QEL_NAMES(X)                                                                  \
    X(in_waiting) X(read) X(write) X(close) X(timeout) X(settimeout) X(gettimeout)    \
    X(fileno) X(recv) X(sendall) X(setsockopt)                                       \
    X(MessageLastSent) X(MessageLastReceived) X(_Master__tunnel) X(_socket)          \
    X(_Master__write_message) X(_Master__read) X(_Master__feedback_assistant)        \
    X(_Master__check_crc) X(_Master__send_read_xx_registers_request)                 \
    X(_Master__send_read_xx_coils_request) X(_Master__read_xx_coils)                 \
    X(_Master__read_int32) X(_Master__read_multi_int32) X(_Master__write_int32)      \
    X(_Master__write_multi_int32) X(_FixMaster__master) X(_FixMaster__station)       \
    X(read_registers) X(read_register) X(write_register) X(write_registers)          \
    X(read_coils) X(read_input_registers) X(send_read_registers_request)             \
    X(send_write_register_request) X(send_write_registers_request)                   \
    X(send_write_coil_request) X(setter) X(station) X(function_code) X(error_code)   \
    X(pack) X(unpack) X(error) X(_tcp_connect) X(_query)                             \
    X(construct_read_coils_command) X(construct_write_coil_command) X(qel_modbus)
#define QEL_DECLARE_NAME(n) PyObject* n = nullptr;
    QEL_NAMES(QEL_DECLARE_NAME)
#undef QEL_DECLARE_NAME
};

struct ModuleState {
    std::int64_t interpreter_id = -1;  // the first interpreter that loaded us
    PyObject* module = nullptr;        // the remembered module instance (owned)

    PyTypeObject* function_type = nullptr;

    // Built-ins the library uses, resolved once.
    PyObject* staticmethod = nullptr;
    PyObject* property = nullptr;

    // Imports of the module body.
    PyObject* struct_module = nullptr;
    PyObject* array_type = nullptr;
    PyObject* socket_timeout = nullptr;  // socket.timeout, for tunnel reads

    // The classes, once created.
    PyObject* modbus_static = nullptr;
    PyObject* slave_exception = nullptr;
    PyObject* tcp_tunnel = nullptr;
    PyObject* master = nullptr;
    PyObject* fix_master = nullptr;
    PyObject* modbus_tcp_master = nullptr;

    // The class dicts as built, to tell later whether a member was replaced.
    PyObject* master_members = nullptr;
    PyObject* tunnel_members = nullptr;

    Names names;
    PyObject* empty_bytes = nullptr;
    PyObject* typecode_B = nullptr;  // "B"
};

ModuleState& state();
const Names& names();

// Drops every reference the state holds (a failed exec step).
void reset_state();

}  // namespace qel
