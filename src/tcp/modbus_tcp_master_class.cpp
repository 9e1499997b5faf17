// ModbusTCPMaster: standard Modbus TCP over a socket of its own, with a coil
// (or discrete input) read and a single-coil write. Requests are text, one
// character per byte, so that `_query` can be handed what the builders make.
#include "channel/socket_object.hpp"
#include "codec/coil_states.hpp"
#include "codec/protocol_errors.hpp"
#include "module/buffer.hpp"
#include "module/built_class.hpp"
#include "module/classes.hpp"
#include "module/state.hpp"
#include "module/interned.hpp"
#include "module/object_lock.hpp"
#include "core/frames.hpp"
#include "core/mbap.hpp"
#include "master/link.hpp"
#include "tcp/modbus_tcp_transaction.hpp"
#include "tcp/query_link.hpp"

#include <vector>

namespace qel {

namespace {

using Bytes = std::vector<std::uint8_t>;

const Name kReadCoilsBuilder{"construct_read_coils_command"};
const Name kWriteCoilBuilder{"construct_write_coil_command"};

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

// One byte per character; a character above 255 cannot travel.
Ref command_bytes(PyObject* command) {
    if (!PyUnicode_Check(command)) {
        PyErr_Format(PyExc_TypeError, "Argument 'command' has incorrect type (expected str, got %.200s)",
                     Py_TYPE(command)->tp_name);
        throw PythonError{};
    }
    return checked(PyUnicode_AsLatin1String(command));
}

// ---- the exchange ---------------------------------------------------------------


BuiltClass g_built{&ModuleState::modbus_tcp_master, &ModuleState::modbus_tcp_master_members};

// The socket of an exact ModbusTCPMaster that nothing replaced, on the class
// or the instance: then the builders and `_query` are this file's own, and
// the exchange runs here without the calls through Python between them.
PyObject* plain_socket(PyObject* self) {
    Ref dict = dict_of_exact(self, state().modbus_tcp_master);
    if (!dict || !g_built.unchanged()) return nullptr;
    return sole_entry(dict.get(), sockets::kSocket);
}

// `_query`'s work: stale input thrown away, the request sent, then one
// receive of what has come, up to `needed` bytes.
Bytes query_socket(PyObject* sock, const ObjectLock& lock, const std::uint8_t* request, std::size_t size,
                   std::size_t needed) {
    sockets::Connection connection(sock, &lock);
    connection.discard_pending();
    connection.send(request, size);
    Bytes reply(needed);
    if (needed == 0) return reply;
    // The request has only just gone out: wait at once.
    reply.resize(connection.receive(reply.data(), 1, needed, sockets::OnSilence::RaiseTimeout,
                                    sockets::FirstStep::Wait));
    return reply;
}

// The frames of the two requests, unit id 1: the engine sends them as
// ADUs, and the builders' commands are those ADUs as text.
codec::Frame read_coils_frame(PyObject* coil_type, PyObject* address, PyObject* count) {
    const std::uint8_t code = read_function(coil_type);
    const std::uint16_t first = low_word(address);
    const std::uint16_t quantity = low_word(count);
    return codec::read_request(mbap::kUnitId, code, first, quantity);
}

codec::Frame write_coil_frame(PyObject* coil_type, PyObject* address, PyObject* value) {
    if (!equals(coil_type, mbap::kReadCoils)) raise_invalid_coil_type(coil_type);
    const std::uint16_t coil = low_word(address);
    const bool on = checked_status(PyObject_IsTrue(value)) != 0;
    return codec::write_coil_request(mbap::kUnitId, coil, on);
}

Ref as_command(const codec::Frame& frame) {
    std::uint8_t adu[mbap::kLongestAdu];
    const std::size_t size = mbap::adu_from_rtu(mbap::next_transaction_id(), frame.data(), frame.size(), adu);
    return checked(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(adu), static_cast<Py_ssize_t>(size), nullptr));
}

// How long the whole reply to a command is: `_query` is asked for it.
std::size_t read_reply_size(const Bytes& request) { return mbap::expected_read_reply_size(request.data()); }
std::size_t write_echo_size(const Bytes&) { return mbap::kWriteEchoSize; }
std::size_t any_reply_size(const Bytes&) { return mbap::kLongestAdu; }

struct Operation {
    const Name& builder;
    codec::Frame (*frame)(PyObject*, PyObject*, PyObject*);
    std::size_t (*reply_size)(const Bytes&);
    master::AnswerShape shape;
};

const Operation kReadCoils{kReadCoilsBuilder, read_coils_frame, read_reply_size, master::AnswerShape::counted()};
const Operation kWriteCoil{kWriteCoilBuilder, write_coil_frame, write_echo_size, master::AnswerShape::echo()};

// One operation: the engine's transaction over the master's link. A master
// that nothing replaced sends the frame natively; any other has the class's
// builder make the command (a subclass's builder does not change the
// request) and sends that through self._query, asking for the whole reply.
master::Bytes transact(tcp::QueryLink& link, const ObjectLock& lock, bool plain, const Operation& op,
                       PyObject* coil_type, PyObject* address, PyObject* third) {
    link.expect(op.reply_size);
    if (plain) {
        const codec::Frame frame = op.frame(coil_type, address, third);
        Ref unit = new_int(mbap::kUnitId);
        return master::run_transaction(link, frame, unit.get(), op.shape, lock);
    }
    Ref builder = getattr(state().modbus_tcp_master, op.builder.get());
    Ref command = call(builder.get(), coil_type, address, third);
    link.query_with(command.get());
    Ref unit = new_int(link.unit());
    const codec::Frame unsent(mbap::kUnitId, 0);  // the command carries the request
    return master::run_transaction(link, unsent, unit.get(), op.shape, lock);
}

// ---- members ----------------------------------------------------------------

Ref init(const Args& a) {
    auto [self, host, port, timeout] = a.take<4>();
    sockets::connect(self, host, port, timeout);
    return none();
}

Ref construct_read_coils_command(const Args& a) {
    auto [coil_type, address, count] = a.take<3>();
    return as_command(read_coils_frame(coil_type, address, count));
}

Ref construct_write_coil_command(const Args& a) {
    auto [coil_type, address, value] = a.take<3>();
    return as_command(write_coil_frame(coil_type, address, value));
}

// Stale input (what is left of an earlier reply) is thrown away first; then
// the command goes out and one receive takes what has come, up to
// `needed_length` bytes. A peer that closed raises ConnectionResetError.
Ref query(const Args& a) {
    auto [self, command, needed_length] = a.take<3>();
    Ref payload = command_bytes(command);
    const Py_ssize_t needed = sockets::receive_size(needed_length);
    ObjectLock lock(self);
    Ref sock = sockets::socket_of(self);
    const AwaitingAnswer awaiting(lock);
    const Bytes reply = query_socket(sock.get(), lock, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload.get())),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get())),
                                     static_cast<std::size_t>(needed));
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(reply.data()),
                                             static_cast<Py_ssize_t>(reply.size())));
}

