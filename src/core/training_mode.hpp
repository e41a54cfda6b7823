// Records of the morph training mode shared by the trainers and the artifact codecs.
#pragma once

#include <cmath>
#include <cstdint>

#include "core/config.hpp"

namespace kestrune::core {

// Exponential moving average of one output's gradient mean and standard deviation.
struct GradientEmaStats {
  float mean = 0.0f;
  float std = 1.0f;
  float rate = 0.05f;

  friend bool operator==(const GradientEmaStats&, const GradientEmaStats&) = default;
};

// The morph gain's factors for one round. During the warm-up rounds the surprise term is off
// (negligible); afterwards its weight ramps up as tanh(iteration / 20).
struct MorphPrecomputed {
  float progress = 0.0f;
  float base_weight = 1.0f;
  float morph_weight = 0.0f;
  bool in_warmup = true;
  bool balance_penalty = false;  // copy of the configuration's
  bool negligible = true;

  static MorphPrecomputed for_iteration(std::uint32_t iteration, const MorphConfig& config) {
    if (iteration < config.morph_warmup_iters) return {0.0f, 1.0f, 0.0f, true, config.balance_penalty, true};
    const float progress = std::tanh(static_cast<float>(iteration) / 20.0f);
    const float morph_weight = progress * config.info_score_weight;
    return {progress, 1.0f - config.info_score_weight, morph_weight, false, config.balance_penalty,
            std::fabs(morph_weight) < 1e-6f};
  }

  friend bool operator==(const MorphPrecomputed&, const MorphPrecomputed&) = default;
};

}  // namespace kestrune::core
