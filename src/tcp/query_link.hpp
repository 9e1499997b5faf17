// The link of a ModbusTCPMaster: the engine's transaction over its own
// socket, framed as Modbus TCP. The request goes out through `_query` (the
// class's builder's command), or, for a master that nothing replaced, the
// same work is done natively from the engine's frame; the reply is read off
// the socket by the MBAP framing and handed to the engine as an RTU frame.
#pragma once

#include "channel/mbap_replies.hpp"
#include "master/link.hpp"
#include "master/reply_frame.hpp"

#include <optional>
#include <vector>

namespace qel::tcp {

class QueryLink final : public master::Link {
public:
    // `plain_socket`: the master's socket when the native road may be
    // taken; null otherwise.
    QueryLink(PyObject* self, const ObjectLock& lock, PyObject* plain_socket);

    // How long the whole reply to a request is: the first receive asks for
    // that much, as `_query` is asked.
    void expect(std::size_t (*reply_size)(const std::vector<std::uint8_t>& request)) { reply_size_ = reply_size; }

    // Through `_query`: `command` goes out as it is; the engine's frame then
    // only says what is asked.
    void query_with(PyObject* command);

    // The unit id the request carries (1 when it carries none).
    std::uint8_t unit() const;

    void send(const codec::Frame& frame) override;
    // The frames this link hands over are made here, their CRC with them.
    void check_crc(const master::Bytes&, PyObject*) override {}
    void read(master::Bytes& answer, std::size_t size) override;
    void discard() override;
    void dropped(master::Clock::time_point started) override;

    // The ADUs: the request as sent, the reply as it came.
    const std::vector<std::uint8_t>& request() const { return request_; }
    const std::vector<std::uint8_t>& reply() const { return reply_; }

private:
    PyObject* self_;
    const ObjectLock* lock_;
    Ref socket_;
    Ref command_;
    std::size_t (*reply_size_)(const std::vector<std::uint8_t>&) = nullptr;
    std::optional<sockets::Connection> connection_;
    std::optional<sockets::MbapReplies> replies_;
    std::vector<std::uint8_t> request_, reply_;
    master::ReplyFrame reply_frame_;
};

}  // namespace qel::tcp
