// Leaf outputs and the two leaf formulas that tree growth and split search share.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::core {

// intercept + sum_j coefficients[j] * raw[feature_indices[j]]; at most 8 terms when stored.
struct LinearLeaf {
  std::vector<float> coefficients;
  std::vector<std::uint32_t> feature_indices;
  float intercept = 0.0f;

  friend bool operator==(const LinearLeaf&, const LinearLeaf&) = default;
};

// One side's output: a float32 constant or a linear model.
using LeafValue = std::variant<float, LinearLeaf>;

// The rows a split sent to each side, in node order, with each side's sums.
struct PartitionResult {
  std::vector<std::uint32_t> left_rows;
  std::vector<std::uint32_t> right_rows;
  HistogramBin left_stats;
  HistogramBin right_stats;
};

// Soft-thresholded leaf gradient g' (L1 threshold, optionally widened by gradient noise).
float leaf_effective_gradient(float grad_sum, float grad_sq_sum, std::uint32_t count, float lambda_l1,
                              std::optional<float> gradient_noise_strength);

// (g' * (g' * 0.5)) / ((H + lambda_l2) + 1e-6), all float32.
float leaf_gain_term(float grad_sum, float hess_sum, float grad_sq_sum, std::uint32_t count, float lambda_l1,
                     float lambda_l2, std::optional<float> gradient_noise_strength);

// The float32 nearest to 1e-6 (bit pattern 0x358637BD), added to every leaf denominator.
inline constexpr float kLeafDenominatorEpsilon = 1e-6f;

}  // namespace kestrune::core
