// The constants and the finaliser every hash of the project is built from.
#pragma once

#include <cstdint>

namespace zembric {

// 2^64 and 2^32 over the golden ratio, rounded to odd: multiplying by them spreads low bits up.
inline constexpr std::uint64_t kGoldenRatio64 = 0x9e3779b97f4a7c15ULL;
inline constexpr std::uint32_t kGoldenRatio32 = 0x9e3779b9U;

// Spreads every input bit over the whole word, so callers may hand in weak hashes (small integers,
// hashes whose low bits pick a shard) without clustering a table.
inline std::uint64_t mix_hash(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace zembric
