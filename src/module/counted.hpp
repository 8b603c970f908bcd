// A shared owner for C++ objects that are only touched under the interpreter lock.
//
// std::shared_ptr would do, but its count is atomic, and libstdc++ decides at run time
// whether to pay for that by reading glibc's __libc_single_threaded, a symbol of glibc 2.32:
// a module that uses it no longer loads on the older systems our wheels are built for. Here
// the interpreter lock already orders every change of the count, so a plain one is enough.
#pragma once

#include <cstddef>
#include <utility>

namespace brel {

template <class T>
class Counted {
public:
    Counted() = default;
    Counted(const Counted& other) : box_(other.box_) {
        if (box_) ++box_->count;
    }
    Counted(Counted&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
    Counted& operator=(Counted other) noexcept {
        std::swap(box_, other.box_);
        return *this;
    }
    ~Counted() { reset(); }

    // A new T, owned by the one Counted returned.
    template <class... Args>
    static Counted make(Args&&... args) {
        Counted made;
        made.box_ = new Box{T(std::forward<Args>(args)...), 1};
        return made;
    }

    void reset() noexcept {
        if (box_ && --box_->count == 0) delete box_;
        box_ = nullptr;
    }
    T* get() const noexcept { return box_ ? &box_->value : nullptr; }
    T* operator->() const noexcept { return get(); }
    T& operator*() const noexcept { return box_->value; }
    explicit operator bool() const noexcept { return box_ != nullptr; }
    friend bool operator==(const Counted& a, const Counted& b) noexcept { return a.box_ == b.box_; }

private:
    struct Box {
        T value;
        std::size_t count;
    };
    Box* box_ = nullptr;
};

}  // namespace brel
