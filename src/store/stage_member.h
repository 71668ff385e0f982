// StageMember: one fused operator inside a Stage node, and the tokens that name its operands.
// StageMembers: the members of one Stage, flat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The members of a Stage in one allocation: every token in one array, every key back to back in
// one text, and per member where its tokens and its key end. A reduction emits a stage per group
// of fused operators; a list of strings and token vectors would cost two allocations per member.
class StageMembers {
 public:
  StageMembers() noexcept = default;
  // Room for `members` members holding `tokens` tokens and `text` key bytes in all, filled by
  // add_member and add_token.
  StageMembers(std::size_t members, std::size_t tokens, std::size_t text);
  explicit StageMembers(std::span<const StageMember> members);
  StageMembers(const StageMembers& other);
  StageMembers& operator=(const StageMembers& other);
  StageMembers(StageMembers&& other) noexcept;
  StageMembers& operator=(StageMembers&& other) noexcept;
  ~StageMembers() { ::operator delete(block_); }

  // Starts the next member; its tokens follow through add_token. Both throw InternalError past the
  // room given.
  void add_member(std::string_view key);
  void add_token(MemberToken token);

  std::size_t size() const noexcept { return counts_.members; }
  bool empty() const noexcept { return counts_.members == 0; }
  StageMemberView operator[](std::size_t k) const noexcept {
    const std::size_t token_begin = k == 0 ? 0 : token_end()[k - 1];
    const std::size_t key_begin = k == 0 ? 0 : key_end()[k - 1];
    return {std::string_view(text() + key_begin, key_end()[k] - key_begin),
            std::span<const MemberToken>(tokens() + token_begin, token_end()[k] - token_begin)};
  }

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
  Iterator end() const noexcept { return {this, counts_.members}; }

  friend bool operator==(const StageMembers& a, const StageMembers& b) noexcept;

 private:
  // How much the block holds room for, and how much of it is filled.
  struct Counts {
    std::size_t member_room = 0;
    std::size_t token_room = 0;
    std::size_t text_room = 0;
    std::size_t members = 0;
    std::size_t tokens = 0;
    std::size_t text = 0;
  };

  // The block: tokens, then the token ends, then the key ends, then the key text.
  MemberToken* tokens() const noexcept { return reinterpret_cast<MemberToken*>(block_); }
  std::size_t* token_end() const noexcept {
    return reinterpret_cast<std::size_t*>(block_ + counts_.token_room * sizeof(MemberToken));
  }
  std::size_t* key_end() const noexcept { return token_end() + counts_.member_room; }
  char* text() const noexcept { return reinterpret_cast<char*>(key_end() + counts_.member_room); }

  std::byte* block_ = nullptr;
  Counts counts_;
};

}  // namespace zembric
