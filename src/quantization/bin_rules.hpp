// The code of one feature value, by the linear, rank and quantile rules. All arithmetic is
// float32 in the stated order, so codes are bit-identical wherever they are computed (training
// kernels, validation, prediction-time quantizers).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "support/casts.hpp"

namespace kestrune::quantization {

// Spans at or below this are treated as a constant feature.
inline constexpr float kMinFeatureSpan = 1e-6f;

// Half away from zero as floor(v + 0.5) / ceil(v - 0.5) in float32, then to int32 with saturation.
inline std::int32_t round_half_away_to_i32(float v) noexcept {
  const float rounded = v >= 0.0f ? std::floor(v + 0.5f) : std::ceil(v - 0.5f);
  return support::saturating_cast<std::int32_t>(rounded);
}

// Rounds and clamps into 0..max_bin.
inline std::uint16_t clamp_code(float v, std::uint16_t max_bin) noexcept {
  const std::int32_t rounded = round_half_away_to_i32(v);
  if (rounded < 0) return 0;
  if (rounded > static_cast<std::int32_t>(max_bin)) return max_bin;
  return static_cast<std::uint16_t>(rounded);
}

// x is not NaN. Equal-width steps from lo to hi.
inline std::uint16_t linear_code(float x, float lo, float hi, std::uint16_t max_bin) noexcept {
  if (x <= lo) return 0;
  if (x >= hi) return max_bin;
  const float span = hi - lo;
  if (span <= kMinFeatureSpan) return 0;
  return clamp_code((x - lo) / span * static_cast<float>(max_bin), max_bin);
}

// x is not NaN; `sorted` ascending without NaN. The position of the last training value <= x,
// scaled to 0..max_bin.
inline std::uint16_t rank_code(float x, std::span<const float> sorted, std::uint16_t max_bin) noexcept {
  const std::size_t n = sorted.size();
  if (n < 2) return 0;
  const auto at_or_below = static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), x) - sorted.begin());
  const std::size_t index = std::min(n - 1, at_or_below == 0 ? std::size_t{0} : at_or_below - 1);
  const float v = static_cast<float>(max_bin) * static_cast<float>(index) / static_cast<float>(n - 1);
  return clamp_code(v, max_bin);
}

// x is not NaN; `cuts` strictly increasing. The number of cuts <= x.
inline std::size_t quantile_code(float x, std::span<const float> cuts) noexcept {
  return static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), x) - cuts.begin());
}

}  // namespace kestrune::quantization
