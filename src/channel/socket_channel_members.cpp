#include "channel/socket_channel_members.hpp"

#include "channel/socket_object.hpp"
#include "module/interned.hpp"

namespace qel::sockets {

namespace {

const Name kGettimeout{"gettimeout"};
const Name kSettimeout{"settimeout"};
const Name kClose{"close"};

}  // namespace

Ref get_timeout(const Args& a) { return call_method(socket_of(a[0]).get(), kGettimeout.get()); }

Ref set_timeout(const Args& a) {
    auto [self, value] = a.take<2>();
    Ref sock = socket_of(self);
    call_method(sock.get(), kSettimeout.get(), value);
    follow_timeout(sock.get());
    return none();
}

Ref close(const Args& a) {
    Ref sock = socket_of(a[0]);
    sockets::close(a[0], sock.get());
    return none();
}

Ref enter(const Args& a) { return Ref::borrow(a[0]); }

Ref leave(const Args& a) {
    call_method(a[0], kClose.get());
    return none();
}

}  // namespace qel::sockets
