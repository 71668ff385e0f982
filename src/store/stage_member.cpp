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

[[gnu::hot]] StageMembers::StageMembers(std::size_t members, std::size_t tokens, std::size_t text) {
  static_assert(sizeof(Header) % alignof(MemberToken) == 0, "tokens follow the header aligned");
  void* memory = ::operator new(sizeof(Header) + block_bytes(members, tokens, text));
  block_ = new (memory) Header{{}, {members, tokens, text, 0, 0, 0}};
}

StageMembers::StageMembers(std::span<const StageMember> members)
    : StageMembers(members.size(), token_total(members), text_total(members)) {
  for (const StageMember& member : members) {
    add_member(member.key);
    for (const MemberToken& token : member.tokens)
      add_token(token);
  }
}

StageMembers::StageMembers(const StageMembers& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) block_->owners.add();
}

StageMembers& StageMembers::operator=(const StageMembers& other) noexcept {
  StageMembers copy(other);
  std::swap(block_, copy.block_);
  return *this;
}

[[gnu::hot]] StageMembers& StageMembers::operator=(StageMembers&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

[[gnu::hot]] void StageMembers::release() noexcept {
  if (block_ != nullptr && block_->owners.drop()) {
    block_->~Header();
    ::operator delete(block_);
  }
  block_ = nullptr;
}

void StageMembers::unfillable() {
  throw InternalError("stage members filled while shared or without room");
}

void StageMembers::overfilled() {
  throw InternalError("stage members given more than their room");
}

bool operator==(const StageMembers& a, const StageMembers& b) noexcept {
  if (a.same_object(b)) return true;
  const auto& x = a.counts();
  const auto& y = b.counts();
  if (x.members != y.members || x.tokens != y.tokens || x.text != y.text) return false;
  // Without a member there is nothing else, and perhaps no block to read.
  return x.members == 0 || (std::equal(a.key_end(), a.key_end() + x.members, b.key_end()) &&
                            std::equal(a.token_end(), a.token_end() + x.members, b.token_end()) &&
                            std::equal(a.tokens(), a.tokens() + x.tokens, b.tokens()) &&
                            std::equal(a.text(), a.text() + x.text, b.text()));
}

void add_stage_members(SeededHasher& h, const StageMembers& members) noexcept {
  h.add_u64(members.size());
  for (const StageMemberView member : members) {
    h.add_bytes(member.key);
    h.add_u64(member.tokens.size());
    for (const MemberToken& token : member.tokens) {
      h.add_u64(static_cast<std::uint64_t>(token.kind));
      h.add_u64(token.index);
    }
  }
}

}  // namespace zembric
