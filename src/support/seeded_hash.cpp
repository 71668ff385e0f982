#include "support/seeded_hash.h"

#include <atomic>
#include <random>

#include "support/hash_mixing.h"

namespace zembric {

namespace {

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += kGoldenRatio64;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t process_seed() noexcept {
  try {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy source: fall back on an address, which still varies with ASLR.
    static const int anchor = 0;
    return reinterpret_cast<std::uintptr_t>(&anchor);
  }
}

}  // namespace

[[gnu::hot]] std::uint64_t fresh_hash_seed() noexcept {
  static const std::uint64_t base = process_seed();
  static std::atomic<std::uint64_t> counter{0};
  return splitmix64(base + counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace zembric
