#include "store/optimizer_key.h"

#include <charconv>
#include <cstdint>

#include "store/canonical_key.h"
#include "support/decimal_text.h"
#include "support/seeded_hash.h"

namespace zembric {
namespace {

// Every text is escaped, so "|" only separates fields and the ref marker cannot be confused.
void append_external_key(std::string& out, const Node& node) {
  const PayloadDescriptor& d = node.descriptor();
  out += "ext|";
  for (const std::string* text :
       {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
    append_escaped_key_text(out, *text);
    out += '|';
  }
  if (d.preprocessing_ref) {
    out += '+';
    append_escaped_key_text(out, *d.preprocessing_ref);
  } else {
    out += '-';
  }
  if (!node.params().empty()) {
    out += '|';
    append_encoded_params(out, node.params());
  }
}

// Escaped member keys hold no "|" or ";", which therefore delimit members and tokens.
void append_stage_key(std::string& out, const Node& node) {
  append_canonical_key(out, node);
  for (const StageMemberView member : node.members()) {
    out += '|';
    append_escaped_key_text(out, member.key);
    for (const MemberToken& token : member.tokens) {
      out += token.kind == MemberTokenKind::Input ? ";i" : ";m";
      append_decimal(out, token.index);
    }
  }
}

}  // namespace

std::string optimizer_key(const Node& node) {
  std::string out;
  append_optimizer_key(out, node);
  return out;
}

void append_optimizer_key(std::string& out, const Node& node) {
  switch (node.kind()) {
    case NodeKind::External:
      append_external_key(out, node);
      return;
    case NodeKind::Stage:
      append_stage_key(out, node);
      return;
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
    case NodeKind::Exchange:
      break;
  }
  append_canonical_key(out, node);
}

[[gnu::hot]] std::uint64_t optimizer_key_hash(std::string_view key, std::uint64_t seed) noexcept {
  SeededHasher h(seed);
  h.add_bytes(key);
  return h.finish();
}

}  // namespace zembric
