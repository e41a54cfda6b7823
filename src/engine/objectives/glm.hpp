// Log-link objectives of the generalized-linear family: the raw score is the log of the predicted
// mean. Poisson for counts, Gamma for positive continuous targets, Tweedie (variance power in
// (1, 2)) for non-negative targets with a point mass at zero. Scores are clamped to [-50, 50]
// before any exponential.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "engine/objectives/contract.hpp"

namespace kestrune::engine::objectives {

// The raw-score clamp of every log-link objective; a NaN score stays NaN.
inline float clamp_log_link_score(float p) noexcept {
  if (p < -50.0f) return -50.0f;
  if (p > 50.0f) return 50.0f;
  return p;
}

// (sum of w*y, sum of w) in float32, row order; without weights (sum of y, row count). Checks the
// weights' length, then each weight.
std::pair<float, float> glm_weighted_target_sum(std::span<const float> targets, const Weights& weights);

// Every operation of the three objectives checks the lengths of predictions, targets and weights.
// Gradients check each weight and each pair; losses check neither weights nor targets.
struct PoissonObjective {
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // Weighted mean of exp(p) - y*p (the negative log-likelihood without log(y!)).
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
};

struct GammaObjective {
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // Weighted mean of r - ln r - 1 with r = y / mean (half the Gamma deviance).
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
};

class TweedieObjective {
 public:
  // Rejects a variance power outside the open interval (1, 2) (EngineError::InvalidConfig).
  static TweedieObjective make(float variance_power);

  float variance_power() const noexcept { return variance_power_; }

  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // Weighted mean of the unit deviance.
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;

 private:
  explicit TweedieObjective(float variance_power) : variance_power_(variance_power) {}
  float variance_power_;
};

}  // namespace kestrune::engine::objectives
