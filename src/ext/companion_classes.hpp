// The companion module's class tables, in creation order, and its
// functions. Each lives in the file of its own concept.
#pragma once

#include "module/member_table.hpp"

namespace qel {

extern const ClassTable kModbusTcpChannelClass;  // ext/modbus_tcp_channel_class.cpp

extern const MemberRow kExecuteFunction;      // ext/execute_function.cpp
extern const MemberRow kRegistersOfFunction;  // ext/value_functions.cpp
extern const MemberRow kUnpackFunction;       // ext/value_functions.cpp
extern const MemberRow kPackFunction;         // ext/value_functions.cpp

}  // namespace qel
