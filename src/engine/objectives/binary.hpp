// Binary cross-entropy on a logit: gradient w*(s - y), hessian w*max(s*(1 - s), 1e-7), with s the
// sigmoid of the score. Labels are expected to be 0 or 1 and are not checked.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// The logistic function of f given e = exp(-|f|), the one exponential it needs: 1 / (1 + e) for
// f >= 0, else e / (1 + e). Only the numerator is chosen by the sign, so the choice is a select
// rather than a branch, which logits of both signs in row order would mispredict half the time
// (the per-row gradient pass took twice as long with it).
inline float sigmoid_given_exp(float f, float e) noexcept { return (f >= 0.0f ? 1.0f : e) / (1.0f + e); }

// The logistic function without overflow: exp is only ever taken of a non-positive value.
inline float stable_sigmoid(float f) noexcept { return sigmoid_given_exp(f, std::exp(f >= 0.0f ? -f : f)); }

struct BinaryCrossEntropyObjective {
  // Lengths, then each pair through the checked constructor (a bad weight surfaces as a bad pair).
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  // Logit of the weighted label mean, the mean clamped to [1e-7, 0.99999988].
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // Per-round path: lengths only.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  // Both in one pass over the rows: compute_gradients_into's pairs, and the float loss returns.
  float compute_gradients_and_loss_into(std::span<const float> predictions, std::span<const float> targets,
                                        const Weights& weights, std::vector<GradientPair>& out) const;
  // The float loss returns, its rows' terms computed into `terms` (resized to the row count) by
  // the calling thread and the pool's idle workers (see mean_logistic_loss_when_idle).
  float loss_when_idle(std::span<const float> predictions, std::span<const float> targets, const Weights& weights,
                       std::vector<float>& terms) const;
};

}  // namespace kestrune::engine::objectives
