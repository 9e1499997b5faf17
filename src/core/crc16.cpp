#include "core/crc16.hpp"

#include <array>

namespace qel::codec {

namespace {

// Four tables: the CRC of byte b followed by k zero bytes, so that four
// bytes fold in per step (slicing by four).
struct CrcTables {
    std::array<std::array<std::uint16_t, 256>, 4> t{};
    constexpr CrcTables() {
        for (unsigned b = 0; b < 256; ++b) {
            t[0][b] = static_cast<std::uint16_t>(crc16_wide_step(0, b));
        }
        for (unsigned b = 0; b < 256; ++b) {
            for (int k = 1; k < 4; ++k) {
                std::uint16_t prev = t[k - 1][b];
                t[k][b] = static_cast<std::uint16_t>((prev >> 8) ^ t[0][prev & 0xFF]);
            }
        }
    }
};

constexpr CrcTables kTables{};

}  // namespace

std::uint16_t crc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc) {
    const auto& t = kTables.t;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        std::uint16_t lo = static_cast<std::uint16_t>(crc ^ (data[i] | data[i + 1] << 8));
        crc = t[3][lo & 0xFF] ^ t[2][lo >> 8] ^ t[1][data[i + 2]] ^ t[0][data[i + 3]];
    }
    for (; i < size; ++i) crc = static_cast<std::uint16_t>((crc >> 8) ^ t[0][(crc ^ data[i]) & 0xFF]);
    return crc;
}

bool crc_is_right(const std::uint8_t* frame, std::size_t size) {
    if (size < 2) return false;
    std::uint16_t crc = crc16(frame, size - 2);
    return frame[size - 2] == crc_low(crc) && frame[size - 1] == crc_high(crc);
}

}  // namespace qel::codec
