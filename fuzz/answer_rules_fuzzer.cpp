// libFuzzer harness over the protocol core that judges untrusted bytes: the
// CRC, the RTU request frames and answer rules (whom a head answers, and
// how long the frame it begins is, a device identification's length from its
// objects), the MBAP header rules of Modbus TCP, and the register layouts of
// typed values.
// No Python. Every function is checked against a plain
// reimplementation, and every buffer handed in is a heap copy exactly as
// long as the function's contract says, so that AddressSanitizer sees any
// read past it. Built and run by .ci/fuzz:
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/answer_rules_fuzzer.cpp
//       build/fuzz/libqel_core.a   (the protocol core, built by .ci/fuzz)
#include "core/answer_rules.hpp"
#include "core/crc16.hpp"
#include "core/frames.hpp"
#include "core/mbap.hpp"
#include "core/values.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace qel;
using Bytes = std::vector<std::uint8_t>;

#define EXPECT(cond)                                                               \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

// Takes choices off the input; past its end every read is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t word() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
    bool flag() { return byte() & 1; }
    Bytes take(std::size_t n) {
        n = n < size_ - pos_ ? n : size_ - pos_;
        Bytes out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::size_t left() const { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// An exact heap copy: one byte more read is one byte out of bounds.
struct Exact {
    explicit Exact(const Bytes& b) : size(b.size()), data(static_cast<std::uint8_t*>(std::malloc(b.size() ? b.size() : 1))) {
        if (!b.empty()) std::memcpy(data, b.data(), b.size());
    }
    ~Exact() { std::free(data); }
    Exact(const Exact&) = delete;
    Exact& operator=(const Exact&) = delete;
    std::size_t size;
    std::uint8_t* data;
};

// ---- plain reimplementations ----------------------------------------------------

std::uint16_t reference_crc(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0xFFFF) {
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

bool reference_crc_right(const Bytes& frame) {
    if (frame.size() < 2) return false;
    const std::uint16_t crc = reference_crc(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

Bytes sealed(Bytes body) {
    const std::uint16_t crc = reference_crc(body.data(), body.size());
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    return body;
}

void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

std::uint16_t get16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]); }

bool same(const codec::Frame& f, const Bytes& b) {
    return f.size() == b.size() && std::memcmp(f.data(), b.data(), b.size()) == 0;
}

// ---- the checks -------------------------------------------------------------------

void check_crc(Input& in) {
    const Bytes data = in.take(in.byte());
    const Exact exact(data);
    const std::uint16_t crc = codec::crc16(exact.data, exact.size);
    EXPECT(crc == reference_crc(data.data(), data.size()));
    // Folding in pieces gives the CRC of the whole.
    const std::size_t cut = data.empty() ? 0 : in.byte() % (data.size() + 1);
    EXPECT(codec::crc16(exact.data + cut, exact.size - cut, codec::crc16(exact.data, cut)) == crc);
    EXPECT(codec::crc_is_right(exact.data, exact.size) == reference_crc_right(data));
    const Bytes framed = sealed(data);
    const Exact exact_framed(framed);
    EXPECT(codec::crc_is_right(exact_framed.data, exact_framed.size));
    for (std::size_t i = 0; i < data.size() && i < 4; ++i) {
        std::int64_t wide = codec::crc16_wide_step(0xFFFF, data[i]);
        EXPECT(wide == reference_crc(&data[i], 1));
    }
}

void check_frames(Input& in) {
    const std::uint8_t station = in.byte(), code = in.byte();
    const std::uint16_t address = in.word(), second = in.word();
    Bytes want{station, code};
    put16(want, address);
    put16(want, second);
    EXPECT(same(codec::read_request(station, code, address, second), sealed(want)));
    want = {station, codec::kWriteRegister};
    put16(want, address);
    put16(want, second);
    EXPECT(same(codec::write_register_request(station, address, second), sealed(want)));
    const bool on = in.flag();
    want = {station, codec::kWriteCoil};
    put16(want, address);
    want.push_back(on ? 0xFF : 0x00);
    want.push_back(0x00);
    EXPECT(same(codec::write_coil_request(station, address, on), sealed(want)));
    const std::size_t count = in.byte() % (codec::kMaxWriteRegisters + 1);
    std::vector<std::uint16_t> values(count);
    for (auto& v : values) v = in.word();
    want = {station, codec::kWriteRegisters};
    put16(want, address);
    put16(want, static_cast<std::uint16_t>(count));
    want.push_back(static_cast<std::uint8_t>(2 * count));
    for (auto v : values) put16(want, v);
    const codec::Frame frame = codec::write_registers_request(station, address, values.data(), count);
    EXPECT(same(frame, sealed(want)) && frame.size() <= codec::Frame::kCapacity);
    EXPECT(codec::crc_is_right(frame.data(), frame.size()));
}

void check_answer(Input& in) {
    // A head as far as it arrived: judged only when whole.
    const Bytes head = in.take(in.byte() % (codec::kAnswerHead + 3));
    const Exact exact_head(head);
    const codec::AnswerFault head_fault = codec::judge_head(exact_head.data, exact_head.size);
    if (head.size() != codec::kAnswerHead) {
        EXPECT(head_fault == codec::AnswerFault::Short);
        return;
    }
    EXPECT(head_fault == (head[1] >= 0x80 ? codec::AnswerFault::SlaveException : codec::AnswerFault::None));
    EXPECT(codec::is_exception(exact_head.data) == (head[1] >= 0x80));
    // Whom the head answers: a request asking the same station for the same
    // function, the exception flag aside; often nearly that one.
    const std::uint8_t asked_station = in.flag() ? head[0] : in.byte();
    const std::uint8_t asked_function = in.flag() ? static_cast<std::uint8_t>(head[1] ^ (in.flag() ? 0x80 : 0)) : in.byte();
    EXPECT(codec::answers(exact_head.data, codec::Asked{asked_station, asked_function}) ==
           (head[0] == asked_station && ((head[1] & 0x7F) == (asked_function & 0x7F) || head[1] == 0x80)));
    // The length of the frame it begins, by its own function code.
    std::size_t own_length = 0;
    if (head[1] >= 0x80) {
        own_length = codec::kAnswerHead;
    } else if (head[1] >= 1 && head[1] <= 4) {
        own_length = 5u + head[2];
    } else if (head[1] == 5 || head[1] == 6 || head[1] == 15 || head[1] == 16) {
        own_length = 8;
    }
    EXPECT(codec::frame_length(exact_head.data) == own_length);
    EXPECT(own_length <= codec::kLongestAnswer);
    const std::size_t counted = codec::counted_length(exact_head.data);
    EXPECT(counted == 5u + head[2] && counted <= codec::kLongestAnswer && counted >= codec::kAnswerHead);
    // The engine reads the head, then the rest up to the expected length:
    // a read answer's counted length, or a write's echo.
    const std::size_t expected = in.flag() ? counted : codec::kEchoLength;
    Bytes answer = head;
    const Bytes rest = in.take(in.flag() ? expected - codec::kAnswerHead : in.byte());
    answer.insert(answer.end(), rest.begin(), rest.end());
    if (in.flag() && answer.size() >= 2) answer = sealed(Bytes(answer.begin(), answer.end() - 2));
    const Exact exact(answer);
    const bool check_crc = in.flag();
    const codec::AnswerFault fault = codec::judge_answer(exact.data, exact.size, expected, check_crc);
    codec::AnswerFault want = codec::AnswerFault::None;
    if (answer.size() != expected) {
        want = codec::AnswerFault::Short;
    } else if (check_crc && !reference_crc_right(answer)) {
        want = codec::AnswerFault::CrcMismatch;
    }
    EXPECT(fault == want);
    if (fault == codec::AnswerFault::None && expected == counted) {
        EXPECT(codec::judge_register_data(exact.data) ==
               (answer[2] % 2 ? codec::AnswerFault::OddByteCount : codec::AnswerFault::None));
        // The data the decoders then read lies inside the answer.
        const std::size_t registers = answer[2] / 2;
        for (std::size_t i = 0; i < registers; ++i)
            EXPECT(codec::data_register(exact.data + 3, i) == get16(answer, 3 + 2 * i));
        for (std::size_t k = 0; k < 8u * answer[2]; ++k)
            EXPECT(codec::data_bit(exact.data + 3, k) == ((answer[3 + k / 8] >> (k % 8)) & 1));
    }
}

// The ADU an RTU frame travels in, by a plain reimplementation.
Bytes model_adu(std::uint16_t tid, const Bytes& frame) {
    Bytes adu;
    put16(adu, tid);
    put16(adu, 0);
    put16(adu, static_cast<std::uint16_t>(frame.size() - 2));
    adu.insert(adu.end(), frame.begin(), frame.end() - 2);
    return adu;
}

Bytes adu_of(std::uint16_t tid, const codec::Frame& frame) {
    Bytes adu(mbap::kLongestAdu);
    adu.resize(mbap::adu_from_rtu(tid, frame.data(), frame.size(), adu.data()));
    return adu;
}

void check_mbap(Input& in) {
    const std::uint16_t tid = in.word(), address = in.word(), count = in.word();
    const std::uint8_t code = in.flag() ? mbap::kReadCoils : mbap::kReadDiscreteInputs;
    const codec::Frame read_frame = codec::read_request(mbap::kUnitId, code, address, count);
    const Bytes read = adu_of(tid, read_frame);
    EXPECT(read == model_adu(tid, Bytes(read_frame.data(), read_frame.data() + read_frame.size())));
    EXPECT(read.size() == mbap::kRequestSize);
    const bool on = in.flag();
    const codec::Frame write_frame = codec::write_coil_request(mbap::kUnitId, address, on);
    const Bytes write = adu_of(tid, write_frame);
    EXPECT(write == model_adu(tid, Bytes(write_frame.data(), write_frame.data() + write_frame.size())));

    // The receive for a read is sized from the request alone.
    const Exact request(read);
    const std::size_t expected = mbap::expected_read_reply_size(request.data);
    const std::size_t data = (count + 7u) / 8u;
    EXPECT(expected == mbap::kReplyHead + (data > 255 ? 255 : data));

    // A write's echo answers it; so does the well-formed reply to a read.
    const Exact echo(write);
    const Exact write_request(Bytes(write.begin(), write.begin() + mbap::kHeaderSize + 1));
    EXPECT(mbap::fit(write_request.data, echo.data) == codec::AnswerFault::None);
    EXPECT(mbap::judge_reply(echo.data) == codec::AnswerFault::None);
    EXPECT(mbap::adu_size(echo.data) == mbap::kWriteEchoSize);
    if (count <= 2040) {
        Bytes reply;
        put16(reply, tid);
        put16(reply, 0);
        put16(reply, static_cast<std::uint16_t>(3 + data));
        reply.push_back(mbap::kUnitId);
        reply.push_back(code);
        reply.push_back(static_cast<std::uint8_t>(data));
        const Exact head(reply);
        EXPECT(mbap::fit(request.data, head.data) == codec::AnswerFault::None);
        EXPECT(mbap::judge_reply(head.data) == codec::AnswerFault::None && mbap::adu_size(head.data) == expected);
    }

    // Any bytes as an RTU frame to carry: right length and CRC, or refused;
    // carried and brought back, the frame is what it was.
    Bytes frame = in.take(in.byte());
    const Exact exact_frame(frame);
    const bool crc_right = frame.size() >= 4 && reference_crc(frame.data(), frame.size() - 2) ==
                                                    static_cast<std::uint16_t>(frame[frame.size() - 2] | frame[frame.size() - 1] << 8);
    EXPECT(mbap::is_rtu_frame(exact_frame.data, frame.size()) == (crc_right && frame.size() + 4 <= mbap::kLongestAdu));
    if (crc_right && frame.size() + 4 <= mbap::kLongestAdu && (frame[1] & 0x80) == 0) {
        Bytes adu(frame.size() + mbap::kHeaderSize - 3);
        mbap::adu_from_rtu(tid, exact_frame.data, frame.size(), adu.data());
        EXPECT(adu == model_adu(tid, frame));
        const Exact exact_adu(adu);
        Bytes back(adu.size() - 4);
        EXPECT(mbap::rtu_from_adu(exact_adu.data, adu.size(), back.data()) == frame.size() && back == frame);
    }

    // Any reply head against any request head.
    Bytes asked = in.take(mbap::kHeaderSize + 1), got = in.take(mbap::kReplyHead);
    if (asked.size() < mbap::kHeaderSize + 1 || got.size() < mbap::kReplyHead) return;
    const Exact exact_asked(asked), exact_got(got);
    const codec::AnswerFault fit = mbap::fit(exact_asked.data, exact_got.data);
    codec::AnswerFault want_fit = codec::AnswerFault::Mismatch;
    if (get16(got, 0) != get16(asked, 0)) {
        want_fit = codec::AnswerFault::OtherRequest;
    } else if (get16(got, 2) == get16(asked, 2) && got[6] == asked[6] && ((got[7] ^ asked[7]) & 0x7F) == 0 &&
               get16(got, 4) >= 3) {
        want_fit = codec::AnswerFault::None;
    }
    EXPECT(fit == want_fit);
    const mbap::Header header = mbap::parse_header(exact_got.data);
    EXPECT(header.transaction == get16(got, 0) && header.protocol == get16(got, 2) && header.length == get16(got, 4) &&
           header.unit == got[6]);
    const std::size_t size = mbap::adu_size(exact_got.data);
    EXPECT(size == 6u + get16(got, 4) && size <= 6u + 0xFFFF);
    EXPECT(mbap::is_exception(exact_got.data) == ((got[7] & 0x80) != 0));
    // A reply's length must fit an ADU and agree with its function code.
    const std::size_t length = get16(got, 4);
    bool fits = get16(got, 2) == 0 && length >= 3 && 6 + length <= mbap::kLongestAdu;
    if (fits && (got[7] & 0x80) == 0) {
        if (got[7] >= 1 && got[7] <= 4) fits = length == 3u + got[8];
        if (got[7] == 5 || got[7] == 6 || got[7] == 15 || got[7] == 16) fits = length == 6;
    }
    EXPECT(mbap::judge_reply(exact_got.data) == (fits ? codec::AnswerFault::None : codec::AnswerFault::Mismatch));
}

}  // namespace

// A device identification answer read as the engine reads it: the head,
// then as much as identification_length() asks for, until it asks for no
// more, for more than an RTU frame holds, or for more than there is.
enum class Read { Whole, TooLong, Short };

void check_identification(Input& in) {
    Bytes data = in.take(in.byte() + in.byte());
    if (data.size() >= 2 && in.flag()) data[1] = 43;
    // The engine's loop, on exact copies of what it has read so far.
    std::size_t have = std::min<std::size_t>(codec::kAnswerHead, data.size());
    Read read = data.size() < codec::kAnswerHead ? Read::Short : Read::Whole;
    while (read == Read::Whole) {
        const Exact prefix(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(have)));
        const std::size_t needed = codec::identification_length(prefix.data, prefix.size);
        EXPECT(needed <= codec::kLongestFrame + 2);
        if (needed <= have) break;
        if (needed > codec::kLongestFrame) read = Read::TooLong;
        else if (needed > data.size()) read = Read::Short;
        else have = needed;
    }
    // The same walk over the whole input.
    Read expected = Read::Whole;
    std::size_t end = 8;
    if (data.size() < end) expected = Read::Short;
    for (std::size_t i = 0; expected == Read::Whole && i < data[7]; ++i) {
        if (end + 2 > codec::kLongestFrame) { expected = Read::TooLong; break; }
        if (data.size() < end + 2) { expected = Read::Short; break; }
        end += 2 + std::size_t{data[end + 1]};
        if (end > codec::kLongestFrame) expected = Read::TooLong;
        else if (data.size() < end) expected = Read::Short;
    }
    if (expected == Read::Whole) {
        end += 2;
        if (end > codec::kLongestFrame) expected = Read::TooLong;
        else if (data.size() < end) expected = Read::Short;
    }
    EXPECT(read == expected);
    if (read == Read::Whole) EXPECT(have == end);
}

