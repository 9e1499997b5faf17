// A plain master over any channel: the engine members' bodies run here, and
// the channel's own in_waiting, read and write are called through Python.
#include "codec/byte_array.hpp"
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

const Name kInWaiting{"in_waiting"};
const Name kChannelRead{"read"};
const Name kChannelWrite{"write"};

}  // namespace

template <class... A>
Ref ChannelLink::call_channel(const Name& name, A... args) {
    try {
        Ref result = call_method(channel_.get(), name.get(), args...);
        if (lock_->closing()) sockets::raise_bad_descriptor();
        return result;
    } catch (const PythonError&) {
        if (!lock_->closing()) throw;
        PyErr_Clear();
        sockets::raise_bad_descriptor();
    }
}

// Stale input (a late answer of an earlier request) is read and thrown away
// first; the count is asked again for the read, as the channel may have
// received more meanwhile.
void ChannelLink::send_message(PyObject* message) {
    lock_->refuse_nested_request();
    Ref waiting = getattr(channel_.get(), kInWaiting.get());
    Ref zero = new_int(0);
    if (checked_status(PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT))) {
        waiting = getattr(channel_.get(), kInWaiting.get());
        call_channel(kChannelRead, waiting.get());
    }
    call_channel(kChannelWrite, message);
    Ref sent = checked(PyBytes_FromObject(message));
    setattr(self_, attr::last_sent.get(), sent.get());
    setattr(self_, attr::last_received.get(), state().empty_bytes);
}

Ref ChannelLink::read_object(PyObject* size) {
    Ref data = call_channel(kChannelRead, size);
    Ref received = getattr(self_, attr::last_received.get());
    Ref grown = checked(PyNumber_Add(received.get(), data.get()));
    setattr(self_, attr::last_received.get(), grown.get());
    return data;
}

void ChannelLink::send(const codec::Frame& frame) {
    asked_ = codec::Asked{frame.data()[0], frame.data()[1]};
    Ref message = new_byte_array(frame.data(), frame.size());
    send_message(message.get());
}

void ChannelLink::read(Bytes& answer, std::size_t size) {
    Ref wanted = new_int(static_cast<long long>(size));
    answer.append(answer_bytes(read_object(wanted.get()).get()));
}

Ref input_waiting(PyObject* channel) {
    Ref waiting = getattr(channel, kInWaiting.get());
    Ref zero = new_int(0);
    if (checked_status(PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT))) return waiting;
    return Ref();
}

void ChannelLink::discard() {
    if (Ref waiting = input_waiting(channel_.get())) read_object(waiting.get());
}

void ChannelLink::dropped(Clock::time_point started) { check_time_left(channel_.get(), started); }

}  // namespace qel::master
