// Modbus TCP application data units: the MBAP header (transaction id,
// protocol id 0, length of what follows, unit id) in front of a PDU, all
// 16-bit fields big-endian. Plain C++ on byte arrays; no Python, no I/O.
#pragma once

#include "core/answer_rules.hpp"
#include "core/function_codes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qel::mbap {

constexpr std::size_t kHeaderSize = 7;
// Header, function code and one byte more: the byte count of a read reply
// or the code of an exception reply. An exception reply is exactly this long.
constexpr std::size_t kReplyHead = 9;
// Both requests we build are 12 bytes, and so is the echo of a coil write.
constexpr std::size_t kRequestSize = 12;
constexpr std::size_t kWriteEchoSize = 12;

constexpr std::uint8_t kUnitId = 1;
using codec::AnswerFault;
using codec::kExceptionFlag;
using codec::kReadCoils;
using codec::kWriteCoil;
constexpr std::uint8_t kReadDiscreteInputs = codec::kReadInputCoils;

using Request = std::array<std::uint8_t, kRequestSize>;

struct Header {
    std::uint16_t transaction;
    std::uint16_t protocol;
    std::uint16_t length;  // bytes after the length field: unit id and PDU
    std::uint8_t unit;
};

// Process-wide, shared by every master; wraps at 65536.
std::uint16_t next_transaction_id();

// `adu` holds at least kHeaderSize bytes.
Header parse_header(const std::uint8_t* adu);

// The whole size of the ADU whose header is given: the six bytes up to the
// length field and what the length field counts.
inline std::size_t adu_size(const std::uint8_t* header) { return 6 + parse_header(header).length; }

// How a reply head (kReplyHead bytes) fits the request whose first
// kHeaderSize + 1 bytes are given; the function code may carry the
// exception flag. None: the same transaction, protocol, unit and function
// code; OtherRequest: a late or duplicated reply to another transaction, to
// be skipped; Mismatch: this transaction, but no answer to it.
AnswerFault fit(const std::uint8_t* request, const std::uint8_t* reply);

inline bool is_exception(const std::uint8_t* reply) { return (reply[kHeaderSize] & kExceptionFlag) != 0; }

// The size of the whole reply to a coil read of the request given (its
// count field), so that a reply that is there whole comes in one receive.
std::size_t expected_read_reply_size(const std::uint8_t* request);

// ---- RTU frames carried as Modbus TCP --------------------------------------

// The longest ADU handled: the request that carries the longest frame a
// master builds (a write of 127 registers, 263 bytes), which is longer than
// the read reply announcing 255 data bytes. The standard keeps to 260;
// longer ones are the device's to refuse.
constexpr std::size_t kLongestAdu = 263 - 3 + kHeaderSize;

// Whether `size` bytes can be an RTU frame (station, function code, CRC)
// whose PDU fits an ADU, and its CRC is right.
bool is_rtu_frame(const std::uint8_t* frame, std::size_t size);

// The ADU that carries RTU frame `frame` (checked by is_rtu_frame): the
// station becomes the unit id, the CRC is dropped. Writes size + 5 bytes to
// `adu` and returns that count.
std::size_t adu_from_rtu(std::uint16_t transaction, const std::uint8_t* frame, std::size_t size, std::uint8_t* adu);

// The RTU frame that a whole reply (judged by judge_reply) stands for: unit
// id as station, the PDU, and its CRC; of an exception reply, its function
// and exception codes. Writes at most size - 4 bytes to `frame` and returns
// the count.
std::size_t rtu_from_adu(const std::uint8_t* adu, std::size_t size, std::uint8_t* frame);

// Whether a header can begin a reply at all: protocol 0 and a length that
// holds a unit id, a function code and one byte more, and fits the longest
// ADU.
bool plausible_header(const std::uint8_t* adu);

// A reply head (kReplyHead bytes) that answers its request, judged by its
// own function code: Mismatch when its header cannot begin a reply, or its
// length disagrees with what the code says (a read's byte count, a write's
// echo); None otherwise. An exception reply is taken at any plausible
// length.
AnswerFault judge_reply(const std::uint8_t* head);

}  // namespace qel::mbap
