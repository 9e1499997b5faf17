#include "core/frames.hpp"

namespace qel::codec {

Frame read_request(std::uint8_t station, std::uint8_t code, std::uint16_t address, std::uint16_t count) {
    Frame f(station, code);
    f.put16(address);
    f.put16(count);
    f.seal();
    return f;
}

Frame write_register_request(std::uint8_t station, std::uint16_t address, std::uint16_t value) {
    Frame f(station, kWriteRegister);
    f.put16(address);
    f.put16(value);
    f.seal();
    return f;
}

Frame write_registers_request(std::uint8_t station, std::uint16_t address, const std::uint16_t* values,
                              std::size_t count) {
    Frame f(station, kWriteRegisters);
    f.put16(address);
    f.put16(static_cast<std::uint16_t>(count));
    f.put(static_cast<std::uint8_t>(2 * count));
    for (std::size_t i = 0; i < count; ++i) f.put16(values[i]);
    f.seal();
    return f;
}

Frame write_coil_request(std::uint8_t station, std::uint16_t address, bool on) {
    Frame f(station, kWriteCoil);
    f.put16(address);
    f.put(on ? 0xFF : 0x00);
    f.put(0x00);
    f.seal();
    return f;
}

Frame any_request(std::uint8_t station, std::uint8_t code, const std::uint8_t* data, std::size_t size) {
    Frame f(station, code);
    for (std::size_t i = 0; i < size; ++i) f.put(data[i]);
    f.seal();
    return f;
}

}  // namespace qel::codec
