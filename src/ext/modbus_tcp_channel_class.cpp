// ModbusTCPChannel: for now only the connection and its close.
#include "channel/socket_object.hpp"
#include "ext/companion_classes.hpp"

namespace qel {

namespace {

Ref init(const Args& a) {
    auto [self, host, port, timeout] = a.take<4>();
    sockets::connect(self, host, port, timeout);
    return none();
}

Ref close(const Args& a) {
    Ref sock = sockets::socket_of(a[0]);
    sockets::close(a[0], sock.get());
    return none();
}

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("host", Ann::Str), arg("port", Ann::Int).defaults(dflt::integer(502)),
           arg("timeout", Ann::Float).defaults(dflt::real(1.0))),
    method("close", close),
};

}  // namespace

constexpr ClassTable kModbusTcpChannelClass = class_table("ModbusTCPChannel", kRows);

}  // namespace qel
