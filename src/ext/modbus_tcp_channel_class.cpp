// ModbusTCPChannel: a Channel that carries the RTU frames a master writes to
// it as Modbus TCP, for devices and gateways that speak Modbus TCP. A frame
// written goes out as an ADU (the station becomes the unit id, the CRC is
// dropped, a transaction id is added); a read hands back the reply to it as
// the RTU frame it stands for, with a right CRC, skipping replies to other
// transactions. Besides its socket it keeps its last ADUs and what of the
// last reply was not read yet. Its operations are serialised with those of
// every master that talks through it.
#include "channel/rtu_over_mbap.hpp"
#include "channel/socket_channel_members.hpp"
#include "channel/socket_object.hpp"
#include "module/buffer.hpp"
#include "ext/companion_classes.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

#include <algorithm>

namespace qel {

namespace {

using Bytes = std::vector<std::uint8_t>;

const Name kAduLastSent{"AduLastSent"};
const Name kAduLastReceived{"AduLastReceived"};
const Name kUnread{"_unread"};

Ref bytes_object(const std::uint8_t* data, std::size_t size) {
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

Bytes bytes_attribute(PyObject* self, const Name& name) {
    Ref value = getattr(self, name.get());
    Buffer b(value.get());
    return Bytes(b.data(), b.data() + b.size());
}

void store(PyObject* self, const Name& name, const Bytes& value) {
    setattr(self, name.get(), bytes_object(value.data(), value.size()).get());
}

Ref init(const Args& a) {
    auto [self, host, port, timeout] = a.take<4>();
    sockets::connect(self, host, port, timeout);
    for (const Name* name : {&kAduLastSent, &kAduLastReceived, &kUnread}) setattr(self, name->get(), state().empty_bytes);
    return none();
}

// Sends an RTU frame as Modbus TCP, stale input thrown away first; returns
// the length of the frame.
Ref write(const Args& a) {
    auto [self, data] = a.take<2>();
    Buffer frame(data);
    ObjectLock lock(self);
    Ref sock = sockets::socket_of(self);
    sockets::Connection connection(sock.get(), &lock);
    const Bytes adu = sockets::send_as_adu(connection, frame.data(), frame.size());
    store(self, kAduLastSent, adu);
    setattr(self, kAduLastReceived.get(), state().empty_bytes);
    setattr(self, kUnread.get(), state().empty_bytes);
    return new_int(static_cast<long long>(frame.size()));
}

// Up to `size` bytes of the reply to the last frame written, as RTU. The
// first read after a write waits for the reply, within the time-out, and
// keeps what it does not hand back for the next reads; on silence it
// returns what came, nothing, as a serial port does.
Ref read(const Args& a) {
    auto [self, size] = a.take<2>();
    const auto wanted = static_cast<std::size_t>(sockets::receive_size(size));
    if (wanted == 0) return Ref::borrow(state().empty_bytes);
    ObjectLock lock(self);
    Bytes unread = bytes_attribute(self, kUnread);
    if (unread.empty()) {
        Ref sock = sockets::socket_of(self);
        sockets::Connection connection(sock.get(), &lock);
        Bytes adu;
        unread = sockets::receive_as_rtu(connection, bytes_attribute(self, kAduLastSent), adu,
                                         sockets::FirstStep::Take);
        store(self, kAduLastReceived, adu);
    }
    const std::size_t taken = std::min(wanted, unread.size());
    Ref answer = bytes_object(unread.data(), taken);
    store(self, kUnread, Bytes(unread.begin() + static_cast<std::ptrdiff_t>(taken), unread.end()));
    return answer;
}

// What a read hands back without waiting: the rest of the last reply. Raw
// input on the socket is not counted: it is no frame yet, and what is there
// before a request is stale and thrown away by the write.
Ref get_in_waiting(const Args& a) {
    ObjectLock lock(a[0]);
    return new_int(static_cast<long long>(bytes_attribute(a[0], kUnread).size()));
}

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("host", Ann::Str), arg("port", Ann::Int).defaults(dflt::integer(502)),
           arg("timeout", Ann::Float).defaults(dflt::real(1.0))),
    method("read", read, arg("size", Ann::Int).defaults(dflt::integer(1))),
    method("write", write, arg("data", Ann::BytesLike)).returns(Ann::Int),
    getter("in_waiting", get_in_waiting).returns(Ann::Int),
    getter("timeout", sockets::get_timeout).returns(Ann::Float),
    setter("timeout", sockets::set_timeout, arg("value", Ann::Float).as_float()),
    method("close", sockets::close),
    method("__enter__", sockets::enter),
    method("__exit__", sockets::leave, arg("exc_type"), arg("exc_val"), arg("exc_tb")),
};

}  // namespace

constexpr ClassTable kModbusTcpChannelClass = class_table("ModbusTCPChannel", kRows);

}  // namespace qel
