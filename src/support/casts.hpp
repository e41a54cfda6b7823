// Numeric conversions with defined results. A static_cast of an out-of-range float to an
// integer is undefined behaviour; the conversions here saturate, wrap or report instead, so every
// float-to-int and narrowing conversion in the code base says which of the three it wants.
#pragma once

#include <concepts>
#include <cstddef>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

namespace kestrune::support {

template <typename T>
concept NonBoolIntegral = std::integral<T> && !std::same_as<std::remove_cv_t<T>, bool>;

// Float to integer: truncation toward zero, NaN -> 0, values beyond the range clamp to the
// type's minimum or maximum (negative values give 0 for unsigned types).
template <NonBoolIntegral T, std::floating_point F>
constexpr T saturating_cast(F value) noexcept {
  if (value != value) return T(0);  // NaN
  constexpr T low = std::numeric_limits<T>::min();
  constexpr T high = std::numeric_limits<T>::max();
  // Both bounds are powers of two (or zero) and therefore exact in F: the minimum itself and
  // max + 1, the first value that no longer fits.
  constexpr F low_bound = static_cast<F>(low);
  constexpr F high_bound_exclusive = static_cast<F>(high / 2 + 1) * F(2);
  if (value <= low_bound) return low;
  if (value >= high_bound_exclusive) return high;
  return static_cast<T>(value);  // in (low - 1, high + 1): truncation is defined
}

// Integer to integer keeping the low bits (two's complement wrap-around), for narrowing that is
// meant to wrap. Written out so that such places are easy to find.
template <NonBoolIntegral T, std::integral U>
constexpr T wrapping_cast(U value) noexcept {
  return static_cast<T>(value);
}

// Integer to integer when the value fits, nothing otherwise.
template <NonBoolIntegral T, NonBoolIntegral U>
constexpr std::optional<T> checked_cast(U value) noexcept {
  if (!std::in_range<T>(value)) return std::nullopt;
  return static_cast<T>(value);
}

// Size arithmetic on counts that come from outside: nothing on overflow.
constexpr std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::nullopt;
  return a * b;
}

constexpr std::optional<std::size_t> checked_add(std::size_t a, std::size_t b) noexcept {
  if (b > std::numeric_limits<std::size_t>::max() - a) return std::nullopt;
  return a + b;
}

}  // namespace kestrune::support
