// Where every socket-owning object (TCPTunnel, ModbusTCPMaster,
// ModbusTCPChannel) keeps its socket object.
#pragma once

#include "module/interned.hpp"

namespace qel::sockets {

inline const Name kSocket{"_socket"};

}  // namespace qel::sockets
