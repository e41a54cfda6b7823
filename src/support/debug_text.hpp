// Debug renderings that messages embed: a string between double quotes with escapes.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::support {

// "text" with \" \\ \n \r \t \0 escaped and other control characters as \u{..}. The input is
// taken as UTF-8; bytes that are not valid UTF-8 are shown as \x.. escapes.
std::string debug_quote(std::string_view text);

}  // namespace kestrune::support
