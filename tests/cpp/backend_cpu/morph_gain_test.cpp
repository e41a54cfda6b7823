// The morph split gain against a float64 re-computation of its rules, and the morph search's use
// of it in both scans.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>

#include "backend_cpu/categorical_split.hpp"
#include "backend_cpu/morph_gain.hpp"
#include "backend_cpu/split_gain.hpp"
#include "backend_cpu/split_search.hpp"

namespace kestrune::backend_cpu {
namespace {

// The gain of the rules in float64: base gain of the effective gradients, the surprise blend
// after the warm-up, and the small-child penalty.
double reference_gain(const MorphSplitStats& s, const engine::MorphContext& c) {
  const double l2 = s.split_l2;
  const double gl = s.left_gradient;
  const double gr = s.right_gradient;
  const double g = gl + gr;
  const double hl = s.left_hess;
  const double hr = s.right_hess;
  const double base = gl * gl / (l2 + hl + 1e-6) + gr * gr / (l2 + hr + 1e-6) - g * g / (l2 + hl + hr + 1e-6);
  double gain = base;
  const core::MorphPrecomputed& p = c.precomputed;
  if (!p.in_warmup && !p.negligible) {
    const double d = c.config.evolution_pressure * (static_cast<double>(s.iteration) / s.total_iterations) + 1.0;
    auto surprise = [&](double grad, double count) {
      if (count == 0) return 0.0;
      const double mean = grad / count;
      return std::log(std::fabs(mean) + 1.0) * std::fabs((mean - c.ema_mean) / (c.ema_std + 1e-10)) / d;
    };
    const double n = static_cast<double>(s.left_count) + s.right_count;
    gain = base * p.base_weight +
           (surprise(gl, s.left_count) + surprise(gr, s.right_count) - surprise(g, n)) * p.morph_weight;
  }
  const double rows = static_cast<double>(s.left_count) + s.right_count;
  if (p.balance_penalty && rows > 0) {
    const double share = std::min(s.left_count, s.right_count) / rows;
    if (share < 0.1) gain -= (1.0 - std::exp(-10.0 * share)) * 0.5;
  }
  return gain;
}

engine::MorphContext context_at(std::uint32_t iteration, bool balance) {
  core::MorphConfig config;
  config.morph_warmup_iters = 3;
  config.balance_penalty = balance;
  config.evolution_pressure = 0.5f;
  engine::MorphContext context;
  context.config = config;
  context.precomputed = core::MorphPrecomputed::for_iteration(iteration, config);
  context.iteration = iteration;
  context.total_iterations = 40;
  context.ema_mean = 0.2f;
  context.ema_std = 0.8f;
  return context;
}

TEST(MorphGain, MatchesTheRulesInFloat64) {
  struct Case {
    const char* name;
    std::uint32_t left_count;
    std::uint32_t right_count;
    std::uint32_t iteration;  // warm-up below 3
    bool balance;
    std::optional<double> penalty;  // the documented loss of gain against no balance penalty
  };
  const Case cases[] = {
      {"share 5%: loses (1 - exp(-0.5)) / 2", 5, 95, 1, true, (1.0 - std::exp(-0.5)) * 0.5},
      {"share 10%: loses nothing", 10, 90, 1, true, 0.0},
      {"penalty applies after the warm-up too", 95, 5, 12, true, (1.0 - std::exp(-0.5)) * 0.5},
      {"balanced, surprise blended", 40, 60, 12, true, 0.0},
      {"warm-up: the base gain", 40, 60, 2, false, std::nullopt},
      {"one empty side: a share of 0 costs nothing", 0, 30, 12, true, 0.0},
  };
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> grad(-20.0f, 20.0f);
  std::uniform_real_distribution<float> hess(1.0f, 30.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int trial = 0; trial < 20; ++trial) {
      const engine::MorphContext context = context_at(c.iteration, c.balance);
      const MorphSplitStats stats{grad(rng), hess(rng), c.left_count, grad(rng), hess(rng), c.right_count,
                                  c.iteration, 40, context.ema_mean, context.ema_std, 0.5f};
      const float gain = compute_morph_gain(stats, context, context.precomputed);
      const double want = reference_gain(stats, context);
      EXPECT_NEAR(gain, want, 1e-4 * (1.0 + std::fabs(want)));
      if (c.penalty) {
        engine::MorphContext unbalanced = context;
        unbalanced.precomputed.balance_penalty = false;
        EXPECT_NEAR(compute_morph_gain(stats, unbalanced, unbalanced.precomputed) - gain, *c.penalty, 1e-4);
      }
    }
  }
}

TEST(MorphGain, ScansScoreEveryCandidateWithIt) {
  // Each scan's morph winner is the candidate of greatest morph gain among its own candidates:
  // re-scored here over every threshold (missing bin on both sides) and every category prefix.
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> grad(-3.0f, 3.0f);
  std::uniform_real_distribution<float> hess(0.5f, 4.0f);
  for (int trial = 0; trial < 30; ++trial) {
    core::FeatureHistogram histogram;
    histogram.feature_index = 2;
    for (int b = 0; b < 8; ++b) {
      const std::uint32_t count = 1 + rng() % 20;
      const float g = grad(rng) * count;
      histogram.bins.push_back({g, hess(rng) * count, g * g, count});
    }
    engine::SplitSelectionOptions options;
    options.missing_bin = 7;
    const engine::MorphContext context = context_at(10, true);

    float best = 0.0f;
    core::HistogramBin total;
    for (const core::HistogramBin& bin : histogram.bins) add_bin(total, bin);
    core::HistogramBin prefix;
    const core::HistogramBin missing = histogram.bins[7];
    for (std::size_t t = 0; t + 1 < 7; ++t) {  // the last threshold puts every non-missing row left
      add_bin(prefix, histogram.bins[t]);
      const core::HistogramBin rest{total.grad_sum - missing.grad_sum - prefix.grad_sum,
                                    total.hess_sum - missing.hess_sum - prefix.hess_sum,
                                    total.grad_sq_sum - missing.grad_sq_sum - prefix.grad_sq_sum,
                                    total.count - missing.count - prefix.count};
      core::HistogramBin left_with = prefix;
      add_bin(left_with, missing);
      core::HistogramBin right_with = rest;
      add_bin(right_with, missing);
      for (const auto& [left, right] : {std::pair{left_with, rest}, std::pair{prefix, right_with}}) {
        const std::optional<float> gain = morph_candidate_gain(left, right, options, context);
        if (gain) best = std::max(best, *gain);
      }
    }
    const std::optional<engine::SplitCandidate> numeric =
        best_split_for_feature_inner(histogram, 0, options, &context, nullptr);
    if (best > 0.0f) {
      ASSERT_TRUE(numeric.has_value());
      EXPECT_NEAR(numeric->gain, best, 1e-4f * (1.0f + best));
      EXPECT_EQ(*morph_candidate_gain(numeric->left_stats, numeric->right_stats, options, context), numeric->gain);
    } else {
      EXPECT_FALSE(numeric.has_value());
    }

    // The category scan's winner carries its own morph gain.
    const std::optional<engine::SplitCandidate> categorical =
        best_split_for_categorical_feature_inner(histogram, 0, options, 7, &context, nullptr);
    if (categorical) {
      EXPECT_EQ(*morph_candidate_gain(categorical->left_stats, categorical->right_stats, options, context),
                categorical->gain);
    }
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu
