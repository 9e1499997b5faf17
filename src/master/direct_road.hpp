// The direct road. A transaction reaches several members through the
// instance (the sender, __write_message, __feedback_assistant, __read) and
// the channel's members. When none of them is replaced, neither on the
// instance nor on its class, and the channel is a plain TCPTunnel, the whole
// road is this module's own code: the transaction then runs here in one
// piece, natively, with exactly the effects the road would have.
#pragma once

#include "codec/frames.hpp"
#include "module/ref.hpp"

#include <optional>
#include <vector>

namespace qel::master {

enum class Road { ReadRegisters, ReadCoils, WriteRegister, WriteRegisters, WriteCoil };

struct DirectRoad {
    Ref instance_dict;  // the master's
    Ref socket;         // the tunnel's
};

// What the direct road needs, when `road` can be taken directly.
std::optional<DirectRoad> direct_road(PyObject* self, Road road);

enum class AnswerShape {
    Counted,  // a read: five bytes, then the byte count's rest; length, then CRC checked
    Echo,     // a write: eight bytes, length and CRC checked
};

// Writes `request` and reads its answer as the engine does over a TCPTunnel:
// stale bytes discarded, MessageLastSent and MessageLastReceived kept, the
// same errors. Returns the whole answer frame.
std::vector<std::uint8_t> direct_transaction(const DirectRoad& road, const codec::Frame& request, PyObject* station,
                                             AnswerShape shape);

}  // namespace qel::master
