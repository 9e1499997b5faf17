// The companion module's class tables, in creation order. Each lives in the
// file of its own concept.
#pragma once

#include "module/member_table.hpp"

namespace qel {

extern const ClassTable kModbusTcpChannelClass;  // ext/modbus_tcp_channel_class.cpp

}  // namespace qel
