// The split gain of morph mode: the second-order gain of the children's effective gradients,
// blended after the morph warm-up with a surprise score (how far each group's mean gradient lies
// from the moving average, in moving standard deviations), and lowered for very unbalanced splits.
#pragma once

#include <cstdint>
#include <optional>

#include "core/histogram.hpp"
#include "engine/env.hpp"
#include "engine/morph.hpp"

namespace kestrune::backend_cpu {

// One candidate as the morph gain sees it: each child's effective (soft-thresholded) gradient,
// hessian sum and row count, and the node's round position, averages and L2 term.
struct MorphSplitStats {
  float left_gradient = 0.0f;
  float left_hess = 0.0f;
  std::uint32_t left_count = 0;
  float right_gradient = 0.0f;
  float right_hess = 0.0f;
  std::uint32_t right_count = 0;
  std::uint32_t iteration = 0;
  std::uint32_t total_iterations = 1;  // at least 1
  float ema_mean = 0.0f;
  float ema_std = 1.0f;
  float split_l2 = 0.0f;
};

// The gain in float32. The parent term uses the sum of the children's effective gradients. The
// small-child penalty (a share below 10% of the rows) applies during the warm-up too.
float compute_morph_gain(const MorphSplitStats& stats, const engine::MorphContext& context,
                         const core::MorphPrecomputed& precomputed);

// The morph gain of a candidate of the threshold or category scans, or nothing when the scans'
// refusal rules refuse it or the gain is not finite.
std::optional<float> morph_candidate_gain(const core::HistogramBin& left, const core::HistogramBin& right,
                                          const engine::SplitSelectionOptions& options,
                                          const engine::MorphContext& context);

}  // namespace kestrune::backend_cpu
