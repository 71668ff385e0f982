// Reads a Stage member's key (an Op or Reduction canonical key) back into its parts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/param_map.h"

namespace zembric {

struct MemberKeyParts {
  std::string kind;  // "op" or "red"
  std::string name;
  ParamMap params;
};

// Reverses escape_key_text: %7C, %3D, %3B, then %25, each as its own pass.
std::string unescape_key_text(std::string_view text);

// The parts of the key, or nothing when the key is unreadable.
std::optional<MemberKeyParts> read_member_key(std::string_view key);

}  // namespace zembric
