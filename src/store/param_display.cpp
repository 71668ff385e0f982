#include "store/param_display.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <system_error>

#include "store/utf8.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Non-printable code points from U+00A0 upwards, sorted: spaces other than U+0020 (Zs), line and
// paragraph separators (Zl, Zp), format characters (Cf), private use (Co), and the noncharacters
// U+FDD0..U+FDEF (the U+xxFFFE/U+xxFFFF ones are tested apart).
constexpr CodePointRange kNonPrintable[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
    {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},   {0x2028, 0x202F},
    {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},   {0xE000, 0xF8FF},
    {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
};

constexpr char kHexDigits[] = "0123456789abcdef";

void append_code_point_escape(std::string& out, char32_t code_point) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHexDigits[code_point & 0xF];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (count > 0)
    out += digits[--count];
  out += '}';
}

// The escape of an ASCII byte, or nullptr when it shows as itself.
const char* ascii_escape(unsigned char byte) noexcept {
  switch (byte) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\0':
      return "\\0";
    default:
      return nullptr;
  }
}

}  // namespace

bool is_printable_code_point(char32_t code_point) noexcept {
  if (code_point < 0xA0) return code_point >= 0x20 && (code_point < 0x7F);
  if ((code_point & 0xFFFE) == 0xFFFE) return false;  // noncharacters U+xxFFFE, U+xxFFFF
  const auto after = std::upper_bound(
      std::begin(kNonPrintable), std::end(kNonPrintable), code_point,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return after == std::begin(kNonPrintable) || code_point > std::prev(after)->last;
}

void append_float_display(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits in the form [-]d[.ddd]e[+-]xx; the digits are then placed around
  // the decimal point by the exponent.
  char text[32];
  const auto [text_end, error] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  if (error != std::errc()) throw InternalError("shortest float text fits 32 characters");
  const char* p = text;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  int digit_count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[digit_count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), text_end, exponent);
  // Digits before the decimal point: the value is 0.d1d2... times ten to this power.
  const int point = exponent + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, static_cast<std::size_t>(digit_count));
  } else if (point >= digit_count) {
    out.append(digits, static_cast<std::size_t>(digit_count));
    out.append(static_cast<std::size_t>(point - digit_count), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<std::size_t>(digit_count - point));
  }
}

void append_str_display(std::string& out, std::string_view text) {
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      if (const char* escape = ascii_escape(byte)) {
        out += escape;
      } else if (is_printable_code_point(byte)) {
        out += static_cast<char>(byte);
      } else {
        append_code_point_escape(out, byte);
      }
      ++pos;
      continue;
    }
    const Utf8Step step = decode_utf8_at(text, pos);
    if (!step.valid) {
      out += "\xEF\xBF\xBD";
    } else if (is_printable_code_point(step.code_point)) {
      out.append(text.substr(pos, step.length));
    } else {
      append_code_point_escape(out, step.code_point);
    }
    pos += step.length;
  }
  out += '"';
}

}  // namespace zembric
