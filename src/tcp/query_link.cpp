#include "tcp/query_link.hpp"

#include "channel/rtu_over_mbap.hpp"
#include "codec/protocol_errors.hpp"
#include "module/buffer.hpp"
#include "module/interned.hpp"


namespace qel::tcp {

namespace {

const Name kQuery{"_query"};

// The request bytes behind a command, when it is text that can be sent;
// empty otherwise (`_query` raises for it).
std::vector<std::uint8_t> request_of(PyObject* command) {
    if (!PyUnicode_Check(command)) return {};
    PyObject* encoded = PyUnicode_AsLatin1String(command);
    if (encoded == nullptr) {
        PyErr_Clear();
        return {};
    }
    Ref owner = Ref::steal(encoded);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(encoded));
    return std::vector<std::uint8_t>(data, data + PyBytes_GET_SIZE(encoded));
}

}  // namespace

QueryLink::QueryLink(PyObject* self, const ObjectLock& lock, PyObject* plain_socket)
    : self_(self), lock_(&lock), socket_(plain_socket != nullptr ? Ref::borrow(plain_socket) : Ref()) {}

void QueryLink::query_with(PyObject* command) {
    command_ = Ref::borrow(command);
    request_ = request_of(command);
}

std::uint8_t QueryLink::unit() const { return request_.size() >= mbap::kHeaderSize ? request_[6] : mbap::kUnitId; }

void QueryLink::send(const codec::Frame& frame) {
    if (command_) {
        const std::size_t wanted = request_.size() >= mbap::kRequestSize ? reply_size_(request_) : mbap::kReplyHead;
        Ref size = new_int(static_cast<long long>(wanted));
        Ref first = call_method(self_, kQuery.get(), command_.get(), size.get());
        Buffer b(first.get());
        replies_.emplace(self_, lock_, std::vector<std::uint8_t>(b.data(), b.data() + b.size()));
    } else {
        // The transaction id is taken before the socket is asked for its
        // descriptor, as the builder takes it before `_query` runs.
        request_ = sockets::adu_of_built(frame.data(), frame.size());
        connection_.emplace(socket_.get(), lock_);
        sockets::send_adu(*connection_, request_);
        // Nothing came yet: the first receive waits at once, and silence
        // there is the socket's own time-out, as `_query`'s receive raises it.
        replies_.emplace(*connection_, sockets::FirstStep::Wait, sockets::OnSilence::RaiseTimeout,
                         reply_size_(request_));
    }
    if (request_.size() >= mbap::kHeaderSize + 1) asked_ = codec::Asked{request_[6], request_[7]};
}

void QueryLink::read(master::Bytes& answer, std::size_t size) {
    reply_frame_.read(answer, size,
                      [this] { return sockets::receive_as_rtu(*replies_, request_.data(), request_.size(), reply_); });
}

void QueryLink::discard() { reply_frame_.discard(); }

// The framing let through only a reply of this transaction, unit and
// function: a drop cannot follow. Should it, the wait ends.
void QueryLink::dropped(master::Clock::time_point) { codec::raise_reply_mismatch(); }

}  // namespace qel::tcp
