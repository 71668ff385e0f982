#include "store/utf8.h"

#include <cstdint>
#include <cstring>

namespace zembric {
namespace {

// The bounds of the second byte of a sequence with this lead byte; the later bytes are always
// 0x80..0xBF. The narrowed ranges after E0, ED, F0 and F4 exclude overlong forms, surrogates and
// code points above U+10FFFF.
struct LeadRule {
  unsigned char length;  // 0 for a byte that cannot start a sequence
  unsigned char second_min;
  unsigned char second_max;
};

constexpr LeadRule lead_rule(unsigned char lead) noexcept {
  if (lead < 0xC2) return {0, 0, 0};  // continuation bytes and the overlong leads C0, C1
  if (lead < 0xE0) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead < 0xF0) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead < 0xF4) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

Utf8Step decode_utf8_at(std::string_view text, std::size_t pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t available = text.size() - pos;
  const unsigned char lead = p[0];
  if (lead < 0x80) return {lead, 1, true};
  const LeadRule rule = lead_rule(lead);
  if (rule.length == 0) return {0, 1, false};
  if (available < 2 || p[1] < rule.second_min || p[1] > rule.second_max) return {0, 1, false};
  static constexpr unsigned char kLeadMask[5] = {0, 0, 0x1F, 0x0F, 0x07};
  char32_t code_point = lead & kLeadMask[rule.length];
  code_point = (code_point << 6) | (p[1] & 0x3F);
  for (std::size_t i = 2; i < rule.length; ++i) {
    if (i >= available || !is_continuation(p[i])) return {0, i, false};
    code_point = (code_point << 6) | (p[i] & 0x3F);
  }
  return {code_point, rule.length, true};
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    // Names, keys and most values are ASCII: skip eight such bytes at a time.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & kNonAsciiBits) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const LeadRule rule = lead_rule(lead);
    if (rule.length == 0 || end - p < rule.length) return false;
    if (p[1] < rule.second_min || p[1] > rule.second_max) return false;
    for (std::size_t i = 2; i < rule.length; ++i) {
      if (!is_continuation(p[i])) return false;
    }
    p += rule.length;
  }
  return true;
}

}  // namespace zembric
