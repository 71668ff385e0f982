// InputList: a node's operand list while it is built.
#pragma once

#include <cstddef>

#include "store/node_id.h"

namespace zembric {

class Node;

// An operand list being built: up to two ids in place, longer lists on the heap. Moving it into a
// node hands the storage over, so building a node from a call allocates nothing for short lists.
class InputList {
 public:
  static constexpr std::size_t kInline = 2;

  InputList() noexcept = default;
  InputList(const InputList&) = delete;
  InputList& operator=(const InputList&) = delete;
  InputList(InputList&& other) noexcept;
  InputList& operator=(InputList&& other) noexcept;
  ~InputList() {
    if (on_heap()) release();
  }

  std::size_t size() const noexcept { return size_; }
  const NodeId* data() const noexcept { return on_heap() ? heap_ : local_; }
  void clear() noexcept { size_ = 0; }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  void push_back(NodeId id) {
    if (size_ == capacity_) grow(2 * capacity_);
    (on_heap() ? heap_ : local_)[size_++] = id;
  }

 private:
  friend class Node;
  bool on_heap() const noexcept { return capacity_ > kInline; }
  // Moves the ids to a heap array of `capacity`, more than the current one.
  void grow(std::size_t capacity);
  void release() noexcept;

  union {
    NodeId local_[kInline];
    NodeId* heap_;  // from new NodeId[capacity_]
  };
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

}  // namespace zembric
