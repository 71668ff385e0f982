#include "store/member_key_reader.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace zembric {

namespace {

void replace_all(std::string& text, std::string_view from, char to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
    out.append(text, start, at - start);
    out += to;
    start = at + from.size();
  }
  out.append(text, start);
  text = std::move(out);
}

bool is_decimal_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_hex_digit(char c) {
  return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// An optional sign, then at least one decimal digit. std::from_chars takes no "+", so the sign is
// read here and the magnitude parsed unsigned, which also keeps INT64_MIN in range.
std::optional<std::int64_t> parse_int(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!is_decimal_digit(c)) return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - magnitude);
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

std::optional<double> parse_float_bits(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (!is_hex_digit(c)) return std::nullopt;
  }
  std::uint64_t bits = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return std::bit_cast<double>(bits);
}

std::optional<ParamValue> parse_value(std::string_view code) {
  if (code.empty()) return std::nullopt;
  const std::string_view payload = code.substr(1);
  switch (code.front()) {
    case 'b':
      if (payload == "true") return ParamValue::of_bool(true);
      if (payload == "false") return ParamValue::of_bool(false);
      return std::nullopt;
    case 'i':
      if (auto value = parse_int(payload)) return ParamValue::of_int(*value);
      return std::nullopt;
    case 'f':
      if (auto value = parse_float_bits(payload)) return ParamValue::of_float(*value);
      return std::nullopt;
    case 's':
      return ParamValue::of_str(unescape_key_text(payload));
    default:
      return std::nullopt;
  }
}

std::optional<ParamMap> parse_params(std::string_view text) {
  std::vector<ParamEntry> entries;
  if (text.empty()) return ParamMap();
  while (true) {
    const std::size_t semicolon = text.find(';');
    const std::string_view entry = text.substr(0, semicolon);
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    auto value = parse_value(entry.substr(equals + 1));
    if (!value) return std::nullopt;
    entries.emplace_back(unescape_key_text(entry.substr(0, equals)), std::move(*value));
    if (semicolon == std::string_view::npos) break;
    text.remove_prefix(semicolon + 1);
  }
  return ParamMap::from_unsorted(std::move(entries));
}

}  // namespace

std::string unescape_key_text(std::string_view text) {
  std::string out(text);
  if (out.find('%') == std::string::npos) return out;
  // Separate passes in the reverse order of escaping, "%25" last, so that an escaped "%7C"
  // ("%257C") comes back as the text "%7C" and not as a bar.
  replace_all(out, "%7C", '|');
  replace_all(out, "%3D", '=');
  replace_all(out, "%3B", ';');
  replace_all(out, "%25", '%');
  return out;
}

std::optional<MemberKeyParts> read_member_key(std::string_view key) {
  const std::size_t first_bar = key.find('|');
  if (first_bar == std::string_view::npos) return std::nullopt;
  const std::string_view kind = key.substr(0, first_bar);
  if (kind != "op" && kind != "red") return std::nullopt;

  std::string_view rest = key.substr(first_bar + 1);
  const std::size_t second_bar = rest.find('|');
  const std::string_view name = rest.substr(0, second_bar);
  const std::string_view params_text =
      second_bar == std::string_view::npos ? std::string_view() : rest.substr(second_bar + 1);

  auto params = parse_params(params_text);
  if (!params) return std::nullopt;
  return MemberKeyParts{std::string(kind), unescape_key_text(name), std::move(*params)};
}

}  // namespace zembric
