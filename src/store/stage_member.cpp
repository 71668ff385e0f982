#include "store/stage_member.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "support/internal_error.h"

namespace zembric {
namespace {

std::size_t block_bytes(std::size_t members, std::size_t tokens, std::size_t text) {
  return tokens * sizeof(MemberToken) + 2 * members * sizeof(std::size_t) + text;
}

std::size_t token_total(std::span<const StageMember> members) {
  std::size_t total = 0;
  for (const StageMember& member : members)
    total += member.tokens.size();
  return total;
}

std::size_t text_total(std::span<const StageMember> members) {
  std::size_t total = 0;
  for (const StageMember& member : members)
    total += member.key.size();
  return total;
}

}  // namespace

StageMembers::StageMembers(std::size_t members, std::size_t tokens, std::size_t text)
    : counts_{members, tokens, text, 0, 0, 0} {
  const std::size_t bytes = block_bytes(members, tokens, text);
  if (bytes > 0) block_ = static_cast<std::byte*>(::operator new(bytes));
}

StageMembers::StageMembers(std::span<const StageMember> members)
    : StageMembers(members.size(), token_total(members), text_total(members)) {
  for (const StageMember& member : members) {
    add_member(member.key);
    for (const MemberToken& token : member.tokens)
      add_token(token);
  }
}

StageMembers::StageMembers(const StageMembers& other)
    : StageMembers(other.counts_.members, other.counts_.tokens, other.counts_.text) {
  // Only the filled part is copied, into a block of exactly that room.
  std::copy_n(other.tokens(), other.counts_.tokens, tokens());
  std::copy_n(other.token_end(), other.counts_.members, token_end());
  std::copy_n(other.key_end(), other.counts_.members, key_end());
  std::copy_n(other.text(), other.counts_.text, text());
  counts_.members = other.counts_.members;
  counts_.tokens = other.counts_.tokens;
  counts_.text = other.counts_.text;
}

StageMembers& StageMembers::operator=(const StageMembers& other) {
  if (this != &other) *this = StageMembers(other);
  return *this;
}

StageMembers::StageMembers(StageMembers&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), counts_(std::exchange(other.counts_, {})) {}

StageMembers& StageMembers::operator=(StageMembers&& other) noexcept {
  if (this != &other) {
    ::operator delete(block_);
    block_ = std::exchange(other.block_, nullptr);
    counts_ = std::exchange(other.counts_, {});
  }
  return *this;
}

void StageMembers::add_member(std::string_view key) {
  if (counts_.members == counts_.member_room || key.size() > counts_.text_room - counts_.text) {
    throw InternalError("stage members given more than their room");
  }
  if (!key.empty()) std::memcpy(text() + counts_.text, key.data(), key.size());
  counts_.text += key.size();
  key_end()[counts_.members] = counts_.text;
  token_end()[counts_.members] = counts_.tokens;
  ++counts_.members;
}

void StageMembers::add_token(MemberToken token) {
  if (counts_.members == 0 || counts_.tokens == counts_.token_room) {
    throw InternalError("stage members given more than their room");
  }
  tokens()[counts_.tokens++] = token;
  token_end()[counts_.members - 1] = counts_.tokens;
}

bool operator==(const StageMembers& a, const StageMembers& b) noexcept {
  const auto& x = a.counts_;
  const auto& y = b.counts_;
  return x.members == y.members && x.tokens == y.tokens && x.text == y.text &&
         std::equal(a.key_end(), a.key_end() + x.members, b.key_end()) &&
         std::equal(a.token_end(), a.token_end() + x.members, b.token_end()) &&
         std::equal(a.tokens(), a.tokens() + x.tokens, b.tokens()) &&
         std::equal(a.text(), a.text() + x.text, b.text());
}

}  // namespace zembric
