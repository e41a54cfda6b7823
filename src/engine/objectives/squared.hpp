// Squared error on the plain score: gradient w*(p - y), hessian w.
#pragma once

#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

struct SquaredErrorObjective {
  // Checks lengths, then per row the weight and the pair.
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  // Weighted mean of the targets (float32 sums in row order).
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // Per-round path: lengths only; the dry run has already checked weights and pairs.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
};

// The checked gradients written into a caller's buffer: what compute_gradients returns, without a
// new list. Query RMSE runs this path every round.
void squared_error_gradients_checked_into(std::span<const float> predictions, std::span<const float> targets,
                                          const Weights& weights, std::vector<GradientPair>& out);

}  // namespace kestrune::engine::objectives
