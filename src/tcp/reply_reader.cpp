#include "tcp/reply_reader.hpp"

#include "codec/protocol_errors.hpp"

namespace qel::tcp {

ReplyReader::ReplyReader(PyObject* self, const ObjectLock* lock, Bytes first)
    : self_(self), lock_(lock), buffer_(std::move(first)) {}

sockets::Connection& ReplyReader::connection() {
    if (!connection_) {
        socket_ = sockets::socket_of(self_);
        connection_.emplace(socket_.get(), lock_);
    }
    return *connection_;
}

void ReplyReader::fill(std::size_t size) {
    if (buffer_.size() >= size) return;
    const std::size_t have = buffer_.size(), want = size - have;
    buffer_.resize(size);
    const std::size_t got = connection().receive(buffer_.data() + have, want, want, sockets::OnSilence::ReturnEmpty);
    buffer_.resize(have + got);
    if (got < want) codec::raise_timeout();
}

// A reply to another request, dropped whole; only within one time-out, so a
// stream of strangers cannot hold the call for ever.
void ReplyReader::skip_reply() {
    if (!skipping_until_) skipping_until_ = connection().deadline();
    if (skipping_until_->passed()) codec::raise_timeout();
    const std::size_t size = mbap::adu_size(buffer_.data());
    fill(size);
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
}

const std::uint8_t* ReplyReader::head_answering(const Bytes& request) {
    if (request.size() < mbap::kHeaderSize + 1) codec::raise_reply_mismatch();
    for (;;) {
        fill(mbap::kReplyHead);
        switch (mbap::fit(request.data(), buffer_.data())) {
            case mbap::ReplyFit::OtherTransaction: skip_reply(); continue;
            case mbap::ReplyFit::Mismatch: codec::raise_reply_mismatch();
            case mbap::ReplyFit::Answers: break;
        }
        if (mbap::is_exception(buffer_.data())) {
            // Drained to its length, so that nothing of it is left to be
            // taken for the next reply.
            fill(mbap::adu_size(buffer_.data()));
            Ref unit = new_int(buffer_[mbap::kHeaderSize - 1]);
            codec::raise_slave_exception(unit.get(), buffer_[mbap::kHeaderSize], buffer_[mbap::kHeaderSize + 1]);
        }
        return buffer_.data();
    }
}

}  // namespace qel::tcp
