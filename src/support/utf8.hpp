// UTF-8 validation that reports where and how a byte sequence stops being UTF-8: the length of
// the valid prefix, and the length of the offending sequence (absent when the input simply ends
// in the middle of a character that was well-formed so far).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune::support {

struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;

  // "invalid utf-8 sequence of {n} bytes from index {i}" or
  // "incomplete utf-8 byte sequence from index {i}".
  std::string to_string() const;

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// Nothing when `bytes` is valid UTF-8, otherwise the first error.
std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes);
std::optional<Utf8Error> validate_utf8(std::string_view text);

}  // namespace kestrune::support
