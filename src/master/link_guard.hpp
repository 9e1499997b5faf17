// The one guard that decides which link a transaction may run over.
//
// Everything the engine reaches through the instance or a class must be as
// the module built it: every member of Master's class (the senders,
// __write_message, __read, __feedback_assistant, __check_crc, and any
// attribute-access hook, which a plain class does not have), and an instance
// dict that holds nothing but its three attributes, so that it shadows none
// of them. Then ChannelLink may run; when the channel is moreover an exact
// TCPTunnel whose class and instance are likewise as built, TunnelLink; an
// exact ModbusTCPChannel likewise, MbapLink.
//
// The class check is cached against the type's version tag, which the
// interpreter renews on any assignment to the class; the instance check
// looks at the dict's size and the three names, whatever the number of
// members.
#pragma once

#include "module/ref.hpp"

namespace qel::master {

enum class LinkKind { Instance, Channel, Tunnel, ModbusTcp };

struct LinkChoice {
    LinkKind kind = LinkKind::Instance;
    // Held, not borrowed: another thread may replace a master's channel or
    // a tunnel's socket while the transaction waits.
    Ref master_dict;  // plain links: the master's instance dict
    Ref channel;      // plain links: the master's channel
    Ref socket;        // Tunnel, ModbusTcp: the channel's `_socket`
    Ref channel_dict;  // Tunnel, ModbusTcp: the channel's instance dict
};

LinkChoice pick_link(PyObject* self);

}  // namespace qel::master
