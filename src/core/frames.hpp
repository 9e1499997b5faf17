// RTU request frames and the decoding of answer data: station, function code,
// big-endian 16-bit fields, then the CRC low byte first.
#pragma once

#include "core/crc16.hpp"
#include "core/function_codes.hpp"

#include <cstddef>
#include <cstdint>

namespace qel::codec {

// At most this many registers go into one write-multiple request.
constexpr std::size_t kMaxWriteRegisters = 127;

class Frame {
public:
    static constexpr std::size_t kCapacity = 9 + 2 * kMaxWriteRegisters;

    Frame(std::uint8_t station, std::uint8_t code) {
        put(station);
        put(code);
    }
    void put(std::uint8_t b) { bytes_[size_++] = b; }
    void put16(std::uint16_t v) {
        put(static_cast<std::uint8_t>(v >> 8));
        put(static_cast<std::uint8_t>(v));
    }
    // Appends the CRC of everything so far; the frame is then complete.
    void seal() {
        std::uint16_t crc = crc16(bytes_, size_);
        put(crc_low(crc));
        put(crc_high(crc));
    }
    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t bytes_[kCapacity];  // left uninitialised: only size_ bytes are ever read
    std::size_t size_ = 0;
};

// Read of registers or coils: address and count.
Frame read_request(std::uint8_t station, std::uint8_t code, std::uint16_t address, std::uint16_t count);
Frame write_register_request(std::uint8_t station, std::uint16_t address, std::uint16_t value);
// `count` must not exceed kMaxWriteRegisters.
Frame write_registers_request(std::uint8_t station, std::uint16_t address, const std::uint16_t* values,
                              std::size_t count);
Frame write_coil_request(std::uint8_t station, std::uint16_t address, bool on);

// The data of a request's PDU after its function code: 253 PDU bytes in all.
constexpr std::size_t kMaxRequestData = 252;

// Any request: function code and data as given; `size` must not exceed
// kMaxRequestData.
Frame any_request(std::uint8_t station, std::uint8_t code, const std::uint8_t* data, std::size_t size);

// Register i of a read answer's data (high byte first).
inline std::uint16_t data_register(const std::uint8_t* data, std::size_t i) {
    return static_cast<std::uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
}

// Coil k of a read answer's data: bit k mod 8 of data byte k div 8, least
// significant bit first.
inline bool data_bit(const std::uint8_t* data, std::size_t k) { return (data[k / 8] >> (k % 8)) & 1; }

}  // namespace qel::codec
