// Master: the Modbus RTU master over a channel. The rows follow the class
// body; the bodies live in engine_members.cpp, master_registers.cpp,
// master_coils.cpp and master_typed.cpp.
#include "master/docstrings.hpp"
#include "master/master_bodies.hpp"
#include "module/classes.hpp"

namespace qel {

namespace {

using namespace master;

constexpr Param kStation = arg("station");
constexpr Param kAddress = arg("address");
constexpr Param kCount = arg("count");
constexpr Param kValue = arg("value");
constexpr Param kValues = arg("values");
constexpr Param kIntStation = arg("station", Ann::Int);
constexpr Param kIntAddress = arg("address", Ann::Int);
constexpr Param kIntCount = arg("count", Ann::Int);
constexpr Param kIntCode = arg("code", Ann::Int);
constexpr Param kSign = arg("sign", Ann::Str);
constexpr Param kEndian = arg("endian", Ann::Str);
constexpr Param kEndianDefault = arg("endian", Ann::Str).defaults(dflt::text(">"));
constexpr Param kFuncCodeDefault = arg("func_code", Ann::Int).defaults(dflt::static_attr("FC_Read_Registers"));

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("tunnel", Ann::Channel),
           arg("timeout", Ann::Float).defaults(dflt::static_attr("Default_Timeout"))),
    method("close", close),
    method("__enter__", enter),
    method("__exit__", leave, arg("exc_type"), arg("exc_val"), arg("exc_tb")),
    getter("timeout", get_timeout).returns(Ann::Float),
    setter("timeout", set_timeout, arg("value", Ann::Float).as_float()),
    method("write_register", write_register, kStation, kAddress, kValue),
    method("write_registers", write_registers, kStation, kAddress, kValues),
    method("send_write_register_request", send_write_register_request, kStation, kAddress, kValue),
    method("send_write_registers_request", send_write_registers_request, kStation, kAddress, kValues),
    method("write_coil", write_coil, kStation, kAddress, kValue),
    method("send_write_coil_request", send_write_coil_request, kStation, kAddress, kValue),
    method("read_register", read_register, kIntStation, kIntAddress, kFuncCodeDefault).documented(docs::kReadRegister),
    method("read_registers", read_registers, kIntStation, kIntAddress, kIntCount, kFuncCodeDefault)
        .documented(docs::kReadRegisters),
    method("read_input_register", read_input_register, kIntStation, kIntAddress).documented(docs::kReadInputRegister),
    method("read_input_registers", read_input_registers, kStation, kIntAddress, kIntCount)
        .documented(docs::kReadInputRegisters),
    method("read_int16", read_int16, kIntStation, kIntAddress),
    alias("read_uint16", "read_register"),
    alias("write_int16", "write_register"),
    alias("write_uint16", "write_register"),
    method("__read_int32", read_int32_worker, kIntStation, kIntAddress, kSign, kEndian),
    method("read_uint32", read_uint32, kStation, kAddress, kEndianDefault),
    method("read_int32", read_int32, kStation, kAddress, kEndianDefault),
    method("read_float", read_float, kStation, kAddress, kEndianDefault),
    method("__read_multi_int32", read_multi_int32_worker, kStation, kAddress, kIntCount, kSign, kEndian),
    method("read_multi_uint32", read_multi_uint32, kStation, kAddress, kIntCount, kEndianDefault),
    method("read_multi_int32", read_multi_int32, kStation, kAddress, kIntCount, kEndianDefault),
    method("read_multi_float", read_multi_float, kStation, kAddress, kIntCount, kEndianDefault),
    method("__write_int32", write_int32_worker, kStation, kAddress, kValue, kSign, kEndian),
    method("write_int32", write_int32, kStation, kAddress, kValue, kEndianDefault),
    method("write_uint32", write_uint32, kStation, kAddress, kValue, kEndianDefault),
    method("write_float", write_float, kStation, kAddress, kValue, kEndianDefault),
    method("__write_multi_int32", write_multi_int32_worker, kStation, kAddress, kValues, kSign, kEndian),
    method("write_multi_int32", write_multi_int32, kStation, kAddress, kValues, kEndianDefault),
    method("write_multi_uint32", write_multi_uint32, kStation, kAddress, kValues, kEndianDefault),
    method("write_multi_float", write_multi_float, kStation, kAddress, kValues, kEndianDefault),
    method("__send_read_xx_registers_request", send_read_request, kIntStation, kIntAddress, kIntCount, kIntCode),
    method("send_read_registers_request", send_read_registers_request, kStation, kAddress, kCount,
           arg("func_code", Ann::Int)),
    method("send_read_input_registers_request", send_read_input_registers_request, kStation, kAddress, kCount),
    method("read_coil", read_coil, kStation, kAddress),
    method("__read_xx_coils", read_xx_coils, kStation, kAddress, kIntCount, kIntCode),
    method("read_coils", read_coils, kStation, kAddress, kCount),
    method("read_input_coils", read_input_coils, kStation, kAddress, kCount),
    method("__send_read_xx_coils_request", send_read_request, kStation, kAddress, kIntCount, kIntCode),
    method("send_read_coils_request", send_read_coils_request, kStation, kAddress, kCount),
    method("send_read_input_coils_request", send_read_input_coils_request, kStation, kAddress, kCount),
    method("__read", read, arg("size").defaults(dflt::integer(1))),
    method("__feedback_assistant", feedback_assistant, kStation, arg("normal_msg_len"),
           arg("check_crc").defaults(dflt::false_())),
    method("__write_message", write_message, arg("message")).documented(docs::kWriteMessage),
    static_method("__check_crc", check_crc, arg("message"), kStation),
};

}  // namespace

constexpr ClassTable kMasterClass = class_table("Master", kRows);

}  // namespace qel
