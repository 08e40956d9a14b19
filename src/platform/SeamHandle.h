// A handle the seam gave out, held as a value: move-only, and closed exactly once by the seam
// object that opened it. Only that object knows what the value stands for (a HANDLE, a
// descriptor, the key of a record), so no implementation casts a handle back to its own class.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace tarn::platform {

// `Kind` is the handle type itself: the owner closes each kind with its own overload of
// close(std::type_identity<Kind>, value).
template <class Owner, class Kind> class SeamHandle {
public:
    SeamHandle() = default;
    SeamHandle(Owner& owner, std::uintptr_t value) : owner_(&owner), value_(value) {}
    SeamHandle(SeamHandle&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), value_(other.value_) {}
    SeamHandle& operator=(SeamHandle&& other) noexcept {
        if (this != &other) {
            reset();
            owner_ = std::exchange(other.owner_, nullptr);
            value_ = other.value_;
        }
        return *this;
    }
    ~SeamHandle() { reset(); }

    explicit operator bool() const { return owner_ != nullptr; }
    bool openedBy(const Owner& owner) const { return owner_ == &owner; }
    // What the owner made of it; meaningless to anyone else.
    std::uintptr_t value() const { return value_; }

    void reset() {
        if (Owner* owner = std::exchange(owner_, nullptr)) {
            owner->close(std::type_identity<Kind>{}, value_);
        }
    }

protected:
    Owner* owner_ = nullptr;
    std::uintptr_t value_ = 0;
};

} // namespace tarn::platform
