#include "channel/rtu_over_mbap.hpp"

#include "codec/protocol_errors.hpp"

namespace qel::sockets {

using Bytes = std::vector<std::uint8_t>;

Bytes send_as_adu(Connection& connection, const std::uint8_t* frame, std::size_t size) {
    if (!mbap::is_rtu_frame(frame, size))
        raise(PyExc_ValueError, "modbus tcp: not an RTU frame: station, function code, data and a right CRC");
    Bytes adu(size + mbap::kHeaderSize - 3);
    mbap::adu_from_rtu(mbap::next_transaction_id(), frame, size, adu.data());
    connection.discard_pending();
    connection.send(adu.data(), adu.size());
    return adu;
}

Bytes receive_as_rtu(Connection& connection, const Bytes& request, Bytes& adu, FirstStep first) {
    adu.clear();
    if (request.size() < mbap::kHeaderSize + 1) return {};  // nothing was asked
    MbapReplies replies(connection, first);
    const std::uint8_t* head = replies.head_answering(request.data());
    if (head == nullptr) return {};
    // A reply's length must hold its own head and fit an ADU: the frame
    // handed on is made from it.
    if (!mbap::plausible_header(head)) codec::raise_reply_mismatch();
    const std::size_t size = mbap::adu_size(head);
    if (size < mbap::kReplyHead || !replies.fill(size)) return {};
    adu.assign(replies.data(), replies.data() + size);
    Bytes frame(size - mbap::kHeaderSize + 3);
    mbap::rtu_from_adu(adu.data(), adu.size(), frame.data());
    return frame;
}

}  // namespace qel::sockets
