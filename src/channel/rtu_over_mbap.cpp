#include "channel/rtu_over_mbap.hpp"

#include "codec/protocol_errors.hpp"

namespace qel::sockets {

using Bytes = std::vector<std::uint8_t>;

Bytes adu_of_built(const std::uint8_t* frame, std::size_t size) {
    Bytes adu(size + mbap::kHeaderSize - 3);
    mbap::adu_from_rtu(mbap::next_transaction_id(), frame, size, adu.data());
    return adu;
}

Bytes adu_of(const std::uint8_t* frame, std::size_t size) {
    if (!mbap::is_rtu_frame(frame, size))
        raise(PyExc_ValueError, "modbus tcp: not an RTU frame: station, function code, data and a right CRC");
    return adu_of_built(frame, size);
}

void send_adu(Connection& connection, const Bytes& adu) {
    connection.discard_pending();
    connection.send(adu.data(), adu.size());
}

Bytes send_as_adu(Connection& connection, const std::uint8_t* frame, std::size_t size) {
    Bytes adu = adu_of(frame, size);
    send_adu(connection, adu);
    return adu;
}

Bytes receive_as_rtu(MbapReplies& replies, const std::uint8_t* request, std::size_t size, Bytes& adu) {
    adu.clear();
    if (size < mbap::kHeaderSize + 1) codec::raise_reply_mismatch();
    const std::uint8_t* head = replies.head_answering(request);
    if (head == nullptr) return {};
    // The frame handed on is made from the reply: its length must hold its
    // own head, fit an ADU and agree with its function code.
    codec::check(mbap::judge_reply(head), nullptr, head);
    const std::size_t whole = mbap::adu_size(head);
    if (!replies.fill(whole)) return {};
    adu.assign(replies.data(), replies.data() + whole);
    Bytes frame(whole - mbap::kHeaderSize + 3);
    frame.resize(mbap::rtu_from_adu(adu.data(), adu.size(), frame.data()));
    return frame;
}

Bytes receive_as_rtu(Connection& connection, const Bytes& request, Bytes& adu, FirstStep first) {
    if (request.size() < mbap::kHeaderSize + 1) {  // nothing was asked
        adu.clear();
        return {};
    }
    MbapReplies replies(connection, first);
    return receive_as_rtu(replies, request.data(), request.size(), adu);
}

}  // namespace qel::sockets
