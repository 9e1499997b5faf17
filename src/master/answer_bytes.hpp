// The bytes of one answer as the engine collects them. Every answer of the
// protocol fits the inline room, so a transaction allocates nothing for it;
// only an override that hands back more spills to the heap.
#pragma once

#include "core/answer_rules.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qel::master {

class Bytes {
public:
    Bytes() = default;
    Bytes(const std::uint8_t* first, const std::uint8_t* last) { append(first, static_cast<std::size_t>(last - first)); }
    Bytes(const Bytes& other) { append(other.data(), other.size()); }
    Bytes& operator=(const Bytes& other) {
        if (this != &other) {
            size_ = 0;
            heap_.clear();
            append(other.data(), other.size());
        }
        return *this;
    }

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return heap_.empty() ? inline_ : heap_.data(); }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size_; }
    std::uint8_t operator[](std::size_t i) const { return data()[i]; }

    void append(const std::uint8_t* bytes, std::size_t count) {
        if (count == 0) return;
        if (heap_.empty() && size_ + count <= sizeof inline_) {
            std::memcpy(inline_ + size_, bytes, count);
        } else {
            if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
            heap_.insert(heap_.end(), bytes, bytes + count);
        }
        size_ += count;
    }
    void append(const Bytes& more) { append(more.data(), more.size()); }
    void clear() {
        size_ = 0;
        heap_.clear();
    }

private:
    std::uint8_t inline_[codec::kLongestAnswer + 8];  // left uninitialised: only size_ bytes are read
    std::vector<std::uint8_t> heap_;
    std::size_t size_ = 0;
};

}  // namespace qel::master
