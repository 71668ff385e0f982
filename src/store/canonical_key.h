// Canonical node keys: one line of text per node without its inputs. The optimizer uses a key as
// the operator symbol of a term, a Stage stores its members' keys, and the incremental reducer
// tests keys against the identity operators.
#pragma once

#include <string>
#include <string_view>

#include "store/node.h"
#include "store/param_map.h"

namespace zembric {

// Escapes "%", ";", "=" and "|" (in that order) as %25, %3B, %3D and %7C.
std::string escape_key_text(std::string_view text);
void append_escaped_key_text(std::string& out, std::string_view text);

// "key=code;key=code" in map order; empty for an empty map.
std::string encode_params(const ParamMap& params);
void append_encoded_params(std::string& out, const ParamMap& params);

std::string canonical_key(const Node& node);
// Appends the key to `out`, so that a caller keying many nodes reuses one buffer.
void append_canonical_key(std::string& out, const Node& node);

}  // namespace zembric
