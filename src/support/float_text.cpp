#include "support/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace kestrune::support {
namespace {

template <typename T>
std::string non_finite_text(T value) {
  if (std::isnan(value)) return "NaN";
  return std::signbit(value) ? "-inf" : "inf";
}

template <typename T>
std::string to_chars_text(T value, std::chars_format format) {
  char buffer[64];  // the longest shortest-digit scientific text is about 25 characters
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  return std::string(buffer, result.ptr);
}

// Positional notation of the shortest round-trip digits: the digits come from the shortest
// scientific form and are then placed around the decimal point, padded with zeros. The fixed
// format of std::to_chars is not used because for large magnitudes it prints the exact binary
// value (1e20f as 100000002004087734272) where the shortest digits give 100000000000000000000.
template <typename T>
std::string display_text(T value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  const std::string scientific = to_chars_text(value, std::chars_format::scientific);
  const bool negative = scientific[0] == '-';
  const auto e = scientific.find('e');
  std::string digits;
  for (std::size_t k = negative ? 1 : 0; k < e; ++k) {
    if (scientific[k] != '.') digits.push_back(scientific[k]);
  }
  // Digits before the decimal point: one more than the decimal exponent.
  const long point = std::stol(scientific.substr(e + 1)) + 1;
  const long count = static_cast<long>(digits.size());
  std::string text = negative ? "-" : "";
  if (point <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-point), '0');
    text += digits;
  } else if (point >= count) {
    text += digits;
    text.append(static_cast<std::size_t>(point - count), '0');
  } else {
    text += digits.substr(0, static_cast<std::size_t>(point));
    text += '.';
    text += digits.substr(static_cast<std::size_t>(point));
  }
  return text;
}

// Shortest scientific digits rewritten the way the debug form spells them: "1.5e-7", "1e16".
template <typename T>
std::string exponent_text(T value) {
  std::string text = to_chars_text(value, std::chars_format::scientific);
  const auto e = text.find('e');
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  if (!exponent.empty() && exponent[0] == '+') exponent.erase(0, 1);
  const bool negative = !exponent.empty() && exponent[0] == '-';
  std::size_t first_digit = negative ? 1 : 0;
  while (exponent.size() > first_digit + 1 && exponent[first_digit] == '0') exponent.erase(first_digit, 1);
  return mantissa + "e" + exponent;
}

template <typename T>
std::string debug_text(T value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  const T magnitude = std::fabs(value);
  if (magnitude != T(0) && (magnitude < T(1e-4) || magnitude >= T(1e16))) return exponent_text(value);
  std::string text = display_text(value);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string format_f32(float value) { return display_text(value); }
std::string format_f64(double value) { return display_text(value); }
std::string debug_f32(float value) { return debug_text(value); }
std::string debug_f64(double value) { return debug_text(value); }

}  // namespace kestrune::support
