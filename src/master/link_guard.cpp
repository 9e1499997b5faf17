#include "master/attribute_names.hpp"
#include "master/link_guard.hpp"

#include "module/socket_name.hpp"

#include "module/built_class.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {


BuiltClass g_master{&ModuleState::master, &ModuleState::master_members};
BuiltClass g_tunnel{&ModuleState::tcp_tunnel, &ModuleState::tunnel_members};
BuiltClass g_mbap_channel{&ModuleState::modbus_tcp_channel, &ModuleState::modbus_tcp_channel_members};

const Name kUnread{"_unread"};
const Name kAduLastSent{"AduLastSent"};
const Name kAduLastReceived{"AduLastReceived"};

// The channel, when the master's dict holds exactly its three attributes.
// The keys are almost always the very name objects the master stored them
// under, which a walk over the three entries sees at once; any other key
// object is looked at by value.
PyObject* channel_of_plain(PyObject* dict) {
    if (PyDict_Size(dict) != 3) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value, *channel = nullptr;
    int known = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key == attr::tunnel.get()) {
            channel = value;
            ++known;
        } else if (key == attr::last_sent.get() || key == attr::last_received.get()) {
            ++known;
        }
    }
    if (known == 3) return channel;
    channel = lookup(dict, attr::tunnel);
    if (channel == nullptr || lookup(dict, attr::last_sent) == nullptr || lookup(dict, attr::last_received) == nullptr)
        return nullptr;
    return channel;
}

// A ModbusTCPChannel's socket, when its dict holds nothing but its four
// attributes, so that it shadows none of its members.
PyObject* socket_of_plain_mbap(PyObject* dict) {
    if (PyDict_Size(dict) != 4 || lookup(dict, kUnread) == nullptr || lookup(dict, kAduLastSent) == nullptr ||
        lookup(dict, kAduLastReceived) == nullptr)
        return nullptr;
    return lookup(dict, sockets::kSocket);
}

// The link over the channel's own socket, when the channel is an exact
// TCPTunnel or ModbusTCPChannel as built.
void take_socket_link(LinkChoice& choice, PyObject* channel) {
    const ModuleState& s = state();
    if (Ref dict = dict_of_exact(channel, s.tcp_tunnel)) {
        if (!g_tunnel.unchanged()) return;
        PyObject* sock = sole_entry(dict.get(), sockets::kSocket);
        if (sock == nullptr) return;
        choice.kind = LinkKind::Tunnel;
        choice.socket = Ref::borrow(sock);
        choice.channel_dict = std::move(dict);
        return;
    }
    if (s.modbus_tcp_channel == nullptr) return;
    if (Ref dict = dict_of_exact(channel, s.modbus_tcp_channel)) {
        if (!g_mbap_channel.unchanged()) return;
        PyObject* sock = socket_of_plain_mbap(dict.get());
        if (sock == nullptr) return;
        choice.kind = LinkKind::ModbusTcp;
        choice.socket = Ref::borrow(sock);
        choice.channel_dict = std::move(dict);
    }
}

}  // namespace

LinkChoice pick_link(PyObject* self) {
    LinkChoice choice;
    const ModuleState& s = state();
    Ref dict = dict_of_exact(self, s.master);
    if (!dict || !g_master.unchanged()) return choice;
    PyObject* channel = channel_of_plain(dict.get());
    if (channel == nullptr) return choice;
    choice.kind = LinkKind::Channel;
    choice.channel = Ref::borrow(channel);
    choice.master_dict = std::move(dict);
    // in_waiting and timeout are properties, which no instance attribute can
    // shadow; read and write are not, so the channel's dict must hold
    // nothing but its own attributes.
    take_socket_link(choice, channel);
    return choice;
}

}  // namespace qel::master
