#include "store/canonical_key.h"

#include <array>
#include <charconv>
#include <cstdint>

#include "support/decimal_text.h"

namespace zembric {

namespace {

// The characters a key text escapes, as a table: one load per character while scanning.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (const unsigned char c : {'%', ';', '=', '|'})
    escaped[c] = true;
  return escaped;
}();

}  // namespace

void append_escaped_key_text(std::string& out, std::string_view text) {
  // Texts rarely hold a character to escape, so runs of plain characters are appended whole. One
  // pass gives the same text as four ordered replacements: each escape is written once and never
  // rescanned.
  std::size_t plain = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (!kEscaped[static_cast<unsigned char>(text[k])]) [[likely]]
      continue;
    const char* escape = text[k] == '%'   ? "%25"
                         : text[k] == ';' ? "%3B"
                         : text[k] == '=' ? "%3D"
                                          : "%7C";
    out.append(text.data() + plain, k - plain);
    out.append(escape, 3);
    plain = k + 1;
  }
  out.append(text.data() + plain, text.size() - plain);
}

std::string escape_key_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped_key_text(out, text);
  return out;
}

namespace {

void append_value_code(std::string& out, const ParamValue& value) {
  switch (value.type()) {
    case ParamType::Int: {
      out += 'i';
      append_decimal(out, value.as_int());
      return;
    }
    case ParamType::Float: {
      static constexpr char kHex[] = "0123456789abcdef";
      const std::uint64_t bits = float_identity_bits(value.as_float());
      char code[17];
      code[0] = 'f';
      for (int k = 0; k < 16; ++k)
        code[1 + k] = kHex[(bits >> (60 - 4 * k)) & 0xf];
      out.append(code, sizeof code);
      return;
    }
    case ParamType::Bool:
      out += value.as_bool() ? "btrue" : "bfalse";
      return;
    case ParamType::Str:
      out += 's';
      append_escaped_key_text(out, value.as_str());
      return;
  }
}

void append_named_key(std::string& out, std::string_view prefix, const Node& node) {
  out += prefix;
  append_escaped_key_text(out, node.name());
  if (!node.params().empty()) {
    out += '|';
    append_encoded_params(out, node.params());
  }
}

}  // namespace

void append_encoded_params(std::string& out, const ParamMap& params) {
  bool first = true;
  for (const auto& [key, value] : params) {
    if (!first) out += ';';
    first = false;
    append_escaped_key_text(out, key);
    out += '=';
    append_value_code(out, value);
  }
}

std::string encode_params(const ParamMap& params) {
  std::string out;
  append_encoded_params(out, params);
  return out;
}

std::string canonical_key(const Node& node) {
  std::string out;
  append_canonical_key(out, node);
  return out;
}

void append_canonical_key(std::string& out, const Node& node) {
  switch (node.kind()) {
    case NodeKind::Source:
      append_named_key(out, "src|", node);
      break;
    case NodeKind::Op:
      append_named_key(out, "op|", node);
      break;
    case NodeKind::Reduction:
      append_named_key(out, "red|", node);
      break;
    case NodeKind::External: {
      // The descriptor texts go in unescaped: this text is observable and fixed.
      const PayloadDescriptor& d = node.descriptor();
      out += "ext|";
      for (const std::string* text :
           {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
        out += *text;
        out += '|';
      }
      out += d.preprocessing_ref ? std::string_view(*d.preprocessing_ref) : std::string_view("-");
      if (!node.params().empty()) {
        out += '|';
        append_encoded_params(out, node.params());
      }
      break;
    }
    case NodeKind::Stage:
      out += "stage|";
      out += std::to_string(node.members().size());
      break;
    case NodeKind::Exchange:
      out += "exch";
      if (!node.params().empty()) {
        out += '|';
        append_encoded_params(out, node.params());
      }
      break;
  }
}

}  // namespace zembric
