// 32-bit and 16-bit values as the bits registers carry them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qel::codec {

inline float pattern_to_float(std::uint32_t pattern) {
    float f;
    std::memcpy(&f, &pattern, sizeof f);
    return f;
}

// A finite double that single precision cannot hold: at or beyond the
// midpoint between the largest float and 2**128, where rounding gives
// infinity. Checked before the conversion, which would be undefined then.
inline bool too_large_for_float(double d) {
    constexpr double kMidpoint = 340282356779733661637539395458142568448.0;  // 2**128 - 2**103
    return std::isfinite(d) && std::fabs(d) >= kMidpoint;
}

inline std::uint32_t float_to_pattern(float f) {
    std::uint32_t pattern;
    std::memcpy(&pattern, &f, sizeof pattern);
    return pattern;
}

// The 16-bit signed reading of a register.
constexpr std::int16_t as_int16(std::uint16_t r) { return static_cast<std::int16_t>(r); }

}  // namespace qel::codec
