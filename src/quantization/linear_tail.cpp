#include "quantization/linear_tail.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "engine/env.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/float_parse.hpp"
#include "support/unicode_trim.hpp"
#include "support/utf8.hpp"

namespace kestrune::quantization {

bool linear_tail_rank_enabled_from_env() { return engine::env_toggle_enabled(kLinearTailRankVariable); }

float linear_tail_core_span_ratio_threshold_from_env() {
  const char* raw = std::getenv(kLinearTailCoreSpanRatioVariable);
  if (raw == nullptr) return kDefaultLinearTailCoreSpanRatio;
  const std::string_view text(raw);
  if (support::validate_utf8(text).has_value()) return kDefaultLinearTailCoreSpanRatio;
  const std::optional<float> parsed = support::parse_f32(support::trim_unicode_whitespace(text));
  if (!parsed || !std::isfinite(*parsed)) return kDefaultLinearTailCoreSpanRatio;
  if (*parsed < 0.0f) return 0.0f;
  if (*parsed > 1.0f) return 1.0f;
  return *parsed;
}

bool linear_tail_flagged(std::span<const float> sorted, float threshold) {
  const std::size_t n = sorted.size();
  if (n < 5) return false;
  const float span = sorted[n - 1] - sorted[0];
  if (span <= 1e-6f) return false;
  std::size_t k = support::saturating_cast<std::size_t>(std::floor(static_cast<float>(n) * 0.1f));
  if (k < 1) k = 1;
  if (n <= 2 * k) return false;
  const float ratio = (sorted[n - 1 - k] - sorted[k]) / span;
  if (!std::isfinite(ratio)) return false;
  return ratio <= threshold;
}

std::vector<bool> derive_linear_tail_rank_plan(std::span<const std::vector<float>> sorted_values, float threshold) {
  // Collected as bytes: concurrent writes to a vector<bool> would race on shared words.
  const std::vector<std::uint8_t> flags = parallel::parallel_map<std::uint8_t>(
      sorted_values.size(), [&](std::size_t feature) {
        return static_cast<std::uint8_t>(linear_tail_flagged(sorted_values[feature], threshold) ? 1 : 0);
      });
  return std::vector<bool>(flags.begin(), flags.end());
}

}  // namespace kestrune::quantization
