// Records of the morph training mode shared by the trainers and the artifact codecs.
#pragma once

#include <cstdint>
#include <span>

#include "core/config.hpp"

namespace kestrune::core {

// Exponential moving average of one output's gradient mean and standard deviation.
struct GradientEmaStats {
  float mean = 0.0f;
  float std = 1.0f;
  float rate = 0.05f;

  // Moves the averages towards the mean and standard deviation of `values` (float32 sums in
  // order). An empty batch, or one whose mean or variance is not finite, leaves them unchanged.
  void update(std::span<const float> values);

  friend bool operator==(const GradientEmaStats&, const GradientEmaStats&) = default;
};

// The morph factors of one round: how far training has progressed and how the split gain blends
// the second-order gain with the surprise term. During the morph warm-up (and whenever the
// surprise weight is negligible) the gain is the plain base gain.
struct MorphPrecomputed {
  float progress = 0.0f;
  float base_weight = 1.0f;
  float morph_weight = 0.0f;
  bool in_warmup = true;
  bool balance_penalty = true;
  bool negligible = true;

  // The factors of round `iteration`: before morph_warmup_iters rounds the gain is the base gain;
  // afterwards the surprise term weighs progress x info_score_weight, progress = tanh(iteration / 20).
  static MorphPrecomputed for_iteration(std::uint32_t iteration, const MorphConfig& config);

  friend bool operator==(const MorphPrecomputed&, const MorphPrecomputed&) = default;
};

}  // namespace kestrune::core
