// SmallVector: a vector whose first N elements live inline, so short sequences cost no
// allocation. The heap pointer shares its bytes with the inline elements (the capacity tells which
// is in use), so the vector is 8 bytes of counts plus max(N elements, a pointer): an e-class,
// which holds two, fits a cache line. Elements must be nothrow-movable; at most 2^32 - 1.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace zembric::egraph {

template <class T, std::size_t N>
class SmallVector {
  static_assert(N > 0 && std::is_nothrow_move_constructible_v<T>);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  SmallVector() = default;
  SmallVector(std::initializer_list<T> items) { append_copies(items.begin(), items.end()); }
  SmallVector(const SmallVector& other) { append_copies(other.begin(), other.end()); }
  SmallVector(SmallVector&& other) noexcept { steal(other); }
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      append_copies(other.begin(), other.end());
    }
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      clear();
      release_heap();
      steal(other);
    }
    return *this;
  }
  ~SmallVector() {
    clear();
    release_heap();
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return on_heap() ? heap_ : inline_data(); }
  const T* data() const { return on_heap() ? heap_ : inline_data(); }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t k) { return data()[k]; }
  const T& operator[](std::size_t k) const { return data()[k]; }
  T& front() { return data()[0]; }
  const T& front() const { return data()[0]; }
  T& back() { return data()[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow_to(capacity);
  }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) grow_to(std::size_t{capacity_} * 2);
    T* slot = ::new (static_cast<void*>(data() + size_)) T(std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void push_back(const T& item) { emplace_back(item); }
  void push_back(T&& item) { emplace_back(std::move(item)); }

  // Drops the elements from `first` to the end.
  void erase(T* first, T* last) {
    if (last != end()) {
      std::move(last, end(), first);
      first += end() - last;
    }
    std::destroy(first, end());
    size_ = static_cast<Count>(first - data());
  }
  void clear() {
    std::destroy(begin(), end());
    size_ = 0;
  }

  // Moves every element of `other` onto the end of this vector and leaves `other` empty. Grows
  // geometrically: a class that absorbs many small ones one merge at a time stays linear.
  void append_from(SmallVector& other) {
    const std::size_t needed = std::size_t{size_} + other.size_;
    if (needed > capacity_) grow_to(std::max(needed, std::size_t{capacity_} * 2));
    for (T& item : other)
      emplace_back(std::move(item));
    other.clear();
  }

  void swap(SmallVector& other) noexcept {
    SmallVector tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

  // Releases the heap buffer, if any.
  void shrink_to_empty() {
    clear();
    release_heap();
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool on_heap() const { return capacity_ > N; }
  T* inline_data() { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const { return std::launder(reinterpret_cast<const T*>(inline_)); }

  template <class It>
  void append_copies(It first, It last) {
    reserve(size_ + static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first)
      emplace_back(*first);
  }

  void grow_to(std::size_t capacity) {
    if (capacity > std::numeric_limits<Count>::max())
      throw std::length_error("a small vector holds at most 4294967295 elements");
    T* bigger = std::allocator<T>().allocate(capacity);
    std::uninitialized_move(begin(), end(), bigger);
    std::destroy(begin(), end());
    release_heap();
    heap_ = bigger;
    capacity_ = static_cast<Count>(capacity);
  }

  void release_heap() {
    if (on_heap()) std::allocator<T>().deallocate(heap_, capacity_);
    capacity_ = N;
  }

  // Requires this vector to be empty with no heap buffer.
  void steal(SmallVector& other) {
    if (other.on_heap()) {
      heap_ = other.heap_;
      capacity_ = std::exchange(other.capacity_, N);
      size_ = std::exchange(other.size_, 0);
      return;
    }
    if constexpr (std::is_trivially_copyable_v<T>) {
      // The whole inline buffer at its fixed size: a few moves instead of a call to memmove,
      // which matters where matches and bindings are moved by the hundred thousand.
      std::memcpy(inline_, other.inline_, sizeof inline_);
      size_ = std::exchange(other.size_, 0);
      return;
    }
    std::uninitialized_move(other.begin(), other.end(), inline_data());
    size_ = other.size_;
    other.clear();
  }

  // 32-bit counts: e-classes hold two of these vectors, and every byte of a class counts.
  using Count = std::uint32_t;
  Count size_ = 0;
  Count capacity_ = N;  // N while the elements are inline; more once they are on the heap
  union {
    T* heap_;
    alignas(T) unsigned char inline_[N * sizeof(T)];
  };
};

}  // namespace zembric::egraph
