#include "store/param_map.h"

#include <algorithm>
#include <bit>
#include <string_view>

namespace zembric {

std::uint64_t canonical_float_bits(double value) noexcept {
  return value != value ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(value);
}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  if (a.value_.index() != b.value_.index()) return false;
  switch (a.type()) {
    case ParamType::Int:
      return a.as_int() == b.as_int();
    case ParamType::Float:
      return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
    case ParamType::Bool:
      return a.as_bool() == b.as_bool();
    case ParamType::Str:
      return a.as_str() == b.as_str();
  }
  return false;
}

ParamMap ParamMap::from_unsorted(std::vector<ParamEntry> entries) {
  // std::string's operator< compares char_traits<char>, which orders bytes as unsigned.
  std::stable_sort(entries.begin(), entries.end(), [](const ParamEntry& a, const ParamEntry& b) {
    return std::string_view(a.first) < std::string_view(b.first);
  });
  ParamMap map;
  map.entries_ = std::move(entries);
  return map;
}

}  // namespace zembric
