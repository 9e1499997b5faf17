// TCPTunnel: a Channel over a TCP connection, carrying raw RTU frames. It
// holds nothing but its socket, `_socket`; time-out and pending count are
// asked of the socket itself.
#include "channel/socket_calls.hpp"
#include "module/buffer.hpp"
#include "module/classes.hpp"
#include "module/state.hpp"

namespace qel {

namespace {

Ref init(const Args& a) {
    sockets::connect(a[0], a[1], a[2], a[3]);
    return none();
}

// Collects `size` bytes, or what came before the peer closed or the time-out
// ran out: a frame split over segments arrives whole.
Ref read(const Args& a) {
    const Py_ssize_t size = sockets::receive_size(a[1]);
    if (size == 0) return Ref::borrow(state().empty_bytes);
    Ref sock = sockets::socket_of(a[0]);
    return sockets::receive(sock.get(), static_cast<std::size_t>(size), sockets::OnSilence::RaiseTimeout);
}

Ref write(const Args& a) {
    Buffer data(a[1]);
    Ref sock = sockets::socket_of(a[0]);
    sockets::send(sock.get(), data.data(), data.size());
    return new_int(static_cast<long long>(data.size()));
}

Ref get_in_waiting(const Args& a) {
    Ref sock = sockets::socket_of(a[0]);
    return new_int(static_cast<long long>(sockets::pending(sock.get())));
}

Ref get_timeout(const Args& a) { return call_method(sockets::socket_of(a[0]).get(), names().gettimeout); }

// The value arrives converted to a float.
Ref set_timeout(const Args& a) {
    call_method(sockets::socket_of(a[0]).get(), names().settimeout, a[1]);
    return none();
}

Ref close(const Args& a) {
    call_method(sockets::socket_of(a[0]).get(), names().close);
    return none();
}

Ref enter(const Args& a) { return Ref::borrow(a[0]); }

Ref leave(const Args& a) {
    call_method(a[0], names().close);
    return none();
}

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("host", Ann::Str), arg("port", Ann::Int),
           arg("timeout", Ann::Float).defaults(dflt::real(1.0))),
    method("read", read, arg("size", Ann::Int).defaults(dflt::integer(1))),
    method("write", write, arg("data", Ann::BytesLike)).returns(Ann::Int),
    getter("in_waiting", get_in_waiting).returns(Ann::Int),
    getter("timeout", get_timeout).returns(Ann::Float),
    setter("timeout", set_timeout, arg("value", Ann::Float).as_float()),
    method("close", close),
    method("__enter__", enter),
    method("__exit__", leave, arg("exc_type"), arg("exc_val"), arg("exc_tb")),
};

}  // namespace

constexpr ClassTable kTcpTunnelClass = class_table("TCPTunnel", kRows);

}  // namespace qel
