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

}  // namespace

StageMembers::StageMembers(std::size_t members, std::size_t tokens, std::size_t text)
    : member_room_(members), token_room_(tokens), text_room_(text) {
  const std::size_t bytes = block_bytes(members, tokens, text);
  if (bytes > 0) block_ = static_cast<std::byte*>(::operator new(bytes));
}

StageMembers::StageMembers(std::span<const StageMember> members) {
  std::size_t tokens = 0;
  std::size_t text = 0;
  for (const StageMember& member : members) {
    tokens += member.tokens.size();
    text += member.key.size();
  }
  StageMembers built(members.size(), tokens, text);
  for (const StageMember& member : members) {
    built.add_member(member.key);
    for (const MemberToken& token : member.tokens)
      built.add_token(token);
  }
  *this = std::move(built);
}

StageMembers::StageMembers(const StageMembers& other)
    : StageMembers(other.size_, other.tokens_, other.text_size_) {
  // Only the used part is copied, into a block of exactly that room.
  std::copy_n(other.tokens(), other.tokens_, tokens());
  std::copy_n(other.token_end(), other.size_, token_end());
  std::copy_n(other.key_end(), other.size_, key_end());
  std::copy_n(other.text(), other.text_size_, text());
  size_ = other.size_;
  tokens_ = other.tokens_;
  text_size_ = other.text_size_;
}

StageMembers& StageMembers::operator=(const StageMembers& other) {
  if (this != &other) *this = StageMembers(other);
  return *this;
}

StageMembers::StageMembers(StageMembers&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)),
      member_room_(std::exchange(other.member_room_, 0)),
      token_room_(std::exchange(other.token_room_, 0)),
      text_room_(std::exchange(other.text_room_, 0)),
      size_(std::exchange(other.size_, 0)),
      tokens_(std::exchange(other.tokens_, 0)),
      text_size_(std::exchange(other.text_size_, 0)) {}

StageMembers& StageMembers::operator=(StageMembers&& other) noexcept {
  if (this != &other) {
    ::operator delete(block_);
    block_ = std::exchange(other.block_, nullptr);
    member_room_ = std::exchange(other.member_room_, 0);
    token_room_ = std::exchange(other.token_room_, 0);
    text_room_ = std::exchange(other.text_room_, 0);
    size_ = std::exchange(other.size_, 0);
    tokens_ = std::exchange(other.tokens_, 0);
    text_size_ = std::exchange(other.text_size_, 0);
  }
  return *this;
}

void StageMembers::add_member(std::string_view key) {
  if (size_ == member_room_ || key.size() > text_room_ - text_size_) {
    throw InternalError("stage members given more than their room");
  }
  if (!key.empty()) std::memcpy(text() + text_size_, key.data(), key.size());
  text_size_ += key.size();
  key_end()[size_] = text_size_;
  token_end()[size_] = tokens_;
  ++size_;
}

void StageMembers::add_token(MemberToken token) {
  if (size_ == 0 || tokens_ == token_room_) {
    throw InternalError("stage members given more than their room");
  }
  tokens()[tokens_++] = token;
  token_end()[size_ - 1] = tokens_;
}

bool operator==(const StageMembers& a, const StageMembers& b) noexcept {
  return a.size_ == b.size_ && a.tokens_ == b.tokens_ && a.text_size_ == b.text_size_ &&
         std::equal(a.key_end(), a.key_end() + a.size_, b.key_end()) &&
         std::equal(a.token_end(), a.token_end() + a.size_, b.token_end()) &&
         std::equal(a.tokens(), a.tokens() + a.tokens_, b.tokens()) &&
         std::equal(a.text(), a.text() + a.text_size_, b.text());
}

}  // namespace zembric
