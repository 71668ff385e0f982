// StageMember: one fused operator inside a Stage node, and the tokens that name its operands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zembric {

enum class MemberTokenKind : std::uint8_t { Input = 0, Member = 1 };

// input(k): the k-th input of the stage; member(p): the p-th (earlier) member of the stage.
struct MemberToken {
  MemberTokenKind kind;
  std::uint64_t index;

  friend bool operator==(const MemberToken&, const MemberToken&) = default;
};

// A fused operator inside a Stage: its canonical key and one token per operand.
struct StageMember {
  std::string key;
  std::vector<MemberToken> tokens;

  friend bool operator==(const StageMember&, const StageMember&) = default;
};

}  // namespace zembric
