// Master's register operations: function codes 3 and 4 (read), 6 (write one)
// and 16 (write several). Each operation reaches the next through the
// instance, so a subclass override takes effect.
#include "codec/frames.hpp"
#include "master/direct_road.hpp"
#include "master/frame_fields.hpp"
#include "master/master_bodies.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

Ref int_object(long long v) { return new_int(v); }

// Register values of a read answer: the byte pairs after the byte count.
Ref decode_registers(const std::vector<std::uint8_t>& answer) {
    const std::size_t pairs = answer[2] / 2;
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(pairs)));
    for (std::size_t i = 0; i < pairs; ++i)
        PyList_SET_ITEM(list.get(), i, int_object(codec::data_register(answer.data() + 3, i)).release());
    return list;
}

// An odd byte count would pair a CRC byte as data.
void refuse_odd_byte_count(const std::vector<std::uint8_t>& answer, PyObject* station) {
    if (answer[2] % 2 == 0) return;
    Ref count = int_object(answer[2]);
    Ref args = checked(PyTuple_Pack(2, station, count.get()));
    Ref format = checked(PyUnicode_FromString("modbus: message from slave with station %s has odd byte count %d"));
    PyErr_SetObject(PyExc_ValueError, checked(PyUnicode_Format(format.get(), args.get())).get());
    throw PythonError{};
}

Ref first_of(Ref values) { return checked(PySequence_GetItem(values.get(), 0)); }

// (self, station, address, value)
codec::Frame write_register_frame(const Args& a) {
    codec::Frame f(byte_field(a[1]), codec::kWriteRegister);
    f.put16(word_field(a[2]));
    f.put16(word_field(a[3]));
    f.seal();
    return f;
}

// (self, station, address, values): the count is checked before anything else.
codec::Frame write_registers_frame(const Args& a) {
    Py_ssize_t count = PyObject_Size(a[3]);
    if (count < 0) throw PythonError{};
    if (static_cast<std::size_t>(count) > codec::kMaxWriteRegisters)
        raise(PyExc_ValueError, "modbus write registers: invalid argument: register count must be less than 128");
    codec::Frame f(byte_field(a[1]), codec::kWriteRegisters);
    f.put16(word_field(a[2]));
    f.put16(static_cast<std::uint16_t>(count));
    f.put(static_cast<std::uint8_t>(2 * count));
    Ref iter = checked(PyObject_GetIter(a[3]));
    Py_ssize_t taken = 0;
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref value = Ref::steal(raw);
        // A collection whose iteration outgrows its length would overrun the frame.
        if (++taken > count) raise(PyExc_ValueError, "modbus write registers: values changed size during iteration");
        f.put16(word_field(value.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    if (taken != count) raise(PyExc_ValueError, "modbus write registers: values changed size during iteration");
    f.seal();
    return f;
}

}  // namespace

// (self, station, address, count, code), for registers and coils alike.
codec::Frame read_request_frame(const Args& a) {
    std::uint8_t station = byte_field(a[1]);
    std::uint8_t code = byte_field(a[4]);
    std::uint16_t address = word_field(a[2]);
    return codec::read_request(station, code, address, word_field(a[3]));
}

// A write: the sender through the instance, then the 8-byte echo with its
// CRC checked; or the direct road.
void write_and_await_echo(const Args& a, Road road, PyObject* sender, codec::Frame (*build)(const Args&)) {
    if (auto direct = direct_road(a[0], road)) {
        direct_transaction(*direct, build(a), a[1], AnswerShape::Echo);
        return;
    }
    call_method(a[0], sender, a[1], a[2], a[3]);
    Ref eight = new_int(8);
    call_method(a[0], names()._Master__feedback_assistant, a[1], eight.get(), Py_True);
}

Ref write_register(const Args& a) {
    write_and_await_echo(a, Road::WriteRegister, names().send_write_register_request, write_register_frame);
    return none();
}

Ref write_registers(const Args& a) {
    write_and_await_echo(a, Road::WriteRegisters, names().send_write_registers_request, write_registers_frame);
    return none();
}

Ref send_write_register_request(const Args& a) {
    codec::Frame f = write_register_frame(a);
    send_frame(a[0], f.data(), f.size());
    return none();
}

Ref send_write_registers_request(const Args& a) {
    codec::Frame f = write_registers_frame(a);
    send_frame(a[0], f.data(), f.size());
    return none();
}

Ref read_register(const Args& a) {
    Ref one = int_object(1);
    return first_of(call_method(a[0], names().read_registers, a[1], a[2], one.get(), a[3]));
}

Ref read_registers(const Args& a) {
    std::vector<std::uint8_t> answer;
    if (auto road = direct_road(a[0], Road::ReadRegisters)) {
        answer = direct_transaction(*road, read_request_frame(a), a[1], AnswerShape::Counted);
    } else {
        call_method(a[0], names().send_read_registers_request, a[1], a[2], a[3], a[4]);
        answer = read_counted_answer(a[0], a[1]);
    }
    refuse_odd_byte_count(answer, a[1]);
    return decode_registers(answer);
}

Ref read_input_register(const Args& a) {
    Ref one = int_object(1);
    return first_of(call_method(a[0], names().read_input_registers, a[1], a[2], one.get()));
}

Ref read_input_registers(const Args& a) {
    Ref code = int_object(codec::kReadInputRegisters);
    return call_method(a[0], names().read_registers, a[1], a[2], a[3], code.get());
}

// Register and coil read requests share one layout.
Ref send_read_request(const Args& a) {
    codec::Frame f = read_request_frame(a);
    send_frame(a[0], f.data(), f.size());
    return none();
}

Ref send_read_registers_request(const Args& a) {
    return call_method(a[0], names()._Master__send_read_xx_registers_request, a[1], a[2], a[3], a[4]);
}

Ref send_read_input_registers_request(const Args& a) {
    Ref code = int_object(codec::kReadInputRegisters);
    return call_method(a[0], names()._Master__send_read_xx_registers_request, a[1], a[2], a[3], code.get());
}

}  // namespace qel::master
