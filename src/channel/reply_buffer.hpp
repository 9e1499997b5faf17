// The bytes of replies being read: room for the longest reply and the next
// one inline, so that a transaction allocates nothing for them; only a reply
// to another request that claims more spills to the heap.
#pragma once

#include "core/mbap.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qel::sockets {

class ReplyBuffer {
public:
    ReplyBuffer() = default;
    explicit ReplyBuffer(const std::vector<std::uint8_t>& first) {
        resize(first.size());
        if (!first.empty()) std::memcpy(data(), first.data(), first.size());
    }
    ReplyBuffer(const ReplyBuffer& other) : ReplyBuffer() { *this = other; }
    ReplyBuffer& operator=(const ReplyBuffer& other) {
        if (this != &other) {
            resize(other.size_);
            if (size_ > 0) std::memcpy(data(), other.data(), size_);
        }
        return *this;
    }

    std::uint8_t* data() { return heap_.empty() ? inline_.data() : heap_.data(); }
    const std::uint8_t* data() const { return heap_.empty() ? inline_.data() : heap_.data(); }
    std::size_t size() const { return size_; }

    // New bytes are left as they are: the caller writes them.
    void resize(std::size_t size) {
        if (size > inline_.size() && heap_.size() < size) {
            std::vector<std::uint8_t> bigger(size);
            std::memcpy(bigger.data(), data(), size_);
            heap_.swap(bigger);
        }
        size_ = size;
    }

    void drop_front(std::size_t count) {
        std::memmove(data(), data() + count, size_ - count);
        size_ -= count;
    }

private:
    std::array<std::uint8_t, 2 * mbap::kLongestAdu> inline_;  // left uninitialised: only size_ bytes are read
    std::vector<std::uint8_t> heap_;
    std::size_t size_ = 0;
};

}  // namespace qel::sockets
