#include "codec/protocol_errors.hpp"

#include "module/state.hpp"

namespace qel::codec {

namespace {

// `text % args`, as the interpreter formats it.
[[noreturn]] void raise_formatted(PyObject* type, const char* text, PyObject* args) {
    Ref format = checked(PyUnicode_FromString(text));
    Ref message = checked(PyUnicode_Format(format.get(), args));
    PyErr_SetObject(type, message.get());
    throw PythonError{};
}

[[noreturn]] void raise_odd_byte_count(PyObject* station, std::uint8_t byte_count) {
    Ref count = new_int(byte_count);
    Ref args = checked(PyTuple_Pack(2, station, count.get()));
    raise_formatted(PyExc_ValueError, "modbus: message from slave with station %s has odd byte count %d",
                    args.get());
}

}  // namespace

void raise_slave_exception(PyObject* station, std::uint8_t function_code, std::uint8_t error_code) {
    Ref fc = new_int(function_code), ec = new_int(error_code);
    PyObject* stack[] = {station, fc.get(), ec.get()};
    Ref exc = checked(PyObject_Vectorcall(state().slave_exception, stack, 3, nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PythonError{};
}

void raise_timeout() { raise(PyExc_OSError, "modbus: read from slave timeout"); }

void raise_crc_error(PyObject* station) {
    raise_formatted(PyExc_ValueError, "modbus: message from slave with station %s has crc error", station);
}

void raise_reply_mismatch() { raise(PyExc_ValueError, "modbus tcp: reply does not match the request"); }

void raise_fault(AnswerFault fault, PyObject* station, const std::uint8_t* frame) {
    switch (fault) {
        case AnswerFault::Short: raise_timeout();
        case AnswerFault::SlaveException: raise_slave_exception(station, frame[1], frame[2]);
        case AnswerFault::CrcMismatch: raise_crc_error(station);
        case AnswerFault::OddByteCount: raise_odd_byte_count(station, frame[2]);
        case AnswerFault::OtherRequest:
        case AnswerFault::Mismatch: raise_reply_mismatch();
        case AnswerFault::None: break;
    }
    raise(PyExc_SystemError, "no fault to raise");
}

}  // namespace qel::codec
