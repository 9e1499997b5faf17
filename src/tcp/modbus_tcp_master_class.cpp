// ModbusTCPMaster: standard Modbus TCP over a socket of its own, with a coil
// (or discrete input) read and a single-coil write. Requests are text, one
// character per byte, so that `_query` can be handed what the builders make.
#include "channel/socket_calls.hpp"
#include "codec/coil_states.hpp"
#include "module/buffer.hpp"
#include "module/classes.hpp"
#include "module/state.hpp"
#include "tcp/mbap.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace qel {

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- arguments --------------------------------------------------------------

bool equals(PyObject* value, long long code) {
    Ref c = new_int(code);
    return checked_status(PyObject_RichCompareBool(value, c.get(), Py_EQ)) != 0;
}

[[noreturn]] void raise_invalid_coil_type(PyObject* coil_type) {
    // Formatted first, so that a failing repr is the error that shows.
    Ref message = checked(PyUnicode_FromFormat("modbus tcp: invalid coil type %R", coil_type));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PythonError{};
}

// The function code of the table `coil_type` names: 1 coils, 2 discrete inputs.
std::uint8_t read_function(PyObject* coil_type) {
    if (equals(coil_type, mbap::kReadCoils)) return mbap::kReadCoils;
    if (equals(coil_type, mbap::kReadDiscreteInputs)) return mbap::kReadDiscreteInputs;
    raise_invalid_coil_type(coil_type);
}

// `value & 0xFFFF`, with Python's results and errors for anything but an int.
std::uint16_t low_word(PyObject* value) {
    if (PyLong_CheckExact(value) || PyBool_Check(value))
        return static_cast<std::uint16_t>(PyLong_AsUnsignedLongLongMask(value) & 0xFFFF);
    Ref mask = new_int(0xFFFF);
    Ref low = checked(PyNumber_And(value, mask.get()));
    Ref index = checked(PyNumber_Index(low.get()));
    return static_cast<std::uint16_t>(PyLong_AsUnsignedLongLongMask(index.get()) & 0xFFFF);
}

Ref as_text(const mbap::Request& r) {
    return checked(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(r.data()),
                                          static_cast<Py_ssize_t>(r.size()), nullptr));
}

// One byte per character; a character above 255 cannot travel.
Ref command_bytes(PyObject* command) {
    if (!PyUnicode_Check(command)) {
        PyErr_Format(PyExc_TypeError, "Argument 'command' has incorrect type (expected str, got %.200s)",
                     Py_TYPE(command)->tp_name);
        throw PythonError{};
    }
    return checked(PyUnicode_AsLatin1String(command));
}

// The request bytes behind a command, when it is text that can be sent.
std::optional<Bytes> request_of(PyObject* command) {
    if (!PyUnicode_Check(command)) return std::nullopt;
    PyObject* encoded = PyUnicode_AsLatin1String(command);
    if (encoded == nullptr) {
        PyErr_Clear();  // _query raises it for real
        return std::nullopt;
    }
    Ref owner = Ref::steal(encoded);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(encoded));
    return Bytes(data, data + PyBytes_GET_SIZE(encoded));
}

// ---- replies ----------------------------------------------------------------

[[noreturn]] void raise_short_reply() { raise(PyExc_OSError, "modbus: read from slave timeout"); }

[[noreturn]] void raise_mismatch() { raise(PyExc_ValueError, "modbus tcp: reply does not match the request"); }

[[noreturn]] void raise_slave_exception(const std::uint8_t* reply) {
    Ref unit = new_int(reply[mbap::kHeaderSize - 1]);
    Ref code = new_int(reply[mbap::kHeaderSize]);
    Ref error = new_int(reply[mbap::kHeaderSize + 1]);
    Ref exc = call(state().slave_exception, unit.get(), code.get(), error.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PythonError{};
}

Bytes bytes_of(PyObject* reply) {
    Buffer b(reply);
    return Bytes(b.data(), b.data() + b.size());
}

// The reply head must be whole and answer the request; an exception reply
// ends here.
void check_head(const Bytes& reply, const std::optional<Bytes>& request) {
    if (reply.size() < mbap::kReplyHead) raise_short_reply();
    if (!request || request->size() < mbap::kHeaderSize + 1 || !mbap::answers(request->data(), reply.data()))
        raise_mismatch();
    if (mbap::is_exception(reply.data())) raise_slave_exception(reply.data());
}

// Reads what is missing of a reply of `total` bytes straight from the socket.
void complete(PyObject* self, Bytes& reply, std::size_t total) {
    if (reply.size() >= total) return;
    Ref sock = sockets::socket_of(self);
    Ref rest = sockets::receive(sock.get(), total - reply.size(), sockets::OnSilence::ReturnEmpty);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(rest.get()));
    reply.insert(reply.end(), data, data + PyBytes_GET_SIZE(rest.get()));
    if (reply.size() < total) raise_short_reply();
}

