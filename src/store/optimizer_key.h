// The optimizer's identity for the non-input content of a node. A canonical key leaves External
// descriptor texts unescaped and gives a Stage only its member count, so two different nodes can
// share one; the optimizer would then merge them or rebuild one from the other's prototype. This
// key is injective on the non-input content of a node, whatever its kind:
// - Op, Source, Reduction and Exchange: the canonical key itself (already injective), so Op keys
//   stay the rules' operator symbols and the keys of Stage members.
// - External: "ext|" and the five descriptor texts escaped, then "-" for an absent
//   preprocessing_ref or "+" and the escaped text for a present one, then "|" and the params.
//   Equal to the canonical key when no descriptor text needs escaping and no ref is present.
// - Stage: the canonical key "stage|<count>", then per member "|", its escaped key and one
//   ";i<k>" or ";m<p>" per token.
// No key of a non-Op node starts with "op|", so the boundary test on the key prefix holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/node.h"

namespace zembric {

std::string optimizer_key(const Node& node);
// Appends the key to `out`, so that a caller keying many nodes reuses one buffer.
void append_optimizer_key(std::string& out, const Node& node);
// The hash of a key text under `seed`, as a table of keys locates it.
std::uint64_t optimizer_key_hash(std::string_view key, std::uint64_t seed) noexcept;

}  // namespace zembric
