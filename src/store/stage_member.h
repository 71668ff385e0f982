// StageMember: one fused operator inside a Stage node, and the tokens that name its operands.
// StageMembers: the members of one Stage, flat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/owner_count.h"
#include "support/seeded_hash.h"

namespace zembric {

enum class MemberTokenKind : std::uint8_t { Input = 0, Member = 1 };

// input(k): the k-th input of the stage; member(p): the p-th (earlier) member of the stage.
struct MemberToken {
  MemberTokenKind kind;
  std::uint64_t index;

  friend bool operator==(const MemberToken&, const MemberToken&) = default;
};

// A fused operator as a value, for building a Stage by hand or from a blob: its canonical key and
// one token per operand.
struct StageMember {
  std::string key;
  std::vector<MemberToken> tokens;

  friend bool operator==(const StageMember&, const StageMember&) = default;
};

// A member as it lies in a Stage: views into the stage's storage.
struct StageMemberView {
  std::string_view key;
  std::span<const MemberToken> tokens;
};

// The members of a Stage in one allocation: a count of owners, then every token in one array,
// every key back to back in one text, and per member where its tokens and its key end. Copies share
// the block under an atomic count, as a Stage's members are never written once built: a Stage is
// one allocation, where a list of strings and token vectors would cost two per member.
class StageMembers {
 public:
  StageMembers() noexcept = default;
  // Room for `members` members holding `tokens` tokens and `text` key bytes in all, filled by
  // add_member and add_token.
  StageMembers(std::size_t members, std::size_t tokens, std::size_t text);
  explicit StageMembers(std::span<const StageMember> members);
  StageMembers(const StageMembers& other) noexcept;
  StageMembers& operator=(const StageMembers& other) noexcept;
  StageMembers(StageMembers&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  StageMembers& operator=(StageMembers&& other) noexcept;
  ~StageMembers() { release(); }

  // Starts the next member; its tokens follow through add_token. Both throw InternalError past the
  // room given, or once a copy shares the block.
  // Inline: fusion adds every member and token of every Stage it emits.
  void add_member(std::string_view key) {
    Counts& counts = filling();
    if (counts.members == counts.member_room || key.size() > counts.text_room - counts.text) {
      overfilled();
    }
    if (!key.empty()) std::memcpy(text() + counts.text, key.data(), key.size());
    counts.text += key.size();
    key_end()[counts.members] = counts.text;
    token_end()[counts.members] = counts.tokens;
    ++counts.members;
  }
  void add_token(MemberToken token) {
    Counts& counts = filling();
    if (counts.members == 0 || counts.tokens == counts.token_room) overfilled();
    tokens()[counts.tokens++] = token;
    token_end()[counts.members - 1] = counts.tokens;
  }

  std::size_t size() const noexcept { return counts().members; }
  bool empty() const noexcept { return counts().members == 0; }
  StageMemberView operator[](std::size_t k) const noexcept {
    const std::size_t token_begin = k == 0 ? 0 : token_end()[k - 1];
    const std::size_t key_begin = k == 0 ? 0 : key_end()[k - 1];
    return {std::string_view(text() + key_begin, key_end()[k] - key_begin),
            std::span<const MemberToken>(tokens() + token_begin, token_end()[k] - token_begin)};
  }
  // Whether both share one block (not merely equal members).
  bool same_object(const StageMembers& other) const noexcept { return block_ == other.block_; }

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = StageMemberView;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Iterator(const StageMembers* members, std::size_t k) : members_(members), k_(k) {}
    StageMemberView operator*() const noexcept { return (*members_)[k_]; }
    Iterator& operator++() noexcept {
      ++k_;
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++k_;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.k_ == b.k_; }

   private:
    const StageMembers* members_ = nullptr;
    std::size_t k_ = 0;
  };
  Iterator begin() const noexcept { return {this, 0}; }
  Iterator end() const noexcept { return {this, size()}; }

  friend bool operator==(const StageMembers& a, const StageMembers& b) noexcept;

 private:
  // How much the block holds room for, and how much of it is filled; Counts{} is all zero.
  struct Counts {
    std::size_t member_room;
    std::size_t token_room;
    std::size_t text_room;
    std::size_t members;
    std::size_t tokens;
    std::size_t text;
  };
  // The block starts with this header; the tokens, the token ends, the key ends and the key text
  // follow it.
  struct Header {
    OwnerCount owners;
    Counts counts;
  };
  static constexpr Counts kNoCounts{};

  const Counts& counts() const noexcept { return block_ != nullptr ? block_->counts : kNoCounts; }
  MemberToken* tokens() const noexcept { return reinterpret_cast<MemberToken*>(block_ + 1); }
  std::size_t* token_end() const noexcept {
    return reinterpret_cast<std::size_t*>(tokens() + counts().token_room);
  }
  std::size_t* key_end() const noexcept { return token_end() + counts().member_room; }
  char* text() const noexcept { return reinterpret_cast<char*>(key_end() + counts().member_room); }
  // The counts of a block this object alone owns, for filling it.
  Counts& filling() {
    if (block_ == nullptr || block_->owners.shared()) [[unlikely]]
      unfillable();
    return block_->counts;
  }
  [[noreturn]] static void unfillable();
  [[noreturn]] static void overfilled();
  void release() noexcept;

  Header* block_ = nullptr;
};

// Feeds every member's key and tokens to `h`, so that equal members hash alike.
void add_stage_members(SeededHasher& h, const StageMembers& members) noexcept;

}  // namespace zembric
