#include "core/mbap.hpp"

#include "core/crc16.hpp"

#include <atomic>
#include <cstring>

namespace qel::mbap {

namespace {

std::atomic<std::uint16_t> g_next_transaction{1};

void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t get16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

std::uint16_t next_transaction_id() { return g_next_transaction.fetch_add(1, std::memory_order_relaxed); }

Header parse_header(const std::uint8_t* adu) {
    return Header{get16(adu), get16(adu + 2), get16(adu + 4), adu[6]};
}

AnswerFault fit(const std::uint8_t* request, const std::uint8_t* reply) {
    const Header asked = parse_header(request), got = parse_header(reply);
    if (got.transaction != asked.transaction) return AnswerFault::OtherRequest;
    // The same function code, the exception flag aside (on either side: a
    // request may carry any code).
    const bool same_code = ((reply[kHeaderSize] ^ request[kHeaderSize]) & ~kExceptionFlag) == 0;
    const bool answers = got.protocol == asked.protocol && got.unit == asked.unit && same_code &&
                         got.length >= kReplyHead - 6;
    return answers ? AnswerFault::None : AnswerFault::Mismatch;
}

std::size_t expected_read_reply_size(const std::uint8_t* request) {
    const std::size_t count = get16(request + 10);
    const std::size_t data = (count + 7) / 8;
    return kReplyHead + (data > 255 ? 255 : data);
}

bool is_rtu_frame(const std::uint8_t* frame, std::size_t size) {
    if (size < 4 || size - 3 + kHeaderSize > kLongestAdu) return false;
    const std::uint16_t crc = codec::crc16(frame, size - 2);
    return frame[size - 2] == codec::crc_low(crc) && frame[size - 1] == codec::crc_high(crc);
}

std::size_t adu_from_rtu(std::uint16_t transaction, const std::uint8_t* frame, std::size_t size, std::uint8_t* adu) {
    const std::size_t pdu = size - 3;
    put16(adu, transaction);
    put16(adu + 2, 0);
    put16(adu + 4, static_cast<std::uint16_t>(pdu + 1));
    adu[6] = frame[0];
    std::memcpy(adu + kHeaderSize, frame + 1, pdu);
    return kHeaderSize + pdu;
}

std::size_t rtu_from_adu(const std::uint8_t* adu, std::size_t size, std::uint8_t* frame) {
    const std::size_t pdu = is_exception(adu) ? 2 : size - kHeaderSize;
    frame[0] = adu[6];
    std::memcpy(frame + 1, adu + kHeaderSize, pdu);
    const std::uint16_t crc = codec::crc16(frame, pdu + 1);
    frame[pdu + 1] = codec::crc_low(crc);
    frame[pdu + 2] = codec::crc_high(crc);
    return pdu + 3;
}

bool plausible_header(const std::uint8_t* adu) {
    const Header h = parse_header(adu);
    return h.protocol == 0 && h.length >= 3 && 6 + std::size_t{h.length} <= kLongestAdu;
}

AnswerFault judge_reply(const std::uint8_t* head) {
    if (!plausible_header(head)) return AnswerFault::Mismatch;
    if (is_exception(head)) return AnswerFault::None;
    const std::size_t length = parse_header(head).length;
    switch (codec::answer_layout(head[kHeaderSize])) {
        case codec::AnswerLayout::Counted:
            return length == 3 + std::size_t{head[kReplyHead - 1]} ? AnswerFault::None : AnswerFault::Mismatch;
        case codec::AnswerLayout::Echo: return length == 6 ? AnswerFault::None : AnswerFault::Mismatch;
        case codec::AnswerLayout::Unknown: break;
    }
    return AnswerFault::None;
}

}  // namespace qel::mbap
