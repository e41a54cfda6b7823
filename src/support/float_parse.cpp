#include "support/float_parse.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <system_error>

#include "support/unicode_trim.hpp"

namespace kestrune::support {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading significant digit of an unsigned decimal text that passed the
// grammar, or nothing when every digit is zero. Only its sign matters: it tells whether a value
// that does not fit overflowed or underflowed.
std::optional<std::int64_t> leading_digit_exponent(std::string_view body) {
  std::size_t i = 0;
  std::int64_t integer_digits = 0;
  while (i < body.size() && is_digit(body[i])) ++integer_digits, ++i;
  std::optional<std::int64_t> position;
  for (std::size_t k = 0; k < static_cast<std::size_t>(integer_digits); ++k) {
    if (body[k] != '0') {
      position = integer_digits - 1 - static_cast<std::int64_t>(k);
      break;
    }
  }
  if (i < body.size() && body[i] == '.') {
    ++i;
    std::int64_t fraction_index = 0;
    while (i < body.size() && is_digit(body[i])) {
      if (!position && body[i] != '0') position = -(fraction_index + 1);
      ++fraction_index;
      ++i;
    }
  }
  if (!position) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative = body[i++] == '-';
    // Saturate: any exponent beyond this is far outside every float range.
    constexpr std::int64_t cap = 1'000'000'000'000;
    for (; i < body.size(); ++i) {
      if (exponent < cap) exponent = exponent * 10 + (body[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return *position + exponent;
}

// Whether `body` (the text after the sign) is a decimal number of the accepted grammar.
bool is_decimal_number(std::string_view body) {
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < body.size() && is_digit(body[i])) ++i, ++digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == body.size();
}

template <typename T>
std::optional<T> parse_float(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  const auto apply_sign = [negative](T value) { return negative ? -value : value; };

  const std::string lower = ascii_lowercase(text);
  if (lower == "inf" || lower == "infinity") return apply_sign(std::numeric_limits<T>::infinity());
  if (lower == "nan") return apply_sign(std::numeric_limits<T>::quiet_NaN());
  if (!is_decimal_number(text)) return std::nullopt;

  T value{};
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    const auto exponent = leading_digit_exponent(text);
    const bool overflow = exponent.has_value() && *exponent >= 0;
    value = overflow ? std::numeric_limits<T>::infinity() : T(0);
  } else if (ec != std::errc() || ptr != end) {
    return std::nullopt;  // the grammar check above should have rejected it already
  }
  return apply_sign(value);
}

}  // namespace

std::optional<float> parse_f32(std::string_view text) { return parse_float<float>(text); }
std::optional<double> parse_f64(std::string_view text) { return parse_float<double>(text); }

}  // namespace kestrune::support
