// The morph-mode gains of the joint trainer: the plain per-output gain reweighted by how
// surprising each side's mean gradient is against the output's running statistics, with a
// penalty for very unbalanced children. Row counts are estimated from hessian sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/training_mode.hpp"
#include "engine/joint/morph_context.hpp"
#include "engine/joint/shared_histogram.hpp"

namespace kestrune::engine::joint {

// The rows a hessian sum stands for: ceil(h) (saturating in u32) but at least 1 when h is finite
// and > 0; 0 for zero, negative, infinite or NaN sums.
std::uint32_t morph_row_count(float hess_sum);

// The morph gain of one output (epsilon fixed at 1e-6).
float morph_gain_per_output(std::uint32_t n_left, std::uint32_t n_right, const core::MorphPrecomputed& precomputed,
                            std::uint32_t iteration, std::uint32_t total_iterations, float g_left, float h_left,
                            float g_right, float h_right, float lambda_l2, float evolution_pressure, float ema_mean,
                            float ema_std);

// compute_multi_output_split_gain's left/right walk, each output scored by morph_gain_per_output
// with its own statistics from the context; summed in output order. The morph gains use their own
// epsilon, so no eps argument is taken.
float compute_multi_output_split_gain_morph(const MultiOutputHistogram& histogram, std::size_t feature,
                                            std::size_t threshold, const JointMorphContext& morph, float lambda_l2);

// find_best_multi_output_categorical_split with each prefix scored by the morph gains (the
// category order still uses lambda_l2 and eps).
std::optional<MultiOutputCategoricalSplit> find_best_multi_output_categorical_split_morph(
    const MultiOutputHistogram& histogram, std::size_t feature, std::size_t n_categories, float lambda_l2, float eps,
    const JointMorphContext& morph, const CategoryRowLimit* limit = nullptr);

}  // namespace kestrune::engine::joint
