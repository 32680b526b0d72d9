// Containers that are their own lock: lock the object, then use it as the container.
#pragma once

#include <utility>
#include <vector>

// Copies and moves carry the elements only. Every object keeps its own lock:
// a copy or moved-to vector starts with a fresh, unlocked one, and assignment
// leaves the target's lock as it is. Nothing here takes a lock; a caller that
// copies a shared vector holds that vector's lock while doing so.
template <class _Ty, class LockType>
class SafeVector : public std::vector<_Ty>, public LockType {
 public:
  using Base = std::vector<_Ty>;

  SafeVector() = default;
  SafeVector(const SafeVector& other) : Base(other), LockType() {}
  SafeVector(SafeVector&& other) noexcept : Base(std::move(other)), LockType() {}

  SafeVector& operator=(const SafeVector& other) {
    if (this != &other) Base::operator=(other);
    return *this;
  }
  SafeVector& operator=(SafeVector&& other) noexcept {
    if (this != &other) Base::operator=(std::move(other));
    return *this;
  }
};