Ref read_coils(const Args& a) {
    auto [self, coil_type, address, count] = a.take<4>();
    ObjectLock lock(self);
    PyObject* sock = plain_socket(self);
    tcp::QueryLink link(self, lock, sock);
    const master::Bytes answer = transact(link, lock, sock != nullptr, kReadCoils, coil_type, address, count);
    return coil_state_list(answer.data() + 3, answer[2], count);
}

Ref write_coil(const Args& a) {
    auto [self, coil_type, address, value] = a.take<4>();
    ObjectLock lock(self);
    PyObject* sock = plain_socket(self);
    tcp::QueryLink link(self, lock, sock);
    transact(link, lock, sock != nullptr, kWriteCoil, coil_type, address, value);
    // The echo repeats the request: address and value included.
    if (link.reply() != link.request()) codec::raise_reply_mismatch();
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

namespace tcp {

master::Bytes transact_frame(PyObject* self, const codec::Frame& frame, PyObject* station, master::AnswerShape shape) {
    ObjectLock lock(self);
    PyObject* sock = plain_socket(self);
    QueryLink link(self, lock, sock);
    link.expect(any_reply_size);
    if (sock != nullptr) return master::run_transaction(link, frame, station, shape, lock);
    // A replaced member: the same request, as a command, through self._query.
    Ref command = as_command(frame);
    link.query_with(command.get());
    const codec::Frame unsent(frame.data()[0], 0);  // the command carries the request
    return master::run_transaction(link, unsent, station, shape, lock);
}

}  // namespace tcp

constexpr ClassTable kModbusTcpMasterClass = class_table("ModbusTCPMaster", kRows);

}  // namespace qel
