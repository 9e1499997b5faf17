// A plain master over a plain TCPTunnel: the tunnel's reads and writes done
// natively on its socket, the messages kept straight in the master's dict.
#include "codec/protocol_errors.hpp"
#include "master/links.hpp"
#include "module/state.hpp"

#include <algorithm>

namespace qel::master {

namespace {

const Name kLastSent{"MessageLastSent"};
const Name kLastReceived{"MessageLastReceived"};

Ref bytes_object(const std::uint8_t* data, std::size_t size) {
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

}  // namespace

TunnelLink::TunnelLink(const RoadChoice& road, const ObjectLock* lock)
    : master_dict_(road.master_dict.get()), connection_(road.socket, lock) {}

// MessageLastReceived holds every byte read since the request went out, also
// when the transaction failed.
TunnelLink::~TunnelLink() {
    if (!sent_) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* received = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(received_.data()),
                                                   static_cast<Py_ssize_t>(received_.size()));
    if (received == nullptr || PyDict_SetItem(master_dict_, kLastReceived.get(), received) < 0) PyErr_Clear();
    Py_XDECREF(received);
    PyErr_Restore(type, value, traceback);
}

void TunnelLink::send(const codec::Frame& frame) {
    connection_.discard_pending();
    connection_.send(frame.data(), frame.size());
    Ref sent = bytes_object(frame.data(), frame.size());
    checked_status(PyDict_SetItem(master_dict_, kLastSent.get(), sent.get()));
    checked_status(PyDict_SetItem(master_dict_, kLastReceived.get(), state().empty_bytes));
    sent_ = true;
}

void TunnelLink::read(Bytes& answer, std::size_t size) {
    if (size == 0) return;  // TCPTunnel.read(0) touches nothing
    const std::size_t start = answer.size();
    const std::size_t early = std::min(size, ahead_end_ - ahead_begin_);
    answer.insert(answer.end(), ahead_.begin() + ahead_begin_, ahead_.begin() + ahead_begin_ + early);
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
        if (want > ahead_.size()) {
            // Longer than any answer: only an overridden length asks that.
            Bytes chunk(want);
            chunk.resize(connection_.receive(chunk.data(), want, want, silence, first));
            answer.insert(answer.end(), chunk.begin(), chunk.end());
        } else {
            const std::size_t got =
                connection_.receive(ahead_.data(), want, ahead_.size(), silence, first);
            const std::size_t used = std::min(got, want);
            answer.insert(answer.end(), ahead_.begin(), ahead_.begin() + used);
            ahead_begin_ = used;
            ahead_end_ = got;
        }
    }
    received_.insert(received_.end(), answer.begin() + start, answer.end());
}

void TunnelLink::check_crc(const Bytes& frame, PyObject* station) {
    if (!codec::crc_is_right(frame.data(), frame.size())) codec::raise_crc_error(station);
}

}  // namespace qel::master
