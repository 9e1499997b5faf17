// The RTU frame that a Modbus TCP reply stands for, handed to the engine
// read by read: the first read receives the reply whole, the next ones take
// the rest of it. Shared by the links that carry frames as Modbus TCP.
#pragma once

#include "master/answer_bytes.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qel::master {

class ReplyFrame {
public:
    // `receive()` returns the next reply as an RTU frame, empty on silence.
    template <class Receive>
    void read(Bytes& answer, std::size_t size, Receive&& receive) {
        if (size == 0) return;
        if (awaiting_) {
            frame_ = receive();
            taken_ = 0;
            awaiting_ = false;
            ++received_;
        }
        const std::size_t count = std::min(size, frame_.size() - taken_);
        answer.append(frame_.data() + taken_, count);
        taken_ += count;
    }

    // The rest of this reply is thrown away; the next read receives another.
    void discard() { taken_ = frame_.size(); }
    void await_another() { awaiting_ = true; }

    // How many replies were received: none yet means nothing can be there.
    int received() const { return received_; }
    // What the engine has read of the reply.
    const std::uint8_t* data() const { return frame_.data(); }
    std::size_t taken() const { return taken_; }

private:
    std::vector<std::uint8_t> frame_;
    std::size_t taken_ = 0;
    bool awaiting_ = true;
    int received_ = 0;
};

}  // namespace qel::master
