// The module-level function and the six class tables, in creation order.
// Each lives in the file of its own concept.
#pragma once

#include "module/member_table.hpp"

namespace qel {

extern const MemberRow kByteArrayFunction;        // codec/byte_array_function.cpp
extern const ClassTable kModbusStaticClass;       // codec/modbus_static_class.cpp
extern const ClassTable kSlaveExceptionClass;     // codec/slave_exception_class.cpp
extern const ClassTable kTcpTunnelClass;          // channel/tcp_tunnel_class.cpp
extern const ClassTable kMasterClass;             // master/master_class.cpp
extern const ClassTable kFixMasterClass;          // master/fix_master_class.cpp
extern const ClassTable kModbusTcpMasterClass;    // tcp/modbus_tcp_master_class.cpp

}  // namespace qel
