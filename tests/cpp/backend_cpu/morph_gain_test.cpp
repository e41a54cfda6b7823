// The morph split gain against a float64 re-computation of its rules.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "backend_cpu/morph_gain.hpp"

namespace kestrune::backend_cpu {
namespace {

// The gain of the rules in float64: base gain of the gradients, the surprise blend after the
// warm-up, and the small-child penalty.
double reference_gain(const MorphSplitStats& s, const engine::MorphContext& c) {
  const double l2 = s.split_l2, gl = s.left_gradient, gr = s.right_gradient, hl = s.left_hess, hr = s.right_hess;
  const double rows = static_cast<double>(s.left_count) + s.right_count;
  double gain = gl * gl / (l2 + hl + 1e-6) + gr * gr / (l2 + hr + 1e-6) - (gl + gr) * (gl + gr) / (l2 + hl + hr + 1e-6);
  const core::MorphPrecomputed& p = c.precomputed;
  if (!p.in_warmup && !p.negligible) {
    const double d = c.config.evolution_pressure * (static_cast<double>(s.iteration) / s.total_iterations) + 1.0;
    const auto surprise = [&](double grad, double count) {
      const double mean = count == 0 ? 0.0 : grad / count;
      return count == 0 ? 0.0 : std::log(std::fabs(mean) + 1.0) * std::fabs((mean - c.ema_mean) / (c.ema_std + 1e-10)) / d;
    };
    gain = gain * p.base_weight +
           (surprise(gl, s.left_count) + surprise(gr, s.right_count) - surprise(gl + gr, rows)) * p.morph_weight;
  }
  const double share = rows > 0 ? std::min(s.left_count, s.right_count) / rows : 1.0;
  return p.balance_penalty && share < 0.1 ? gain - (1.0 - std::exp(-10.0 * share)) * 0.5 : gain;
}

// Shares of the smaller child below, at and above the 10% the balance penalty starts at, one
// empty side, in and after the warm-up (3 iterations).
TEST(MorphGain, MatchesTheRulesInFloat64) {
  const struct {
    std::uint32_t left_count, right_count, iteration;
    bool balance;
  } cases[] = {{5, 95, 1, true}, {10, 90, 1, true}, {95, 5, 12, true}, {40, 60, 12, true}, {40, 60, 2, false},
               {0, 30, 12, true}, {9, 91, 12, false}};
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> grad(-20.0f, 20.0f), hess(1.0f, 30.0f);
  for (const auto& c : cases) {
    engine::MorphContext context;
    context.config.morph_warmup_iters = 3;
    context.config.balance_penalty = c.balance;
    context.config.evolution_pressure = 0.5f;
    context.precomputed = engine::morph_precomputed_for_iteration(c.iteration, context.config);
    context.iteration = c.iteration;
    context.total_iterations = 40;
    context.ema_mean = 0.2f;
    context.ema_std = 0.8f;
    for (int trial = 0; trial < 20; ++trial) {
      const MorphSplitStats stats{grad(rng), hess(rng), c.left_count, grad(rng), hess(rng), c.right_count,
                                  c.iteration, 40, context.ema_mean, context.ema_std, 0.5f};
      const double want = reference_gain(stats, context);
      EXPECT_NEAR(compute_morph_gain(stats, context, context.precomputed), want, 1e-4 * (1.0 + std::fabs(want)))
          << c.left_count << " / " << c.right_count << " at " << c.iteration;
    }
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu
