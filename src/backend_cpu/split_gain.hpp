// What the threshold and category scans share: running bin sums, and the regularised gain of one
// candidate with the rules that refuse it.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/env.hpp"

namespace kestrune::backend_cpu {

// Adds a bin's four statistics to a running sum (float32, in the order the caller visits bins).
inline void add_bin(core::HistogramBin& sum, const core::HistogramBin& bin) {
  sum.grad_sum += bin.grad_sum;
  sum.hess_sum += bin.hess_sum;
  sum.grad_sq_sum += bin.grad_sq_sum;
  sum.count += bin.count;
}

// a - b for row counts, floored at 0.
inline std::uint32_t saturating_count_sub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

// |leaf value| of a child: its effective gradient over its regularised hessian.
inline float leaf_value_magnitude(const core::HistogramBin& side, const engine::SplitSelectionOptions& options) {
  const float g = core::leaf_effective_gradient(side.grad_sum, side.grad_sq_sum, side.count, options.split_l1,
                                               options.gradient_noise_strength);
  return std::fabs(g) / ((options.split_l2 + side.hess_sum) + core::kLeafDenominatorEpsilon);
}

// The unscaled leaf value of a child, -g' / ((split_l2 + H) + 1e-6) (no learning rate).
inline float child_leaf_value(const core::HistogramBin& side, const engine::SplitSelectionOptions& options) {
  const float g = core::leaf_effective_gradient(side.grad_sum, side.grad_sq_sum, side.count, options.split_l1,
                                               options.gradient_noise_strength);
  return -g / ((options.split_l2 + side.hess_sum) + core::kLeafDenominatorEpsilon);
}

inline float gain_term(const core::HistogramBin& side, const engine::SplitSelectionOptions& options) {
  return core::leaf_gain_term(side.grad_sum, side.hess_sum, side.grad_sq_sum, side.count, options.split_l1,
                              options.split_l2, options.gradient_noise_strength);
}

// Whether a candidate is refused whatever its gain: a child's hessian is at most min_child_hess,
// a child is empty or below min_rows_per_leaf, or both leaf values are below min_leaf_magnitude
// (when it is positive).
inline bool candidate_refused(const core::HistogramBin& left, const core::HistogramBin& right,
                              const engine::SplitSelectionOptions& options) {
  if (left.hess_sum <= options.min_child_hess || right.hess_sum <= options.min_child_hess) return true;
  if (left.count == 0 || right.count == 0) return true;
  if (left.count < options.min_rows_per_leaf || right.count < options.min_rows_per_leaf) return true;
  const float magnitude = options.min_leaf_magnitude;
  return magnitude > 0.0f && leaf_value_magnitude(left, options) < magnitude &&
         leaf_value_magnitude(right, options) < magnitude;
}

// The gain of one candidate, or nothing when it is refused or its gain is not finite.
inline std::optional<float> candidate_gain(const core::HistogramBin& left, const core::HistogramBin& right,
                                           float parent_term_doubled, const engine::SplitSelectionOptions& options) {
  if (candidate_refused(left, right, options)) return std::nullopt;
  const float term_l = gain_term(left, options);
  const float term_r = gain_term(right, options);
  const float gain = ((term_l + term_l) + (term_r + term_r)) - parent_term_doubled;
  if (!std::isfinite(gain)) return std::nullopt;
  return gain;
}

}  // namespace kestrune::backend_cpu
