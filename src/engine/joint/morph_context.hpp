// The morph mode's snapshot for one joint round: each output's gradient statistics, the morph
// configuration and the round's precomputed factors. The joint fit builds it once per round and
// its round builders hand its pieces to the morph gains.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/training_mode.hpp"
#include "engine/morph.hpp"

namespace kestrune::engine::joint {

struct JointMorphContext {
  std::vector<float> ema_means;  // one per output, in output order
  std::vector<float> ema_stds;
  core::MorphConfig config;
  core::MorphPrecomputed precomputed;
  std::uint32_t iteration = 0;
  std::uint32_t total_iterations = 0;

  // From the morph state's per-output statistics and configuration.
  static JointMorphContext from_state(std::span<const core::GradientEmaStats> ema_stats,
                                      const core::MorphConfig& config, std::uint32_t iteration,
                                      std::uint32_t total_iterations) {
    JointMorphContext context;
    context.ema_means.reserve(ema_stats.size());
    context.ema_stds.reserve(ema_stats.size());
    for (const core::GradientEmaStats& stats : ema_stats) {
      context.ema_means.push_back(stats.mean);
      context.ema_stds.push_back(stats.std);
    }
    context.config = config;
    context.precomputed = core::MorphPrecomputed::for_iteration(iteration, config);
    context.iteration = iteration;
    context.total_iterations = total_iterations;
    return context;
  }
};

}  // namespace kestrune::engine::joint
