// Fixed-width little-endian loads and stores on raw bytes, whatever the host's byte order.
#pragma once

#include <bit>
#include <concepts>
#include <cstring>

namespace zembric {

template <std::unsigned_integral T>
inline T load_le(const unsigned char* bytes) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  } else {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      value |= static_cast<T>(bytes[i]) << (8 * i);
    return value;
  }
}

template <std::unsigned_integral T>
inline void store_le(unsigned char* bytes, T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, &value, sizeof value);
  } else {
    for (std::size_t i = 0; i < sizeof(T); ++i)
      bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace zembric
