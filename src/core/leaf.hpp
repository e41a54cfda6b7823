// Leaf outputs and the two leaf formulas that tree growth and split search share.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/histogram.hpp"
#include "support/boxed.hpp"

namespace kestrune::core {

// intercept + sum_j coefficients[j] * raw[feature_indices[j]]; at most 8 terms when stored.
struct LinearLeaf {
  std::vector<float> coefficients;
  std::vector<std::uint32_t> feature_indices;
  float intercept = 0.0f;

  friend bool operator==(const LinearLeaf&, const LinearLeaf&) = default;
};

// One side's output: a float32 constant or a linear model. The model is boxed because a tree
// keeps two of these per split and almost all are constants. A linear side always holds a model
// (one is only ever made from a LinearLeaf); read it through the accessors below.
using LeafValue = std::variant<float, support::Boxed<LinearLeaf>>;

// The model of a linear side; null for a constant side.
inline const LinearLeaf* linear_leaf_if(const LeafValue& value) {
  const auto* box = std::get_if<support::Boxed<LinearLeaf>>(&value);
  return box != nullptr ? box->operator->() : nullptr;
}
inline LinearLeaf* linear_leaf_if(LeafValue& value) {
  auto* box = std::get_if<support::Boxed<LinearLeaf>>(&value);
  return box != nullptr ? box->operator->() : nullptr;
}

// The model of a side that is linear; std::bad_variant_access for a constant side.
inline const LinearLeaf& linear_leaf(const LeafValue& value) { return *std::get<support::Boxed<LinearLeaf>>(value); }
inline LinearLeaf& linear_leaf(LeafValue& value) { return *std::get<support::Boxed<LinearLeaf>>(value); }

// The rows a split sent to each side, in node order, with each side's sums.
struct PartitionResult {
  RowList left_rows;
  RowList right_rows;
  HistogramBin left_stats;
  HistogramBin right_stats;
  // The gradient pairs of the smaller side's rows (the right side only when it has strictly
  // fewer rows), in that side's row order, when the partition gathered them anyway (nodes
  // partitioned in blocks); empty otherwise. The smaller child's histograms then read them in
  // sequence instead of looking each one up.
  PairList smaller_side_pairs;
};

// The float32 nearest to 1e-6 (bit pattern 0x358637BD), added to every leaf denominator.
inline constexpr float kLeafDenominatorEpsilon = 1e-6f;

// The split search calls both leaf formulas for every bin boundary, so they are inline: plain
// values in, no allocation, float64 only inside the optional variance term.

// Soft-thresholded leaf gradient g' (L1 threshold, optionally widened by gradient noise).
inline float leaf_effective_gradient(float grad_sum, float grad_sq_sum, std::uint32_t count, float lambda_l1,
                                     std::optional<float> gradient_noise_strength) {
  // fmax drops a NaN operand, so a NaN lambda_l1 acts as no L1 threshold at all.
  float threshold = std::fmax(lambda_l1, 0.0f);
  // Noise widening: the threshold grows with the standard error of the leaf's mean gradient,
  // so leaves whose gradients disagree are shrunk harder. `!(s > 0)` also skips a NaN strength.
  if (gradient_noise_strength.has_value() && *gradient_noise_strength > 0.0f) {
    const double n = static_cast<double>(count > 0 ? count : 1u);
    const double mean = static_cast<double>(grad_sum) / n;
    double variance = static_cast<double>(grad_sq_sum) / n - mean * mean;
    variance = std::fmax(variance, 0.0);
    const double extra = std::sqrt(variance) * (std::sqrt(n) * static_cast<double>(*gradient_noise_strength));
    threshold = threshold + static_cast<float>(extra);
  }
  if (grad_sum > threshold) return grad_sum - threshold;
  if (grad_sum < -threshold) return grad_sum + threshold;
  return 0.0f;
}

// (g' * (g' * 0.5)) / ((H + lambda_l2) + 1e-6), all float32.
inline float leaf_gain_term(float grad_sum, float hess_sum, float grad_sq_sum, std::uint32_t count, float lambda_l1,
                            float lambda_l2, std::optional<float> gradient_noise_strength) {
  const float g = leaf_effective_gradient(grad_sum, grad_sq_sum, count, lambda_l1, gradient_noise_strength);
  return (g * (g * 0.5f)) / ((hess_sum + lambda_l2) + kLeafDenominatorEpsilon);
}

}  // namespace kestrune::core
