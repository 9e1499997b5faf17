// Reads the reply to one Modbus TCP request off a master's socket, after
// `_query` returned its first bytes. Replies to other transactions (late or
// duplicated ones) are skipped by their length field within the time-out; an
// exception reply is read whole and raised.
#pragma once

#include "channel/socket_object.hpp"
#include "module/object_lock.hpp"
#include "core/mbap.hpp"

#include <optional>
#include <vector>

namespace qel::tcp {

using Bytes = std::vector<std::uint8_t>;

class ReplyReader {
public:
    // `first`: what `_query` received.
    ReplyReader(PyObject* self, const ObjectLock* lock, Bytes first);

    // The head (kReplyHead bytes) of the reply that answers `request`.
    const std::uint8_t* head_answering(const Bytes& request);

    // Reads on until the reply holds `size` bytes; a reply that stops short
    // is the slave's time-out.
    void fill(std::size_t size);
    const std::uint8_t* data() const { return buffer_.data(); }

private:
    sockets::Connection& connection();
    void skip_reply();

    PyObject* self_;
    const ObjectLock* lock_;
    Bytes buffer_;
    Ref socket_;
    std::optional<sockets::Connection> connection_;
    std::optional<net::Deadline> skipping_until_;
};

}  // namespace qel::tcp
