#include "support/utf8.hpp"

namespace kestrune::support {
namespace {

// Number of bytes of the character a lead byte starts; 0 for bytes that cannot start one
// (continuation bytes, the overlong leads C0/C1, and F5..FF beyond U+10FFFF).
std::size_t sequence_width(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0u) == 0x80u; }

// The second byte's allowed range depends on the lead: it is what rules out overlong forms,
// surrogates (ED A0..BF) and code points above U+10FFFF (F4 90..).
bool second_byte_fits(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
  }
}

}  // namespace

std::string Utf8Error::to_string() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(static_cast<unsigned>(*error_len)) +
           " bytes from index " + std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t lead = bytes[i];
    const std::size_t width = sequence_width(lead);
    if (width == 1) {
      ++i;
      continue;
    }
    const auto invalid = [i](std::size_t length) {
      return Utf8Error{i, static_cast<std::uint8_t>(length)};
    };
    if (width == 0) return invalid(1);
    // Each following byte is checked as soon as it is reached: the error length is the number
    // of bytes that still formed a valid prefix, and running out of input while the prefix is
    // valid is an incomplete sequence rather than an invalid one.
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      const std::uint8_t byte = bytes[i + k];
      const bool fits = k == 1 ? second_byte_fits(lead, byte) : is_continuation(byte);
      if (!fits) return invalid(k);
    }
    i += width;
  }
  return std::nullopt;
}

std::optional<Utf8Error> validate_utf8(std::string_view text) {
  return validate_utf8(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace kestrune::support
