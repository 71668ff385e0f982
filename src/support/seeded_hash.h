// SeededHasher: a fast streaming 64-bit hash with a per-table seed. Hash values never reach any
// output; the seed only keeps one table's collisions from being predictable from another's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zembric {

// A fresh seed for one hash table: random per process, distinct per call.
std::uint64_t fresh_hash_seed() noexcept;

class SeededHasher {
 public:
  explicit SeededHasher(std::uint64_t seed) noexcept : state_(seed ^ kMix0) {}

  void add_u64(std::uint64_t word) noexcept { state_ = fold(state_ ^ word, kMix1); }

  // Length-prefixed, so that ("ab", "c") and ("a", "bc") differ.
  void add_bytes(std::string_view bytes) noexcept {
    add_u64(bytes.size());
    add_words(bytes);
  }

  // The bytes in 8-byte words without their length: for callers that have already hashed it.
  // The 1 to 7 bytes of a short tail are gathered with fixed-size loads (overlapping ones, which
  // still cover every byte once the length is known) instead of a variable-size copy.
  void add_words(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      add_u64(word);
    }
    if (n >= 4) {
      std::uint32_t low;
      std::uint32_t high;
      std::memcpy(&low, p, 4);
      std::memcpy(&high, p + n - 4, 4);
      add_u64(low | (std::uint64_t{high} << 32));
    } else if (n > 0) {
      const auto byte = [p](std::size_t i) {
        return std::uint64_t{static_cast<unsigned char>(p[i])};
      };
      add_u64(byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
    }
  }

  std::uint64_t finish() const noexcept { return fold(state_, kMix2); }

 private:
  // Multiply into 128 bits and fold the halves: every input bit reaches every output bit.
  static std::uint64_t fold(std::uint64_t a, std::uint64_t b) noexcept {
    __extension__ using Wide = unsigned __int128;
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  static constexpr std::uint64_t kMix0 = 0x2d358dccaa6c78a5ULL;
  static constexpr std::uint64_t kMix1 = 0x8bb84b93962eacc9ULL;
  static constexpr std::uint64_t kMix2 = 0x4b33a62ed433d4a3ULL;

  std::uint64_t state_;
};

}  // namespace zembric
