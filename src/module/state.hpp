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
    PyObject* modbus_tcp_master_members = nullptr;

    PyObject* empty_bytes = nullptr;
    PyObject* typecode_B = nullptr;  // "B"

    // The companion module, qel_modbus_ext: a process singleton as well, built
    // on this state once qel_modbus is loaded.
    PyObject* companion = nullptr;  // the remembered module instance (owned)
    PyObject* modbus_tcp_channel = nullptr;
    PyObject* modbus_tcp_channel_members = nullptr;
};

ModuleState& state();

// Drops every reference the state holds (a failed exec step).
void reset_state();

// Drops the companion module's part of the state (its failed exec step).
void reset_companion_state();

}  // namespace qel
