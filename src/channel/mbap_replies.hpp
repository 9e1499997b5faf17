// Replies read off a Modbus TCP connection by their MBAP framing: the 7-byte
// header, whose length field tells where a reply ends and whose transaction
// id tells whose it is. Replies to other transactions (late or duplicated
// ones) are skipped whole, within one time-out; an exception reply is read
// whole too, so that nothing of it is taken for the next reply. Shared by
// ModbusTCPMaster and ModbusTCPChannel.
#pragma once

#include "channel/reply_buffer.hpp"
#include "channel/socket_object.hpp"
#include "core/mbap.hpp"

#include <optional>
#include <vector>

namespace qel::sockets {

class MbapReplies {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Over a connection the caller holds; `first`: whether the first
    // receive waits at once (right after the request went out);
    // `on_silence`: what that receive does when nothing comes. Each receive
    // takes what is there up to the longest ADU, so that a reply that is
    // there whole comes in one.
    MbapReplies(Connection& connection, FirstStep first, OnSilence on_silence = OnSilence::ReturnEmpty)
        : connection_(&connection), first_(first), first_silence_(on_silence), first_room_(mbap::kLongestAdu),
          read_ahead_(true) {}
    // The same, as `_query` and the reads after it: the first receive takes
    // what has come, at least a byte and up to `first_room` bytes, and each
    // later one no more than asked for.
    MbapReplies(Connection& connection, FirstStep first, OnSilence on_silence, std::size_t first_room)
        : connection_(&connection), first_(first), first_silence_(on_silence), first_room_(first_room) {}
    // Over `owner._socket`, opened once a read needs it, taking no more than
    // asked for; `first` is what was received already (what `_query`
    // returned).
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
    // One receive of at least `want` bytes, taking up to `room`; returns
    // how many came.
    std::size_t receive_more(std::size_t want, std::size_t room, OnSilence on_silence);
    bool skip_reply();

    Connection* connection_ = nullptr;
    PyObject* owner_ = nullptr;
    const ObjectLock* lock_ = nullptr;
    Ref socket_;
    std::optional<Connection> own_connection_;
    ReplyBuffer buffer_;
    FirstStep first_ = FirstStep::Take;
    OnSilence first_silence_ = OnSilence::ReturnEmpty;
    std::size_t first_room_ = 0;
    bool read_ahead_ = false;
    std::optional<net::Deadline> skipping_until_;
};

}  // namespace qel::sockets
