// RTU frames carried as Modbus TCP: what ModbusTCPChannel does to the frames
// a master writes to it and to the replies it reads, once for its own
// members and for the native link a plain master takes over it.
#pragma once

#include "channel/mbap_replies.hpp"

#include <optional>
#include <vector>

namespace qel::sockets {

// Sends RTU frame `frame` as an ADU with a fresh transaction id, stale input
// thrown away first; returns the ADU. A frame that is no RTU frame raises
// ValueError and sends nothing.
std::vector<std::uint8_t> send_as_adu(Connection& connection, const std::uint8_t* frame, std::size_t size);

// The reply to `request` (an ADU this channel sent), read whole and turned
// into the RTU frame it stands for, with its CRC. `adu` receives the reply
// as it came. Empty when the time-out ran out first.
std::vector<std::uint8_t> receive_as_rtu(Connection& connection, const std::vector<std::uint8_t>& request,
                                         std::vector<std::uint8_t>& adu, FirstStep first);

}  // namespace qel::sockets
