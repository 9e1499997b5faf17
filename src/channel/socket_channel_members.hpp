// The members every channel over a socket object has alike (TCPTunnel,
// ModbusTCPChannel): its time-out is the socket's, close wakes a waiting
// call, and `with` closes it.
#pragma once

#include "module/member_table.hpp"

namespace qel::sockets {

Ref get_timeout(const Args& a);
// The value arrives converted to a float.
Ref set_timeout(const Args& a);
// Not serialised: it wakes a call waiting on the connection in another
// thread, which fails, and closes once that call is out.
Ref close(const Args& a);
Ref enter(const Args& a);
Ref leave(const Args& a);

}  // namespace qel::sockets
