// UTF-8 validation and decoding by the rules of the Unicode standard: no overlong forms, no
// surrogates (U+D800..U+DFFF), nothing above U+10FFFF.
#pragma once

#include <cstdint>

#include <cstddef>
#include <string_view>

namespace zembric {

// The high bit of every byte of a word: a word of text ANDed with it is non-zero exactly when one
// of its bytes is not ASCII.
inline constexpr std::uint64_t kNonAsciiBits = 0x8080808080808080ULL;

bool is_valid_utf8(std::string_view text) noexcept;

// One step of decoding. For an ill-formed sequence `valid` is false and `length` covers its maximal
// well-formed prefix (at least one byte), so that each ill-formed subpart counts as one error.
struct Utf8Step {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// Decodes the sequence that starts at `pos` (which must be smaller than text.size()).
Utf8Step decode_utf8_at(std::string_view text, std::size_t pos) noexcept;

}  // namespace zembric
