// A plain master over a plain TCPTunnel: the tunnel's reads and writes done
// natively on its socket, the messages kept straight in the master's dict.
#include "master/attribute_names.hpp"
#include "master/links.hpp"
#include "module/state.hpp"

#include <algorithm>
#include <cstring>

namespace qel::master {

// dict[name] = bytes(data). A poll repeats the same request, and often gets
// the same answer: when the dict holds those very bytes already, they stay.
int record(PyObject* dict, const Name& name, const std::uint8_t* data, std::size_t size) {
    PyObject* now = PyDict_GetItemWithError(dict, name.get());
    if (now != nullptr && PyBytes_CheckExact(now) && static_cast<std::size_t>(PyBytes_GET_SIZE(now)) == size &&
        (size == 0 || std::memcmp(PyBytes_AS_STRING(now), data, size) == 0))
        return 0;
    PyObject* fresh = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    if (fresh == nullptr) return -1;
    const int status = PyDict_SetItem(dict, name.get(), fresh);
    Py_DECREF(fresh);
    return status;
}

TunnelLink::TunnelLink(const LinkChoice& choice, const ObjectLock* lock)
    : master_dict_(choice.master_dict.get()), lock_(lock), connection_(choice.socket.get(), lock) {}

// MessageLastReceived holds every byte read since the request went out, also
// when the transaction failed.
TunnelLink::~TunnelLink() {
    if (!sent_) return;
    // The transaction's own error, if any, stays the one that is raised.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    const bool failing = PyErr_Occurred() != nullptr;
    if (failing) PyErr_Fetch(&type, &value, &traceback);
    if (record(master_dict_, attr::last_received, received_.data(), received_.size()) < 0) PyErr_Clear();
    if (failing) PyErr_Restore(type, value, traceback);
}

void TunnelLink::send(const codec::Frame& frame) {
    lock_->refuse_nested_request();
    asked_ = codec::Asked{frame.data()[0], frame.data()[1]};
    connection_.discard_pending();
    connection_.send(frame.data(), frame.size());
    checked_status(record(master_dict_, attr::last_sent, frame.data(), frame.size()));
    // MessageLastReceived is set once the transaction ends, from what came.
    sent_ = true;
}

void TunnelLink::read(Bytes& answer, std::size_t size) {
    if (size == 0) return;  // TCPTunnel.read(0) touches nothing
    const std::size_t start = answer.size();
    const std::size_t early = std::min(size, ahead_end_ - ahead_begin_);
    answer.append(ahead_.data() + ahead_begin_, early);
    ahead_begin_ += early;
    if (early < size) {
        const std::size_t want = size - early;
        // Right after the request nothing can be there yet: wait at once.
        const auto first = answer_started_ ? sockets::FirstStep::Take : sockets::FirstStep::Wait;
        answer_started_ = true;
        // One tunnel read: silence or a close is its error only when nothing
        // at all came, counting what was already here.
        const auto silence = early > 0 ? sockets::OnSilence::ReturnWhatCame : sockets::OnSilence::RaiseTimeout;
        ahead_begin_ = ahead_end_ = 0;
        const Clock::time_point* since = waiting_since_ ? &*waiting_since_ : nullptr;
        if (want > ahead_.size()) {
            // Longer than any answer: a discard of much input asks that.
            std::vector<std::uint8_t> chunk(want);
            chunk.resize(connection_.receive(chunk.data(), want, want, silence, first, since));
            answer.append(chunk.data(), chunk.size());
        } else {
            const std::size_t got =
                connection_.receive(ahead_.data(), want, ahead_.size(), silence, first, since);
            const std::size_t used = std::min(got, want);
            answer.append(ahead_.data(), used);
            ahead_begin_ = used;
            ahead_end_ = got;
        }
    }
    received_.append(answer.data() + start, answer.size() - start);
}

// What was read ahead and what the socket holds.
void TunnelLink::discard() {
    Bytes gone;
    read(gone, (ahead_end_ - ahead_begin_) + connection_.pending());
}

// Answers to other requests for a whole time-out are no answer: the
// tunnel's own time-out error, as when nothing came at all.
void TunnelLink::dropped(Clock::time_point started) {
    if (connection_.deadline(started).passed()) raise(state().socket_timeout, "timed out");
    waiting_since_ = started;
}

}  // namespace qel::master