// Sends the builder's command through self._query and reads the reply head.
Bytes exchange(PyObject* self, PyObject* builder_name, PyObject* coil_type, PyObject* address, PyObject* third,
               std::optional<Bytes>& request) {
    Ref builder = getattr(state().modbus_tcp_master, builder_name);
    Ref command = call(builder.get(), coil_type, address, third);
    request = request_of(command.get());
    Ref head_size = new_int(static_cast<long long>(mbap::kReplyHead));
    Ref reply = call_method(self, names()._query, command.get(), head_size.get());
    Bytes head = bytes_of(reply.get());
    check_head(head, request);
    return head;
}

// ---- members ----------------------------------------------------------------

Ref init(const Args& a) {
    sockets::connect(a[0], a[1], a[2], a[3]);
    return none();
}

Ref construct_read_coils_command(const Args& a) {
    const std::uint8_t code = read_function(a[0]);
    const std::uint16_t address = low_word(a[1]);
    const std::uint16_t count = low_word(a[2]);
    return as_text(mbap::read_bits_request(mbap::next_transaction_id(), code, address, count));
}

Ref construct_write_coil_command(const Args& a) {
    if (!equals(a[0], mbap::kReadCoils)) raise_invalid_coil_type(a[0]);
    const std::uint16_t address = low_word(a[1]);
    const bool on = checked_status(PyObject_IsTrue(a[2])) != 0;
    return as_text(mbap::write_coil_request(mbap::next_transaction_id(), address, on));
}

Ref query(const Args& a) {
    Ref payload = command_bytes(a[1]);
    const Py_ssize_t needed = sockets::receive_size(a[2]);
    Ref sock = sockets::socket_of(a[0]);
    sockets::send(sock.get(), reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload.get())),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get())));
    if (needed == 0) return Ref::borrow(state().empty_bytes);
    return sockets::receive(sock.get(), static_cast<std::size_t>(needed), sockets::OnSilence::RaiseTimeout);
}

Ref read_coils(const Args& a) {
    std::optional<Bytes> request;
    Bytes reply = exchange(a[0], names().construct_read_coils_command, a[1], a[2], a[3], request);
    const std::size_t total = mbap::read_reply_size(reply.data());
    if (total == 0) raise_mismatch();
    complete(a[0], reply, total);
    return coil_state_list(reply.data() + mbap::kReplyHead, total - mbap::kReplyHead, a[3]);
}

Ref write_coil(const Args& a) {
    std::optional<Bytes> request;
    Bytes reply = exchange(a[0], names().construct_write_coil_command, a[1], a[2], a[3], request);
    if (mbap::parse_header(reply.data()).length != mbap::kWriteEchoSize - 6) raise_mismatch();
    complete(a[0], reply, mbap::kWriteEchoSize);
    // The echo repeats the request: address and value included.
    if (request->size() != mbap::kWriteEchoSize ||
        !std::equal(request->begin(), request->end(), reply.begin()))
        raise_mismatch();
    return none();
}

constexpr Param kAddress = arg("address", Ann::Int);

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("host", Ann::Str), arg("port", Ann::Int),
           arg("timeout", Ann::Float).defaults(dflt::real(1.0))),
    static_method("construct_read_coils_command", construct_read_coils_command, arg("coil_type"), kAddress,
                  arg("count", Ann::Int))
        .returns(Ann::Str),
    method("_query", query, arg("command", Ann::Str), arg("needed_length", Ann::Int)),
    method("read_coils", read_coils, arg("coil_type"), kAddress, arg("count", Ann::Int)),
    static_method("construct_write_coil_command", construct_write_coil_command, arg("coil_type"), kAddress,
                  arg("value", Ann::Bool))
        .returns(Ann::Str),
    method("write_coil", write_coil, arg("coil_type"), kAddress, arg("value", Ann::Bool)),
};

}  // namespace

constexpr ClassTable kModbusTcpMasterClass = class_table("ModbusTCPMaster", kRows);

}  // namespace qel
