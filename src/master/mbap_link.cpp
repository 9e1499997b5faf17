// A plain master over a plain ModbusTCPChannel: the channel's writes and
// reads done natively on its socket, the records kept straight in the
// master's and the channel's dicts.
#include "channel/rtu_over_mbap.hpp"
#include "codec/protocol_errors.hpp"
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "module/state.hpp"


namespace qel::master {

namespace {

const Name kUnread{"_unread"};
const Name kAduLastSent{"AduLastSent"};
const Name kAduLastReceived{"AduLastReceived"};

}  // namespace

MbapLink::MbapLink(const LinkChoice& choice, const ObjectLock* lock)
    : master_dict_(choice.master_dict.get()),
      channel_dict_(choice.channel_dict.get()),
      lock_(lock),
      connection_(choice.socket.get(), lock) {}

// As the members leave them: MessageLastReceived holds what the engine
// read, also when the transaction failed; the channel holds the reply's
// ADU, and nothing unread, since what the engine did not read is stale.
MbapLink::~MbapLink() {
    if (!sent_) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    const bool failing = PyErr_Occurred() != nullptr;
    if (failing) PyErr_Fetch(&type, &value, &traceback);
    if (record(master_dict_, attr::last_received, reply_frame_.data(), reply_frame_.taken()) < 0 ||
        record(channel_dict_, kAduLastReceived, reply_.data(), reply_.size()) < 0 ||
        PyDict_SetItem(channel_dict_, kUnread.get(), state().empty_bytes) < 0)
        PyErr_Clear();
    if (failing) PyErr_Restore(type, value, traceback);
}

void MbapLink::send(const codec::Frame& frame) {
    lock_->refuse_nested_request();
    asked_ = codec::Asked{frame.data()[0], frame.data()[1]};
    request_ = sockets::adu_of_built(frame.data(), frame.size());
    sockets::send_adu(connection_, request_);
    sent_ = true;
    checked_status(record(master_dict_, attr::last_sent, frame.data(), frame.size()));
    checked_status(record(channel_dict_, kAduLastSent, request_.data(), request_.size()));
}

// A reply that is shorter than what the engine asks for is a short answer.
void MbapLink::read(Bytes& answer, std::size_t size) {
    reply_frame_.read(answer, size, [this] {
        const auto first = reply_frame_.received() == 0 ? sockets::FirstStep::Wait : sockets::FirstStep::Take;
        return sockets::receive_as_rtu(connection_, request_, reply_, first);
    });
}

void MbapLink::discard() { reply_frame_.discard(); }

// Only a reply that passed the transaction id and unit check reaches the
// engine, so this is rare: the next read waits for another reply.
void MbapLink::dropped(Clock::time_point started) {
    if (connection_.deadline(started).passed()) codec::raise_timeout();
    reply_frame_.await_another();
}

}  // namespace qel::master
