// Master's transaction engine: construction and life cycle, the single write
// path, the two-step answer read and the checks every operation shares.
#include "codec/byte_array.hpp"
#include "codec/crc_arguments.hpp"
#include "codec/crc16.hpp"
#include "codec/frames.hpp"
#include "master/master_bodies.hpp"
#include "module/buffer.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

Ref tunnel_of(PyObject* self) { return getattr(self, names()._Master__tunnel); }

// `text % args`, as the interpreter formats it.
[[noreturn]] void raise_formatted(PyObject* type, const char* text, PyObject* args) {
    Ref format = checked(PyUnicode_FromString(text));
    Ref message = checked(PyUnicode_Format(format.get(), args));
    PyErr_SetObject(type, message.get());
    throw PythonError{};
}

void append(std::vector<std::uint8_t>& answer, PyObject* chunk) {
    std::vector<std::uint8_t> more = answer_bytes(chunk);
    answer.insert(answer.end(), more.begin(), more.end());
}

}  // namespace

[[noreturn]] void raise_slave_exception(PyObject* station, std::uint8_t code, std::uint8_t error) {
    Ref fc = new_int(code), ec = new_int(error);
    Ref exc = call(state().slave_exception, station, fc.get(), ec.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PythonError{};
}

[[noreturn]] void raise_timeout() { raise(PyExc_OSError, "modbus: read from slave timeout"); }

[[noreturn]] void raise_crc_error(PyObject* station) {
    raise_formatted(PyExc_ValueError, "modbus: message from slave with station %s has crc error", station);
}

std::vector<std::uint8_t> answer_bytes(PyObject* answer) {
    if (PyObject_CheckBuffer(answer)) {
        Buffer b(answer);
        return {b.data(), b.data() + b.size()};
    }
    Ref array = new_byte_array(answer);
    Buffer b(array.get());
    return {b.data(), b.data() + b.size()};
}

void send_frame(PyObject* self, const std::uint8_t* data, std::size_t size) {
    Ref frame = new_byte_array(data, size);
    call_method(self, names()._Master__write_message, frame.get());
}

std::vector<std::uint8_t> read_counted_answer(PyObject* self, PyObject* station) {
    const Names& n = names();
    Ref five = new_int(codec::kAnswerHead);
    Ref head = call_method(self, n._Master__feedback_assistant, station, five.get());
    std::vector<std::uint8_t> answer = answer_bytes(head.get());
    if (answer.size() < 3) raise(PyExc_IndexError, "array index out of range");
    const std::size_t byte_count = answer[2];
    Ref count = new_int(static_cast<long long>(byte_count));
    append(answer, call_method(self, n._Master__read, count.get()).get());
    if (answer.size() < codec::kAnswerHead + byte_count) raise_timeout();
    if (!codec::crc_is_right(answer.data(), answer.size())) raise_crc_error(station);
    return answer;
}

Ref init(const Args& a) {
    const Names& n = names();
    setattr(a[1], n.timeout, a[2]);
    setattr(a[0], n._Master__tunnel, a[1]);
    setattr(a[0], n.MessageLastSent, state().empty_bytes);
    setattr(a[0], n.MessageLastReceived, state().empty_bytes);
    return none();
}

Ref close(const Args& a) {
    call_method(tunnel_of(a[0]).get(), names().close);
    return none();
}

Ref enter(const Args& a) { return Ref::borrow(a[0]); }

Ref leave(const Args& a) {
    call_method(a[0], names().close);
    return none();
}

Ref get_timeout(const Args& a) { return getattr(tunnel_of(a[0]).get(), names().timeout); }

// The value arrives converted to a float.
Ref set_timeout(const Args& a) {
    setattr(tunnel_of(a[0]).get(), names().timeout, a[1]);
    return none();
}

// Discards stale input, writes the frame and records it.
Ref write_message(const Args& a) {
    const Names& n = names();
    Ref tunnel = tunnel_of(a[0]);
    Ref waiting = getattr(tunnel.get(), n.in_waiting);
    Ref zero = new_int(0);
    if (checked_status(PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT))) {
        waiting = getattr(tunnel.get(), n.in_waiting);
        call_method(tunnel.get(), n.read, waiting.get());
    }
    call_method(tunnel.get(), n.write, a[1]);
    Ref sent = checked(PyBytes_FromObject(a[1]));
    setattr(a[0], n.MessageLastSent, sent.get());
    setattr(a[0], n.MessageLastReceived, state().empty_bytes);
    return none();
}

// One channel read, recorded in MessageLastReceived.
Ref read(const Args& a) {
    const Names& n = names();
    Ref data = call_method(tunnel_of(a[0]).get(), n.read, a[1]);
    Ref received = getattr(a[0], n.MessageLastReceived);
    Ref grown = checked(PyNumber_Add(received.get(), data.get()));
    setattr(a[0], n.MessageLastReceived, grown.get());
    return data;
}

// Reads an answer in exactly two channel reads: the 5-byte head, which
// already tells an exception answer, then the rest of the expected length.
Ref feedback_assistant(const Args& a) {
    PyObject *self = a[0], *station = a[1], *expected = a[2], *check = a[3];
    const Names& n = names();
    Ref five = new_int(codec::kAnswerHead);
    std::vector<std::uint8_t> answer = answer_bytes(call_method(self, n._Master__read, five.get()).get());
    if (answer.size() != codec::kAnswerHead) raise_timeout();
    if (answer[1] >= codec::kExceptionFlag) raise_slave_exception(station, answer[1], answer[2]);
    Ref rest = checked(PyNumber_Subtract(expected, five.get()));
    append(answer, call_method(self, n._Master__read, rest.get()).get());
    Py_ssize_t total = PyNumber_AsSsize_t(expected, PyExc_OverflowError);
    if (total == -1 && PyErr_Occurred()) throw PythonError{};
    if (answer.size() != static_cast<std::size_t>(total)) raise_timeout();
    Ref frame = new_byte_array(answer.data(), answer.size());
    if (checked_status(PyObject_IsTrue(check))) {
        Ref checker = getattr(state().master, n._Master__check_crc);
        call(checker.get(), frame.get(), station);
    }
    return frame;
}

Ref check_crc(const Args& a) {
    Ref right = crc_check(a[0]);
    if (checked_status(PyObject_IsTrue(right.get()))) return none();
    raise_crc_error(a[1]);
}

}  // namespace qel::master
