// The library's one growable byte buffer: bytes kept in place up to a size, on the heap beyond.
//
// A frame or an answer is almost always short: its bytes stay in the object itself, and
// only a longer run moves to the heap (once, with what came before). A reader asks for room
// at the end (reserve), writes there and says how much it wrote (commit); append does both.
// Plain C++ without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace brel::modbus {

template <std::size_t InPlace>
class ByteBuffer {
public:
    static constexpr std::size_t kInPlace = InPlace;

    const std::uint8_t* data() const noexcept { return heap_.empty() ? local_ : heap_.data(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool on_heap() const noexcept { return !heap_.empty(); }
    // The bytes as a range.
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size_; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data()[i]; }

    // Room for `n` more bytes at the end; commit() says how many were written there.
    std::uint8_t* reserve(std::size_t n) {
        if (size_ + n > InPlace && heap_.size() < size_ + n) {
            if (heap_.empty()) heap_.assign(local_, local_ + size_);
            heap_.resize(size_ + n);
        }
        return tail();
    }
    // The end of the bytes so far, where a reserve() has made room.
    std::uint8_t* tail() noexcept { return (heap_.empty() ? local_ : heap_.data()) + size_; }
    void commit(std::size_t n) noexcept { size_ += n; }
    void append(const void* bytes, std::size_t n) {
        if (n) std::memcpy(reserve(n), bytes, n);
        commit(n);
    }
    // Drops the first n bytes (at most all of them); what follows moves to the front.
    void drop_front(std::size_t n) noexcept {
        if (n > size_) n = size_;
        std::uint8_t* base = heap_.empty() ? local_ : heap_.data();
        if (size_ > n) std::memmove(base, base + n, size_ - n);
        size_ -= n;
    }
    // Empty again, the bytes back in place.
    void clear() noexcept {
        size_ = 0;
        heap_.clear();
    }

private:
    std::uint8_t local_[InPlace];
    std::vector<std::uint8_t> heap_;
    std::size_t size_ = 0;
};

}  // namespace brel::modbus
