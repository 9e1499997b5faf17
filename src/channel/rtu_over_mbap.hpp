// RTU frames carried as Modbus TCP: what ModbusTCPChannel does to the frames
// a master writes to it and to the replies it reads, once for its own
// members and for the native link a plain master takes over it.
#pragma once

#include "channel/mbap_replies.hpp"

#include <optional>
#include <vector>

namespace qel::sockets {

// The ADU that carries RTU frame `frame`, with a fresh transaction id. A
// frame that is no RTU frame raises ValueError.
std::vector<std::uint8_t> adu_of(const std::uint8_t* frame, std::size_t size);

// The same for a frame the engine built, which is one.
std::vector<std::uint8_t> adu_of_built(const std::uint8_t* frame, std::size_t size);

// Sends an ADU, stale input thrown away first.
void send_adu(Connection& connection, const std::vector<std::uint8_t>& adu);

// Both: sends RTU frame `frame` as an ADU; returns the ADU.
std::vector<std::uint8_t> send_as_adu(Connection& connection, const std::uint8_t* frame, std::size_t size);

// The reply to `request` (the ADU sent, `size` bytes), read whole off
// `replies` and turned into the RTU frame it stands for, with its CRC.
// `adu` receives the reply as it came. Empty when the time-out ran out
// first; a reply of this transaction that does not answer the request, or
// whose length disagrees with its function code, raises the reply-mismatch
// ValueError.
std::vector<std::uint8_t> receive_as_rtu(MbapReplies& replies, const std::uint8_t* request, std::size_t size,
                                         std::vector<std::uint8_t>& adu);

// The same, off `connection`.
std::vector<std::uint8_t> receive_as_rtu(Connection& connection, const std::vector<std::uint8_t>& request,
                                         std::vector<std::uint8_t>& adu, FirstStep first);

}  // namespace qel::sockets
