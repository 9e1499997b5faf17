// Typed values as devices lay them out in registers: integers of 16, 32 and
// 64 bits, IEEE floats of 32 and 64 bits, and text of a given number of
// registers, in any of the four byte orders found in the field. Plain C++ on
// byte arrays; no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::codec {

enum class ValueKind : std::uint8_t { Int16, UInt16, Int32, UInt32, Float32, Int64, UInt64, Float64, Text };

// How a value's bytes, most significant first (ABCD...), lie in its
// registers: as they are (ABCD), with the registers in reverse order (CDAB),
// with the two bytes of each register swapped (BADC), or both (DCBA). On a
// 16-bit value only the byte swap shows.
enum class WordOrder : std::uint8_t { ABCD, CDAB, BADC, DCBA };

// The longest text: what one read can carry.
constexpr std::size_t kMaxTextRegisters = 125;

struct ValueLayout {
    ValueKind kind;
    std::size_t registers;  // of one value
};

// "int16" ... "float64", or "string(N)" with N in 1..kMaxTextRegisters.
// False for any other name.
bool parse_kind(const char* name, std::size_t size, ValueLayout& layout);

// "ABCD", "CDAB", "BADC" or "DCBA". False for any other name.
bool parse_order(const char* name, std::size_t size, WordOrder& order);

// Rearranges `registers` registers (2 bytes each) of one value between its
// bytes in order, most significant first, and `order`. It is its own
// inverse: the same call lays a value out and reads it back.
void arrange(std::uint8_t* bytes, std::size_t registers, WordOrder order);

// The bytes of an integer kind, most significant first, from `value`'s low
// bits; whether the kind holds it is the caller's check (fits()).
void put_integer(std::uint64_t value, std::size_t registers, std::uint8_t* bytes);
std::uint64_t get_integer(const std::uint8_t* bytes, std::size_t registers);

// Whether an integer kind holds `value` (given as its sign and magnitude
// bits: the caller reads it from a Python int).
bool holds_signed(ValueKind kind, std::int64_t value);
bool holds_unsigned(ValueKind kind, std::uint64_t value);
bool is_signed(ValueKind kind);
bool is_float(ValueKind kind);

// An integer kind's value from its unsigned bits (sign-extended for signed
// kinds).
std::int64_t as_signed(ValueKind kind, std::uint64_t bits);

// Floats as their IEEE bits.
std::uint64_t float_bits(ValueKind kind, double value);  // Float32: the caller checked the range
double float_value(ValueKind kind, std::uint64_t bits);

}  // namespace qel::codec
