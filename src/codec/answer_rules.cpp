#include "codec/answer_rules.hpp"

#include "codec/crc16.hpp"
#include "codec/function_codes.hpp"

namespace qel::codec {

AnswerFault judge_head(const std::uint8_t* head, std::size_t size) {
    if (size != kAnswerHead) return AnswerFault::Short;
    // Recognised by its second byte alone: neither its station nor its CRC
    // is looked at, and nothing more is read.
    if (head[1] >= kExceptionFlag) return AnswerFault::SlaveException;
    return AnswerFault::None;
}

AnswerFault judge_answer(const std::uint8_t* frame, std::size_t size, std::size_t expected, bool check_crc) {
    // The length first: a short answer is a time-out, not a CRC error.
    if (size != expected) return AnswerFault::Short;
    return check_crc ? judge_crc(frame, size) : AnswerFault::None;
}

AnswerFault judge_counted_answer(const std::uint8_t* frame, std::size_t size) {
    return size < counted_length(frame) ? AnswerFault::Short : AnswerFault::None;
}

AnswerFault judge_crc(const std::uint8_t* frame, std::size_t size) {
    return crc_is_right(frame, size) ? AnswerFault::None : AnswerFault::CrcMismatch;
}

AnswerFault judge_register_data(const std::uint8_t* frame) {
    // An odd count would pair the last data byte with a CRC byte.
    return frame[2] % 2 == 0 ? AnswerFault::None : AnswerFault::OddByteCount;
}

}  // namespace qel::codec
