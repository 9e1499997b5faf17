// ModbusTCPMaster: standard Modbus TCP over a socket of its own, with a coil
// (or discrete input) read and a single-coil write. Requests are text, one
// character per byte, so that `_query` can be handed what the builders make.
#include "channel/mbap_replies.hpp"
#include "channel/socket_object.hpp"
#include "codec/coil_states.hpp"
#include "codec/protocol_errors.hpp"
#include "module/buffer.hpp"
#include "module/built_class.hpp"
#include "module/classes.hpp"
#include "module/state.hpp"
#include "module/interned.hpp"
#include "module/object_lock.hpp"
#include "core/mbap.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace qel {

namespace {

using Bytes = std::vector<std::uint8_t>;

const Name kQuery{"_query"};
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

Bytes bytes_of(PyObject* reply) {
    Buffer b(reply);
    return Bytes(b.data(), b.data() + b.size());
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

using NativeBuilder = mbap::Request (*)(PyObject*, PyObject*, PyObject*);

// Sends the builder's command, asking for the whole reply it expects, and
// returns the reply that answers it, as far as read: through the builder
// and self._query, or, for a plain master, the same work done here. From
// the sending on, `awaiting` marks the answer as this thread's. An
// exception reply, read whole, is raised.
sockets::MbapReplies exchange(PyObject* self, const ObjectLock& lock, std::optional<AwaitingAnswer>& awaiting,
                              const Name& builder_name, NativeBuilder build, PyObject* coil_type, PyObject* address,
                              PyObject* third, Bytes& request, std::size_t (*expected)(const Bytes&)) {
    Bytes first;
    if (PyObject* sock = plain_socket(self)) {
        const mbap::Request r = build(coil_type, address, third);
        request.assign(r.begin(), r.end());
        Ref held = Ref::borrow(sock);
        awaiting.emplace(lock);
        first = query_socket(held.get(), lock, r.data(), r.size(), expected(request));
    } else {
        // From the class itself: a subclass's builder does not change the request.
        Ref builder = getattr(state().modbus_tcp_master, builder_name.get());
        Ref command = call(builder.get(), coil_type, address, third);
        request = request_of(command.get()).value_or(Bytes{});
        const std::size_t wanted = request.size() >= mbap::kRequestSize ? expected(request) : mbap::kReplyHead;
        Ref size = new_int(static_cast<long long>(wanted));
        first = bytes_of(call_method(self, kQuery.get(), command.get(), size.get()).get());
        awaiting.emplace(lock);
    }
    sockets::MbapReplies replies(self, &lock, std::move(first));
    if (request.size() < mbap::kHeaderSize + 1) codec::raise_reply_mismatch();
    const std::uint8_t* head = replies.head_answering(request.data());
    if (head == nullptr) codec::raise_timeout();
    if (mbap::is_exception(head)) {
        Ref unit = new_int(head[mbap::kHeaderSize - 1]);
        codec::raise_slave_exception(unit.get(), head[mbap::kHeaderSize], head[mbap::kHeaderSize + 1]);
    }
    return replies;
}

// The reply read on to `size` bytes; one that stops short is the slave's
// time-out.
void fill(sockets::MbapReplies& reply, std::size_t size) {
    if (!reply.fill(size)) codec::raise_timeout();
}

std::size_t read_reply_size(const Bytes& request) { return mbap::expected_read_reply_size(request.data()); }
std::size_t write_echo_size(const Bytes&) { return mbap::kWriteEchoSize; }

mbap::Request read_coils_request(PyObject* coil_type, PyObject* address, PyObject* count) {
    const std::uint8_t code = read_function(coil_type);
    const std::uint16_t first = low_word(address);
    const std::uint16_t quantity = low_word(count);
    return mbap::read_bits_request(mbap::next_transaction_id(), code, first, quantity);
}

mbap::Request write_coil_request(PyObject* coil_type, PyObject* address, PyObject* value) {
    if (!equals(coil_type, mbap::kReadCoils)) raise_invalid_coil_type(coil_type);
    const std::uint16_t coil = low_word(address);
    const bool on = checked_status(PyObject_IsTrue(value)) != 0;
    return mbap::write_coil_request(mbap::next_transaction_id(), coil, on);
}

// ---- members ----------------------------------------------------------------

Ref init(const Args& a) {
    auto [self, host, port, timeout] = a.take<4>();
    sockets::connect(self, host, port, timeout);
    return none();
}

Ref construct_read_coils_command(const Args& a) {
    auto [coil_type, address, count] = a.take<3>();
    return as_text(read_coils_request(coil_type, address, count));
}

Ref construct_write_coil_command(const Args& a) {
    auto [coil_type, address, value] = a.take<3>();
    return as_text(write_coil_request(coil_type, address, value));
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
    std::optional<AwaitingAnswer> awaiting;
    Bytes request;
    sockets::MbapReplies reply = exchange(self, lock, awaiting, kReadCoilsBuilder, read_coils_request, coil_type, address,
                                      count, request, read_reply_size);
    const std::size_t total = mbap::read_reply_size(reply.data());
    if (total == 0) codec::raise_reply_mismatch();
    fill(reply, total);
    return coil_state_list(reply.data() + mbap::kReplyHead, total - mbap::kReplyHead, count);
}

Ref write_coil(const Args& a) {
    auto [self, coil_type, address, value] = a.take<4>();
    ObjectLock lock(self);
    std::optional<AwaitingAnswer> awaiting;
    Bytes request;
    sockets::MbapReplies reply = exchange(self, lock, awaiting, kWriteCoilBuilder, write_coil_request, coil_type, address,
                                      value, request, write_echo_size);
    if (mbap::adu_size(reply.data()) != mbap::kWriteEchoSize) codec::raise_reply_mismatch();
    fill(reply, mbap::kWriteEchoSize);
    // The echo repeats the request: address and value included.
    if (request.size() != mbap::kWriteEchoSize || !std::equal(request.begin(), request.end(), reply.data()))
        codec::raise_reply_mismatch();
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
