#include "backend_cpu/morph_gain.hpp"

#include <algorithm>
#include <cmath>

#include "backend_cpu/split_gain.hpp"
#include "core/leaf.hpp"

namespace kestrune::backend_cpu {
namespace {

constexpr float kEpsilon = 1e-6f;
constexpr float kStdFloor = 1e-10f;

// How surprising a group's mean gradient is against the moving averages; 0 for an empty group.
float surprise(float gradient, std::uint64_t count, const engine::MorphContext& context, float divisor) {
  if (count == 0) return 0.0f;
  const float mean = gradient / static_cast<float>(count);
  return std::log(std::fabs(mean) + 1.0f) * std::fabs((mean - context.ema_mean) / (context.ema_std + kStdFloor)) /
         divisor;
}

}  // namespace

float compute_morph_gain(const MorphSplitStats& stats, const engine::MorphContext& context,
                         const core::MorphPrecomputed& precomputed) {
  const float l2 = stats.split_l2;
  const float gl = stats.left_gradient;
  const float gr = stats.right_gradient;
  const float g = gl + gr;
  const float h = stats.left_hess + stats.right_hess;
  const float base = gl * gl / ((l2 + stats.left_hess) + kEpsilon) + gr * gr / ((l2 + stats.right_hess) + kEpsilon) -
                     g * g / ((l2 + h) + kEpsilon);

  float gain = base;
  if (!precomputed.in_warmup && !precomputed.negligible) {
    const float divisor = context.config.evolution_pressure *
                              (static_cast<float>(stats.iteration) / static_cast<float>(stats.total_iterations)) +
                          1.0f;
    const std::uint64_t total_count = std::uint64_t{stats.left_count} + stats.right_count;
    const float surprise_gain = surprise(gl, stats.left_count, context, divisor) +
                                surprise(gr, stats.right_count, context, divisor) -
                                surprise(g, total_count, context, divisor);
    gain = base * precomputed.base_weight + surprise_gain * precomputed.morph_weight;
  }

  const std::uint64_t rows = std::uint64_t{stats.left_count} + stats.right_count;
  if (precomputed.balance_penalty) {
    engine::add_morph_balance_penalty(gain, std::min(stats.left_count, stats.right_count), rows);
  }
  return gain;
}

std::optional<float> morph_candidate_gain(const core::HistogramBin& left, const core::HistogramBin& right,
                                          const engine::SplitSelectionOptions& options,
                                          const engine::MorphContext& context) {
  if (candidate_refused(left, right, options)) return std::nullopt;
  const MorphSplitStats stats{
      core::leaf_effective_gradient(left.grad_sum, left.grad_sq_sum, left.count, options.split_l1,
                                    options.gradient_noise_strength),
      left.hess_sum,
      left.count,
      core::leaf_effective_gradient(right.grad_sum, right.grad_sq_sum, right.count, options.split_l1,
                                    options.gradient_noise_strength),
      right.hess_sum,
      right.count,
      context.iteration,
      std::max(context.total_iterations, std::uint32_t{1}),
      context.ema_mean,
      context.ema_std,
      options.split_l2};
  const float gain = compute_morph_gain(stats, context, context.precomputed);
  if (!std::isfinite(gain)) return std::nullopt;
  return gain;
}

}  // namespace kestrune::backend_cpu
