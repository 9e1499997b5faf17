#include "core/values.hpp"

#include <cstring>
#include <utility>

namespace qel::codec {

namespace {

bool named(const char* name, std::size_t size, const char* candidate) {
    return std::strlen(candidate) == size && std::memcmp(name, candidate, size) == 0;
}

// N of "string(N)": digits only, no sign, no leading zero.
bool parse_text_registers(const char* name, std::size_t size, std::size_t& registers) {
    constexpr char kOpen[] = "string(";
    constexpr std::size_t kOpenSize = sizeof kOpen - 1;
    if (size < kOpenSize + 2 || std::memcmp(name, kOpen, kOpenSize) != 0 || name[size - 1] != ')') return false;
    const char* digits = name + kOpenSize;
    const std::size_t ndigits = size - kOpenSize - 1;
    if (ndigits > 3 || digits[0] == '0') return false;
    std::size_t n = 0;
    for (std::size_t i = 0; i < ndigits; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        n = n * 10 + static_cast<std::size_t>(digits[i] - '0');
    }
    if (n > kMaxTextRegisters) return false;
    registers = n;
    return true;
}

}  // namespace

bool parse_kind(const char* name, std::size_t size, ValueLayout& layout) {
    static const struct {
        const char* name;
        ValueLayout layout;
    } kKinds[] = {
        {"int16", {ValueKind::Int16, 1}},     {"uint16", {ValueKind::UInt16, 1}},
        {"int32", {ValueKind::Int32, 2}},     {"uint32", {ValueKind::UInt32, 2}},
        {"float32", {ValueKind::Float32, 2}}, {"int64", {ValueKind::Int64, 4}},
        {"uint64", {ValueKind::UInt64, 4}},   {"float64", {ValueKind::Float64, 4}},
    };
    for (const auto& k : kKinds) {
        if (!named(name, size, k.name)) continue;
        layout = k.layout;
        return true;
    }
    std::size_t registers = 0;
    if (!parse_text_registers(name, size, registers)) return false;
    layout = {ValueKind::Text, registers};
    return true;
}

bool parse_order(const char* name, std::size_t size, WordOrder& order) {
    static const struct {
        const char* name;
        WordOrder order;
    } kOrders[] = {{"ABCD", WordOrder::ABCD}, {"CDAB", WordOrder::CDAB}, {"BADC", WordOrder::BADC}, {"DCBA", WordOrder::DCBA}};
    for (const auto& o : kOrders) {
        if (!named(name, size, o.name)) continue;
        order = o.order;
        return true;
    }
    return false;
}

void arrange(std::uint8_t* bytes, std::size_t registers, WordOrder order) {
    const bool reverse_registers = order == WordOrder::CDAB || order == WordOrder::DCBA;
    const bool swap_bytes = order == WordOrder::BADC || order == WordOrder::DCBA;
    if (reverse_registers)
        for (std::size_t i = 0, j = registers - 1; i < j; ++i, --j) {
            std::swap(bytes[2 * i], bytes[2 * j]);
            std::swap(bytes[2 * i + 1], bytes[2 * j + 1]);
        }
    if (swap_bytes)
        for (std::size_t i = 0; i < registers; ++i) std::swap(bytes[2 * i], bytes[2 * i + 1]);
}

void put_integer(std::uint64_t value, std::size_t registers, std::uint8_t* bytes) {
    for (std::size_t i = 2 * registers; i-- > 0; value >>= 8) bytes[i] = static_cast<std::uint8_t>(value);
}

std::uint64_t get_integer(const std::uint8_t* bytes, std::size_t registers) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 2 * registers; ++i) value = value << 8 | bytes[i];
    return value;
}

bool is_signed(ValueKind kind) {
    return kind == ValueKind::Int16 || kind == ValueKind::Int32 || kind == ValueKind::Int64;
}

bool is_float(ValueKind kind) { return kind == ValueKind::Float32 || kind == ValueKind::Float64; }

bool holds_signed(ValueKind kind, std::int64_t value) {
    switch (kind) {
        case ValueKind::Int16: return value >= INT16_MIN && value <= INT16_MAX;
        case ValueKind::Int32: return value >= INT32_MIN && value <= INT32_MAX;
        case ValueKind::Int64: return true;
        case ValueKind::UInt16:
        case ValueKind::UInt32:
        case ValueKind::UInt64: return value >= 0 && holds_unsigned(kind, static_cast<std::uint64_t>(value));
        default: return false;
    }
}

bool holds_unsigned(ValueKind kind, std::uint64_t value) {
    switch (kind) {
        case ValueKind::UInt16: return value <= UINT16_MAX;
        case ValueKind::UInt32: return value <= UINT32_MAX;
        case ValueKind::UInt64: return true;
        case ValueKind::Int16:
        case ValueKind::Int32:
        case ValueKind::Int64:
            return value <= static_cast<std::uint64_t>(INT64_MAX) && holds_signed(kind, static_cast<std::int64_t>(value));
        default: return false;
    }
}

std::int64_t as_signed(ValueKind kind, std::uint64_t bits) {
    switch (kind) {
        case ValueKind::Int16: return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits));
        case ValueKind::Int32: return static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
        default: return static_cast<std::int64_t>(bits);
    }
}

std::uint64_t float_bits(ValueKind kind, double value) {
    if (kind == ValueKind::Float64) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }
    const float single = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return bits;
}

double float_value(ValueKind kind, std::uint64_t bits) {
    if (kind == ValueKind::Float64) {
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    const std::uint32_t low = static_cast<std::uint32_t>(bits);
    float single;
    std::memcpy(&single, &low, sizeof single);
    return single;
}

}  // namespace qel::codec
