// The rules an RTU answer is read and judged by: how long it must be, when it
// is an exception answer, and what is wrong with it. Plain C++ on bytes: no
// Python, no I/O. The caller reads; these say what the bytes mean.
#pragma once

#include "core/function_codes.hpp"

#include <cstddef>
#include <cstdint>

namespace qel::codec {

// Every answer is read in two steps: this many bytes first, which already
// hold a whole exception answer (station, code | 0x80, exception code, CRC),
// then the rest of the expected length.
constexpr std::size_t kAnswerHead = 5;

// The longest answer a read can announce: head, 255 data bytes, CRC.
constexpr std::size_t kLongestAnswer = 3 + 255 + 2;

// The echo that answers every write.
constexpr std::size_t kEchoLength = 8;

// What is wrong with an answer, in either framing.
enum class AnswerFault : std::uint8_t {
    None,
    Short,            // fewer bytes than expected arrived: the slave's time-out
    SlaveException,   // the function code carries the exception flag
    CrcMismatch,      // the last two bytes are not the CRC of the rest
    OddByteCount,     // register data must come in byte pairs
    OtherRequest,     // an answer to another request (late, duplicated, another
                      // device's): dropped, and the wait goes on
    Mismatch,         // carries this request's transaction id but does not answer it
};

// The head, as far as it arrived: short, an exception answer (its CRC not
// yet checked), or the head of a normal answer.
AnswerFault judge_head(const std::uint8_t* head, std::size_t size);

// An exception answer is whole in its head: station, code | 0x80, exception
// code, CRC.
inline bool is_exception(const std::uint8_t* head) { return head[1] >= kExceptionFlag; }

// The station and function code a request carried; its answer carries the
// same two.
struct Asked {
    std::uint8_t station;
    std::uint8_t function;
};

// Whether a whole head answers what was asked: the same station and the
// same function code, the exception flag aside. Anything else is an answer
// to another request (a late one, another master's, another device's) and
// is dropped. An exception answer to function 0, which some slaves send
// for a request they could not decode, is the station's answer whatever
// was asked: no request has function 0.
inline bool answers(const std::uint8_t* head, Asked asked) {
    return head[0] == asked.station &&
           (((head[1] ^ asked.function) & ~kExceptionFlag) == 0 || head[1] == kExceptionFlag);
}

// How the answer to a function code is laid out, in either framing: a
// read's byte count tells its length (1-4, 23), a write's answer echoes the
// request's first two fields (5, 6, 15, 16); another code's length cannot
// be told from its head. A new function code is added here.
enum class AnswerLayout : std::uint8_t { Counted, Echo, Unknown };
AnswerLayout answer_layout(std::uint8_t function_code);

// The whole length of the frame a head begins, as its own function code
// tells it: an exception answer is its head, a read answer (1-4) carries its
// byte count, a write answer (5, 6, 15, 16) is the 8-byte echo. 0 for any
// other code: where such a frame ends cannot be told.
std::size_t frame_length(const std::uint8_t* head);

// A device identification answer (43/14) lists its objects, each with its
// own length. Given the `size` bytes of it that arrived, how many must have
// arrived to tell more of its length: `size` itself once it is whole, CRC
// included. Never more than kLongestFrame + 1: an answer that claims more
// is no RTU frame.
std::size_t identification_length(const std::uint8_t* frame, std::size_t size);

// The longest RTU frame: station, a PDU of 253 bytes, CRC.
constexpr std::size_t kLongestFrame = 256;

// The whole length of a read answer (registers or coils), from its head.
inline std::size_t counted_length(const std::uint8_t* head) { return 3 + std::size_t{head[2]} + 2; }

// A whole answer of `expected` bytes of which `size` arrived; the CRC is
// judged only when asked, and only once the length is right.
AnswerFault judge_answer(const std::uint8_t* frame, std::size_t size, std::size_t expected, bool check_crc);

// A read answer once its byte count's rest was read: short when fewer than
// head, data and CRC arrived (more is the channel's business).
AnswerFault judge_counted_answer(const std::uint8_t* frame, std::size_t size);

// The last two bytes must be the CRC of everything before them.
AnswerFault judge_crc(const std::uint8_t* frame, std::size_t size);

// Register data: the byte count of a read answer must be even.
AnswerFault judge_register_data(const std::uint8_t* frame);

}  // namespace qel::codec
