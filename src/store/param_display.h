// The display forms of parameter values in rendered graphs.
#pragma once

#include <string>
#include <string_view>

namespace zembric {

// The shortest decimal text that reads back as the same double, never in exponent notation:
// 1.0 as "1", 1e21 as "1" and 21 zeros, 1e-7 as "0.0000001", -0.0 as "-0", "NaN", "inf", "-inf".
void append_float_display(std::string& out, double value);

// The text between double quotes, with \\ \" \t \r \n \0 escapes and \u{hex} for every other
// non-printable code point (see is_printable_code_point). An ill-formed UTF-8 subpart shows as
// U+FFFD, the replacement character.
void append_str_display(std::string& out, std::string_view text);

// False for the controls (C0, DEL, C1), the format characters, the line and paragraph separators,
// the spaces other than U+0020, the private-use code points and the noncharacters. Unassigned code
// points count as printable: telling them apart would need the full Unicode tables.
bool is_printable_code_point(char32_t code_point) noexcept;

}  // namespace zembric
