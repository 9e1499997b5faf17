// Modbus RTU CRC-16: reflected polynomial 0xA001, initial value 0xFFFF, no
// final xor. The frame carries it low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::codec {

constexpr std::uint16_t kCrcInit = 0xFFFF;
constexpr std::uint16_t kCrcPoly = 0xA001;

// Table-driven, for byte data.
std::uint16_t crc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc = kCrcInit);

// Python's `>> 1` on a signed value: floor division by two.
constexpr std::int64_t floor_half(std::int64_t v) { return v < 0 ? ~(~v >> 1) : v >> 1; }

// One element mixed in bit by bit, exactly as the algorithm does on unbounded
// integers: elements outside 0-255 (negative, wide code points) are mixed in
// whole, so the running value may leave 16 bits. Exact for any element that
// fits in 64 bits.
constexpr std::int64_t crc16_wide_step(std::int64_t crc, std::int64_t element) {
    crc ^= element;
    for (int bit = 0; bit < 8; ++bit) {
        bool carry = (crc & 1) != 0;
        crc = floor_half(crc);
        if (carry) crc ^= kCrcPoly;
    }
    return crc;
}

constexpr std::uint8_t crc_low(std::uint16_t crc) { return static_cast<std::uint8_t>(crc & 0xFF); }
constexpr std::uint8_t crc_high(std::uint16_t crc) { return static_cast<std::uint8_t>(crc >> 8); }

// True when the last two bytes are the CRC of everything before them.
bool crc_is_right(const std::uint8_t* frame, std::size_t size);

}  // namespace qel::codec
