#include "core/answer_rules.hpp"

#include "core/crc16.hpp"
#include "core/function_codes.hpp"

namespace qel::codec {

AnswerFault judge_head(const std::uint8_t* head, std::size_t size) {
    if (size != kAnswerHead) return AnswerFault::Short;
    // Recognised by its second byte alone; the engine checks its CRC and
    // whom it answers before it believes it.
    if (is_exception(head)) return AnswerFault::SlaveException;
    return AnswerFault::None;
}

AnswerLayout answer_layout(std::uint8_t function_code) {
    switch (function_code) {
        case kReadCoils:
        case kReadInputCoils:
        case kReadRegisters:
        case kReadInputRegisters:
        case kReadWriteRegisters: return AnswerLayout::Counted;
        case kWriteCoil:
        case kWriteRegister:
        case kWriteCoils:
        case kWriteRegisters: return AnswerLayout::Echo;
        default: return AnswerLayout::Unknown;
    }
}

std::size_t frame_length(const std::uint8_t* head) {
    if (is_exception(head)) return kAnswerHead;
    switch (answer_layout(head[1])) {
        case AnswerLayout::Counted: return counted_length(head);
        case AnswerLayout::Echo: return kEchoLength;
        case AnswerLayout::Unknown: break;
    }
    return 0;
}

std::size_t identification_length(const std::uint8_t* frame, std::size_t size) {
    // station, 43, MEI type, read code, conformity, more follows, next id, object count
    constexpr std::size_t kObjectsStart = 8;
    if (size < kObjectsStart) return kObjectsStart;
    std::size_t end = kObjectsStart;
    for (std::size_t i = 0; i < frame[kObjectsStart - 1]; ++i) {
        if (size < end + 2) return end + 2;  // object id and length
        end += 2 + std::size_t{frame[end + 1]};
        if (end > kLongestFrame) return kLongestFrame + 1;
        if (size < end) return end;
    }
    return end + 2;  // the CRC
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
