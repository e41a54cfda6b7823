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
  char buffer[400];  // the longest fixed float64 text is about 330 characters
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  return std::string(buffer, result.ptr);
}

template <typename T>
std::string display_text(T value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  return to_chars_text(value, std::chars_format::fixed);
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
