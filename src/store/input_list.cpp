#include "store/input_list.h"

#include <algorithm>
#include <utility>

namespace zembric {

InputList::InputList(InputList&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
  if (other.on_heap()) {
    heap_ = other.heap_;
  } else {
    std::copy_n(other.local_, size_, local_);
  }
  other.size_ = 0;
  other.capacity_ = kInline;
}

InputList& InputList::operator=(InputList&& other) noexcept {
  if (this != &other) {
    release();
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      std::copy_n(other.local_, other.size_, local_);
    }
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, kInline);
  }
  return *this;
}

void InputList::release() noexcept {
  if (on_heap()) delete[] heap_;
  size_ = 0;
  capacity_ = kInline;
}

void InputList::grow(std::size_t capacity) {
  NodeId* grown = new NodeId[capacity];
  std::copy_n(data(), size_, grown);
  if (on_heap()) delete[] heap_;
  heap_ = grown;
  capacity_ = capacity;
}

}  // namespace zembric
