// Small text helpers for values read from the environment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::support {

// Whether a code point has the Unicode White_Space property.
bool is_unicode_whitespace(std::uint32_t code_point) noexcept;

// `utf8` without its leading and trailing White_Space characters (tab through carriage return,
// space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000). Meant
// for valid UTF-8; trimming stops at any byte sequence that is not, so nothing invalid is cut.
std::string_view trim_unicode_whitespace(std::string_view utf8);

// A copy with 'A'..'Z' turned into 'a'..'z'; every other byte is kept as is.
std::string ascii_lowercase(std::string_view text);

}  // namespace kestrune::support
