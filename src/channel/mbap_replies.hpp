// Replies read off a Modbus TCP connection by their MBAP framing: the 7-byte
// header, whose length field tells where a reply ends and whose transaction
// id tells whose it is. Replies to other transactions (late or duplicated
// ones) are skipped whole, within one time-out; an exception reply is read
// whole too, so that nothing of it is taken for the next reply. Shared by
// ModbusTCPMaster and ModbusTCPChannel.
#pragma once

#include "channel/socket_object.hpp"
#include "core/mbap.hpp"

#include <optional>
#include <vector>

namespace qel::sockets {

class MbapReplies {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Over a connection the caller holds; `first`: whether the first
    // receive waits at once (right after the request went out).
    MbapReplies(Connection& connection, FirstStep first) : connection_(&connection), first_(first) {}
    // Over `owner._socket`, opened once a read needs it; `first` is what was
    // received already (what `_query` returned).
    MbapReplies(PyObject* owner, const ObjectLock* lock, Bytes first);

    // The head (kReplyHead bytes) of the reply that answers `request` (its
    // first kHeaderSize + 1 bytes), or nullptr once the time-out ran out
    // (a reply cut short included). A reply of this transaction that does
    // not answer the request raises the reply-mismatch ValueError.
    const std::uint8_t* head_answering(const std::uint8_t* request);

    // Reads on until the reply holds `size` bytes; false when the time-out
    // ran out first.
    bool fill(std::size_t size);

    const std::uint8_t* data() const { return buffer_.data(); }
    std::size_t size() const { return buffer_.size(); }

private:
    Connection& connection();
    bool skip_reply();

    Connection* connection_ = nullptr;
    PyObject* owner_ = nullptr;
    const ObjectLock* lock_ = nullptr;
    Ref socket_;
    std::optional<Connection> own_connection_;
    Bytes buffer_;
    FirstStep first_ = FirstStep::Take;
    std::optional<net::Deadline> skipping_until_;
};

}  // namespace qel::sockets
