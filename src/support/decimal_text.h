// Decimal digits of an integer appended to a text, without a temporary string.
#pragma once

#include <charconv>
#include <concepts>
#include <string>

namespace zembric {

template <std::integral Integer>
void append_decimal(std::string& out, Integer value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace zembric
