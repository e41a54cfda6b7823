// The linear strategy's rank fallback for heavy-tailed features: a feature whose middle values
// (a tenth trimmed off each end, at least one value each side) span only a small part of its
// full range is binned by rank instead, so that a few far values do not squeeze the rest into a
// handful of bins. Off unless the experiment switch is on.
#pragma once

#include <span>
#include <vector>

namespace kestrune::quantization {

inline constexpr const char* kLinearTailRankVariable = "KESTRUNE_EXPERIMENT_LINEAR_TAIL_RANK";
inline constexpr const char* kLinearTailCoreSpanRatioVariable = "KESTRUNE_EXPERIMENT_LINEAR_TAIL_CORE_SPAN_RATIO";
inline constexpr float kDefaultLinearTailCoreSpanRatio = 0.1f;

// The switch, read afresh at every call: on for "1", "on", "yes", "true" after trimming and
// lower-casing; unset or anything else is off.
bool linear_tail_rank_enabled_from_env();

// The flagging threshold, read afresh at every call: unset, not UTF-8, unparsable or not finite
// gives 0.1; negative values give 0, values above 1 give 1.
float linear_tail_core_span_ratio_threshold_from_env();

// One flag per feature, from each feature's sorted non-NaN values; computed in parallel.
std::vector<bool> derive_linear_tail_rank_plan(std::span<const std::vector<float>> sorted_values, float threshold);

// The rule on one feature's sorted values.
bool linear_tail_flagged(std::span<const float> sorted, float threshold);

}  // namespace kestrune::quantization
