#include "egraph/symbol.h"

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "egraph/flat_hash_map.h"
#include "support/hash_mixing.h"
#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

constexpr unsigned kShardBits = 4;
constexpr unsigned kPositionBits = 32 - kShardBits;
constexpr std::uint32_t kPositionMask = (std::uint32_t{1} << kPositionBits) - 1;

// 64-bit string hash with fixed keys: the same text always lands in the same shard.
std::uint64_t string_hash(std::string_view text) {
  constexpr std::uint64_t kMul = kGoldenRatio64;
  std::uint64_t h = 0x243f6a8885a308d3ULL ^ (text.size() * kMul);
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMul;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  if (n != 0) std::memcpy(&tail, p, n);
  h = (h ^ tail) * kMul;
  return mix_hash(h);
}

struct StringHash {
  std::uint64_t operator()(std::string_view text) const { return string_hash(text); }
};

// Interning appends the text and then indexes it, undoing the append should indexing fail, so an
// exception (out of memory) leaves a shard as it was and the lock needs no poisoning.
class Shard {
 public:
  Symbol intern(std::string_view text, std::uint32_t shard_number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const std::uint32_t* position = index_.find(text)) {
      return (shard_number << kPositionBits) | *position;
    }
    const std::size_t position = strings_.size() + 1;
    if (position >= kPositionMask) {
      throw InternalError("Can't represent index " + std::to_string(position) + " in a Symbol");
    }
    // A deque never relocates its elements, so views into the stored strings stay valid.
    const std::string& stored = strings_.emplace_back(text);
    try {
      index_.try_emplace(stored, static_cast<std::uint32_t>(position));
    } catch (...) {
      strings_.pop_back();
      throw;
    }
    return (shard_number << kPositionBits) | static_cast<std::uint32_t>(position);
  }

  std::string_view resolve(std::uint32_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (position == 0 || position > strings_.size()) {
      throw InternalError("Symbol position " + std::to_string(position) + " out of range");
    }
    return strings_[position - 1];
  }

 private:
  std::mutex mutex_;
  std::deque<std::string> strings_;
  FlatHashMap<std::string_view, std::uint32_t, StringHash> index_;
};

std::array<Shard, std::size_t{1} << kShardBits>& shards() {
  // Function-local static: created once, on first use, thread-safely.
  static auto* table = new std::array<Shard, std::size_t{1} << kShardBits>();
  return *table;
}

}  // namespace

Symbol intern_symbol(std::string_view text) {
  const auto shard_number = static_cast<std::uint32_t>(string_hash(text) & 0xF);
  return shards()[shard_number].intern(text, shard_number);
}

std::string_view symbol_text(Symbol symbol) {
  return shards()[symbol >> kPositionBits].resolve(symbol & kPositionMask);
}

}  // namespace zembric::egraph
