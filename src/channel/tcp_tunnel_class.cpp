// TCPTunnel: a Channel over a TCP connection, carrying raw RTU frames. It
// holds nothing but its socket, `_socket`; time-out and pending count are
// asked of the socket itself. Its operations are serialised with those of
// every master that talks through it.
#include "channel/socket_channel_members.hpp"
#include "channel/socket_object.hpp"
#include "module/buffer.hpp"
#include "module/classes.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

namespace qel {

namespace {


Ref init(const Args& a) {
    auto [self, host, port, timeout] = a.take<4>();
    sockets::connect(self, host, port, timeout);
    return none();
}

// Collects `size` bytes, or what came before the peer closed or the time-out
// ran out: a frame split over segments arrives whole. A peer that closed
// before anything came raises ConnectionResetError.
Ref read(const Args& a) {
    auto [self, size] = a.take<2>();
    const Py_ssize_t wanted = sockets::receive_size(size);
    if (wanted == 0) return Ref::borrow(state().empty_bytes);
    ObjectLock lock(self);
    Ref sock = sockets::socket_of(self);
    const auto n = static_cast<std::size_t>(wanted);
    return sockets::receive(sock.get(), &lock, n, n, sockets::OnSilence::RaiseTimeout);
}

// Sends every byte.
Ref write(const Args& a) {
    auto [self, data] = a.take<2>();
    Buffer bytes(data);
    ObjectLock lock(self);
    Ref sock = sockets::socket_of(self);
    sockets::Connection(sock.get(), &lock).send(bytes.data(), bytes.size());
    return new_int(static_cast<long long>(bytes.size()));
}

Ref get_in_waiting(const Args& a) {
    ObjectLock lock(a[0]);
    Ref sock = sockets::socket_of(a[0]);
    return new_int(static_cast<long long>(sockets::Connection(sock.get(), &lock).pending()));
}

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("host", Ann::Str), arg("port", Ann::Int),
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

constexpr ClassTable kTcpTunnelClass = class_table("TCPTunnel", kRows);

}  // namespace qel