// Typed values: the layouts are their own inverse and agree with a plain
// permutation; integers survive their bytes; the range checks agree with
// the kinds' widths.
void check_values(Input& in) {
    const auto order = static_cast<codec::WordOrder>(in.byte() % 4);
    const std::size_t registers = std::size_t{1} + in.byte() % codec::kMaxTextRegisters;
    Bytes value = in.take(2 * registers);
    value.resize(2 * registers);
    Bytes laid = value;
    codec::arrange(laid.data(), registers, order);
    const bool reversed = order == codec::WordOrder::CDAB || order == codec::WordOrder::DCBA;
    const bool swapped = order == codec::WordOrder::BADC || order == codec::WordOrder::DCBA;
    for (std::size_t r = 0; r < registers; ++r)
        for (std::size_t b = 0; b < 2; ++b)
            EXPECT(laid[2 * r + b] == value[2 * (reversed ? registers - 1 - r : r) + (swapped ? 1 - b : b)]);
    codec::arrange(laid.data(), registers, order);
    EXPECT(laid == value);

    static const codec::ValueKind kIntegers[] = {codec::ValueKind::Int16, codec::ValueKind::UInt16,
                                                 codec::ValueKind::Int32, codec::ValueKind::UInt32,
                                                 codec::ValueKind::Int64, codec::ValueKind::UInt64};
    static const std::size_t kWidths[] = {1, 1, 2, 2, 4, 4};
    const std::size_t k = in.byte() % 6;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | in.byte();
    const std::size_t width = kWidths[k];
    std::uint8_t bytes[8];
    codec::put_integer(bits, width, bytes);
    const std::uint64_t mask = width == 4 ? ~std::uint64_t{0} : (std::uint64_t{1} << (16 * width)) - 1;
    EXPECT(codec::get_integer(bytes, width) == (bits & mask));
    const codec::ValueKind kind = kIntegers[k];
    const auto as_int = static_cast<std::int64_t>(bits);
    const bool fits_signed = codec::holds_signed(kind, as_int);
    const bool fits_unsigned = codec::holds_unsigned(kind, bits);
    if (codec::is_signed(kind)) {
        const std::int64_t low = width == 4 ? INT64_MIN : -(std::int64_t{1} << (16 * width - 1));
        const std::int64_t high = width == 4 ? INT64_MAX : (std::int64_t{1} << (16 * width - 1)) - 1;
        EXPECT(fits_signed == (as_int >= low && as_int <= high));
        if (fits_signed) EXPECT(codec::as_signed(kind, bits & mask) == as_int);
    } else {
        EXPECT(fits_unsigned == ((bits & ~mask) == 0));
        EXPECT(fits_signed == (as_int >= 0 && fits_unsigned));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    while (in.left() > 0) {
        switch (in.byte() % 6) {
            case 0: check_crc(in); break;
            case 1: check_frames(in); break;
            case 2: check_answer(in); break;
            case 3: check_mbap(in); break;
            case 4: check_identification(in); break;
            default: check_values(in); break;
        }
    }
    return 0;
}
