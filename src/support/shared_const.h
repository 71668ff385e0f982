// SharedConst<T>: one pointer to an immutable T that copies share under an atomic count, so that
// copying the owner costs an increment instead of a deep copy. Safe to copy and destroy from
// several threads at once; the value itself is never written after construction.
#pragma once

#include <utility>

#include "support/owner_count.h"

namespace zembric {

template <class T>
class SharedConst {
 public:
  SharedConst() noexcept = default;
  template <class... Args>
  static SharedConst make(Args&&... args) {
    SharedConst made;
    made.block_ = new Block{{}, T(std::forward<Args>(args)...)};
    return made;
  }

  SharedConst(const SharedConst& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->owners.add();
  }
  SharedConst(SharedConst&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  SharedConst& operator=(SharedConst other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~SharedConst() {
    if (block_ != nullptr && block_->owners.drop()) {
      delete block_;
    }
  }

  explicit operator bool() const noexcept { return block_ != nullptr; }
  const T& operator*() const noexcept { return block_->value; }
  const T* operator->() const noexcept { return &block_->value; }
  // Whether both name the same value object (not merely equal values).
  bool same_object(const SharedConst& other) const noexcept { return block_ == other.block_; }

 private:
  struct Block {
    OwnerCount owners;
    const T value;
  };
  Block* block_ = nullptr;
};

}  // namespace zembric
