#include "module/state.hpp"

namespace qel {

namespace {
ModuleState g_state;
}

ModuleState& state() { return g_state; }

void reset_state() {
    ModuleState& s = g_state;
    std::int64_t interpreter = s.interpreter_id;
    PyObject** refs[] = {
        &s.module, reinterpret_cast<PyObject**>(&s.function_type), &s.staticmethod, &s.property,
        &s.struct_module, &s.array_type, &s.socket_timeout, &s.modbus_static, &s.slave_exception,
        &s.tcp_tunnel, &s.master, &s.fix_master, &s.modbus_tcp_master, &s.master_members, &s.tunnel_members, &s.modbus_tcp_master_members,
        &s.empty_bytes, &s.typecode_B, &s.companion, &s.modbus_tcp_channel, &s.modbus_tcp_channel_members,
    };
    for (PyObject** r : refs) Py_CLEAR(*r);
    // The interpreter stays remembered for the life of the process.
    s.interpreter_id = interpreter;
}

void reset_companion_state() {
    ModuleState& s = g_state;
    Py_CLEAR(s.companion);
    Py_CLEAR(s.modbus_tcp_channel);
    Py_CLEAR(s.modbus_tcp_channel_members);
}

}  // namespace qel
