// Master's register operations: function codes 3 and 4 (read), 6 (write one)
// and 16 (write several). Each operation reaches the next through the
// instance, so a subclass override takes effect.
#include "core/frames.hpp"
#include "codec/protocol_errors.hpp"
#include "master/frame_fields.hpp"
#include "master/link.hpp"
#include "master/master_bodies.hpp"

#include <array>

namespace qel::master {

namespace {

const Name kReadRegisters{"read_registers"};
const Name kReadInputRegisters{"read_input_registers"};
const Name kSendReadRegisters{"send_read_registers_request"};
const Name kSendReadXxRegisters{"_Master__send_read_xx_registers_request"};
const Name kSendWriteRegister{"send_write_register_request"};
const Name kSendWriteRegisters{"send_write_registers_request"};

// Register values of a read answer: the byte pairs after the byte count.
Ref decode_registers(const Bytes& answer) {
    const std::size_t pairs = answer[2] / 2;
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(pairs)));
    for (std::size_t i = 0; i < pairs; ++i)
        PyList_SET_ITEM(list.get(), i, new_int(codec::data_register(answer.data() + 3, i)).release());
    return list;
}

Ref first_of(Ref values) { return checked(PySequence_GetItem(values.get(), 0)); }

// (station, address, value)
codec::Frame write_register_frame(PyObject* const* args) {
    const std::uint8_t station = byte_field(args[0]);
    const std::uint16_t address = word_field(args[1]);
    return codec::write_register_request(station, address, word_field(args[2]));
}

// (station, address, values): the count is checked before anything else.
codec::Frame write_registers_frame(PyObject* const* args) {
    PyObject* values = args[2];
    const Py_ssize_t count = PyObject_Size(values);
    if (count < 0) throw PythonError{};
    if (static_cast<std::size_t>(count) > codec::kMaxWriteRegisters)
        raise(PyExc_ValueError, "modbus write registers: invalid argument: register count must be less than 128");
    const std::uint8_t station = byte_field(args[0]);
    const std::uint16_t address = word_field(args[1]);
    std::array<std::uint16_t, codec::kMaxWriteRegisters> words{};
    Ref iter = checked(PyObject_GetIter(values));
    Py_ssize_t taken = 0;
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref value = Ref::steal(raw);
        // A collection whose iteration outgrows its length would overrun the frame.
        if (taken == count) raise(PyExc_ValueError, "modbus write registers: values changed size during iteration");
        words[static_cast<std::size_t>(taken++)] = word_field(value.get());
    }
    if (PyErr_Occurred()) throw PythonError{};
    if (taken != count) raise(PyExc_ValueError, "modbus write registers: values changed size during iteration");
    return codec::write_registers_request(station, address, words.data(), static_cast<std::size_t>(count));
}

}  // namespace

// (station, address, count, code), for registers and coils alike.
codec::Frame read_request_frame(PyObject* const* args) {
    const std::uint8_t station = byte_field(args[0]);
    const std::uint8_t code = byte_field(args[3]);
    const std::uint16_t address = word_field(args[1]);
    return codec::read_request(station, code, address, word_field(args[2]));
}

Ref write_register(const Args& a) {
    auto [self, station, address, value] = a.take<4>();
    transact({self, kSendWriteRegister, {station, address, value}, 3, write_register_frame, AnswerShape::echo()});
    return none();
}

Ref write_registers(const Args& a) {
    auto [self, station, address, values] = a.take<4>();
    transact({self, kSendWriteRegisters, {station, address, values}, 3, write_registers_frame, AnswerShape::echo()});
    return none();
}

Ref read_registers(const Args& a) {
    auto [self, station, address, count, func_code] = a.take<5>();
    const Bytes answer = transact(
        {self, kSendReadRegisters, {station, address, count, func_code}, 4, read_request_frame, AnswerShape::counted()});
    codec::check(codec::judge_register_data(answer.data()), station, answer.data());
    return decode_registers(answer);
}

Ref read_register(const Args& a) {
    auto [self, station, address, func_code] = a.take<4>();
    Ref one = new_int(1);
    return first_of(call_method(self, kReadRegisters.get(), station, address, one.get(), func_code));
}

Ref read_input_register(const Args& a) {
    auto [self, station, address] = a.take<3>();
    Ref one = new_int(1);
    return first_of(call_method(self, kReadInputRegisters.get(), station, address, one.get()));
}

Ref read_input_registers(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    Ref code = new_int(codec::kReadInputRegisters);
    return call_method(self, kReadRegisters.get(), station, address, count, code.get());
}

// (self, station, address, value)
Ref send_write_register_request(const Args& a) { return send_built<3>(a, write_register_frame); }

// (self, station, address, values)
Ref send_write_registers_request(const Args& a) { return send_built<3>(a, write_registers_frame); }

// (self, station, address, count, code): register and coil reads share one layout.
Ref send_read_request(const Args& a) { return send_built<4>(a, read_request_frame); }

Ref send_read_registers_request(const Args& a) {
    auto [self, station, address, count, func_code] = a.take<5>();
    return call_method(self, kSendReadXxRegisters.get(), station, address, count, func_code);
}

Ref send_read_input_registers_request(const Args& a) {
    auto [self, station, address, count] = a.take<4>();
    Ref code = new_int(codec::kReadInputRegisters);
    return call_method(self, kSendReadXxRegisters.get(), station, address, count, code.get());
}

}  // namespace qel::master
