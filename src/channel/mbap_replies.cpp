#include "channel/mbap_replies.hpp"

#include "codec/protocol_errors.hpp"

#include <algorithm>

namespace qel::sockets {

MbapReplies::MbapReplies(PyObject* owner, const ObjectLock* lock, Bytes first)
    : owner_(owner), lock_(lock), buffer_(std::move(first)) {}

// Looked up each time rather than kept as a pointer: a reader that opened
// its own connection may be moved.
Connection& MbapReplies::connection() {
    if (connection_ != nullptr) return *connection_;
    if (!own_connection_) {
        socket_ = socket_of(owner_);
        own_connection_.emplace(socket_.get(), lock_);
    }
    return *own_connection_;
}

bool MbapReplies::fill(std::size_t size) {
    if (buffer_.size() >= size) return true;
    const std::size_t have = buffer_.size(), want = size - have;
    // Up to the longest reply: a reply that is there whole comes in one
    // receive. Right after the request nothing can be there yet.
    const std::size_t room = std::max(want, mbap::kLongestAdu);
    buffer_.resize(have + room);
    const FirstStep first = first_;
    first_ = FirstStep::Take;
    const std::size_t got = connection().receive(buffer_.data() + have, want, room, OnSilence::ReturnEmpty, first);
    buffer_.resize(have + got);
    return got >= want;
}

// A reply to another request, dropped whole; only within one time-out, so
// that a stream of strangers cannot hold the call for ever.
bool MbapReplies::skip_reply() {
    if (!skipping_until_) skipping_until_ = connection().deadline();
    if (skipping_until_->passed()) return false;
    const std::size_t size = mbap::adu_size(buffer_.data());
    if (!fill(size)) return false;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
    return true;
}

const std::uint8_t* MbapReplies::head_answering(const std::uint8_t* request) {
    for (;;) {
        if (!fill(mbap::kReplyHead)) return nullptr;
        switch (mbap::fit(request, buffer_.data())) {
            case mbap::AnswerFault::OtherRequest:
                if (!skip_reply()) return nullptr;
                continue;
            case mbap::AnswerFault::None: break;
            default: codec::raise_reply_mismatch();
        }
        if (mbap::is_exception(buffer_.data()) && !fill(mbap::adu_size(buffer_.data()))) return nullptr;
        return buffer_.data();
    }
}

}  // namespace qel::sockets
