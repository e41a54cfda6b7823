#include "support/unicode_trim.hpp"

#include <cstddef>
#include <optional>

namespace kestrune::support {
namespace {

struct Decoded {
  std::uint32_t code_point;
  std::size_t length;
};

std::uint8_t byte_at(std::string_view text, std::size_t i) { return static_cast<std::uint8_t>(text[i]); }

// The character that starts at text[i], or nothing when the bytes there are not a complete,
// well-formed UTF-8 sequence.
std::optional<Decoded> decode_at(std::string_view text, std::size_t i) {
  const std::uint8_t lead = byte_at(text, i);
  std::size_t length;
  std::uint32_t code_point;
  if (lead < 0x80) return Decoded{lead, 1};
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
  } else {
    return std::nullopt;
  }
  if (length > text.size() - i) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k) {
    const std::uint8_t byte = byte_at(text, i + k);
    if ((byte & 0xC0u) != 0x80u) return std::nullopt;
    code_point = (code_point << 6) | (byte & 0x3Fu);
  }
  const bool overlong = (length == 3 && code_point < 0x800) || (length == 4 && code_point < 0x10000);
  const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  if (overlong || surrogate || code_point > 0x10FFFF) return std::nullopt;
  return Decoded{code_point, length};
}

// The character that ends at text[end - 1], or nothing.
std::optional<Decoded> decode_before(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (byte_at(text, start) & 0xC0u) == 0x80u) --start;
  const auto decoded = decode_at(text, start);
  if (!decoded || start + decoded->length != end) return std::nullopt;
  return decoded;
}

}  // namespace

bool is_unicode_whitespace(std::uint32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view utf8) {
  std::size_t begin = 0;
  while (begin < utf8.size()) {
    const auto decoded = decode_at(utf8, begin);
    if (!decoded || !is_unicode_whitespace(decoded->code_point)) break;
    begin += decoded->length;
  }
  std::size_t end = utf8.size();
  while (end > begin) {
    const auto decoded = decode_before(utf8, end);
    if (!decoded || decoded->length > end - begin || !is_unicode_whitespace(decoded->code_point)) break;
    end -= decoded->length;
  }
  return utf8.substr(begin, end - begin);
}

std::string ascii_lowercase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace kestrune::support
