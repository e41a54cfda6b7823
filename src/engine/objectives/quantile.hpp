// Quantile regression (pinball loss, identity link) and the weighted quantile of a list of values.
#pragma once

#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// The alpha-quantile of `values`: the smallest value whose cumulative share of weight reaches
// alpha, never an interpolation. Without weights, the k-th smallest value with
// k = min(n - 1, ceil(max(n*alpha - 1, 0))). Values must be finite; weights finite and > 0.
float weighted_quantile(std::span<const float> values, const Weights& weights, float alpha);

// `alpha` must be finite and in (0, 1); the driver refuses other values before any call here.
struct QuantileObjective {
  float alpha = 0.5f;

  // Lengths, then per row the weight and the pair.
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  // weighted_quantile of the targets.
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // Per-round path: lengths only.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // Mean pinball loss, float64 sum divided by the row count (also when weighted).
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
};

}  // namespace kestrune::engine::objectives
