#include "channel/mbap_replies.hpp"

#include "codec/protocol_errors.hpp"

#include <algorithm>

namespace qel::sockets {

MbapReplies::MbapReplies(PyObject* owner, const ObjectLock* lock, Bytes first)
    : owner_(owner), lock_(lock), buffer_(first) {}

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

std::size_t MbapReplies::receive_more(std::size_t want, std::size_t room, OnSilence on_silence) {
    const std::size_t have = buffer_.size();
    buffer_.resize(have + room);
    const FirstStep first = first_;
    first_ = FirstStep::Take;
    const std::size_t got = connection().receive(buffer_.data() + have, want, room, on_silence, first);
    buffer_.resize(have + got);
    return got;
}

bool MbapReplies::fill(std::size_t size) {
    if (first_room_ != 0) {
        // `_query`'s one receive: what has come, up to the whole reply.
        const std::size_t room = first_room_;
        const OnSilence on_silence = first_silence_;
        first_room_ = 0;
        first_silence_ = OnSilence::ReturnEmpty;
        receive_more(1, room, on_silence);
    }
    if (buffer_.size() >= size) return true;
    const std::size_t want = size - buffer_.size();
    const OnSilence on_silence = first_silence_;
    first_silence_ = OnSilence::ReturnEmpty;
    return receive_more(want, read_ahead_ ? std::max(want, mbap::kLongestAdu) : want, on_silence) >= want;
}

// A reply to another request, dropped whole; only within one time-out, so
// that a stream of strangers cannot hold the call for ever.
bool MbapReplies::skip_reply() {
    if (!skipping_until_) skipping_until_ = connection().deadline();
    if (skipping_until_->passed()) return false;
    const std::size_t size = mbap::adu_size(buffer_.data());
    if (!fill(size)) return false;
    buffer_.drop_front(size);
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
