// The morph state against independent float64 re-computations of its documented rules: the
// learning-rate schedules, the warm-up boundary, the moving averages and the per-round factors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/morph.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using core::LrScheduleKind;

// The schedule of n rounds in float64: a ramp of min(W, n) rounds up to lr, then a half cosine
// from lr towards lr / 100 over the remaining n - W rounds.
std::vector<double> reference_schedule(LrScheduleKind kind, std::uint32_t n, double frac, double lr) {
  if (kind == LrScheduleKind::Constant) return std::vector<double>(n, lr);
  const std::uint32_t w = std::max<std::uint32_t>(static_cast<std::uint32_t>(std::llround(frac * n)), 1);
  const std::uint32_t ramp = std::min(w, n);
  std::vector<double> out;
  for (std::uint32_t i = 0; i < ramp; ++i) out.push_back(lr * (i + 1) / ramp);
  for (std::uint32_t k = 0; w < n && k < n - w; ++k) {
    out.push_back(lr / 100 + (lr - lr / 100) * (std::cos(static_cast<double>(k) / (n - w) * M_PI) + 1) / 2);
  }
  return out;
}

TEST(MorphSchedule, ScheduleWarmupAndThresholdScale) {
  struct Case {
    const char* name;
    LrScheduleKind kind;
    std::uint32_t rounds;
    float frac;
    float lr;
    std::uint32_t warmup_rounds;  // iterations for which is_in_warmup_phase holds
  };
  const Case cases[] = {
      {"quarter warm-up: W = round(2.5) = 3", LrScheduleKind::WarmupCosine, 10, 0.25f, 0.1f, 3},
      {"all warm-up: the whole schedule ramps", LrScheduleKind::WarmupCosine, 10, 1.0f, 0.1f, 10},
      {"no warm-up fraction still ramps one round", LrScheduleKind::WarmupCosine, 10, 0.0f, 0.1f, 1},
      {"fraction beyond the rounds", LrScheduleKind::WarmupCosine, 4, 0.9f, 0.3f, 4},
      {"constant", LrScheduleKind::Constant, 6, 0.5f, 0.2f, 0},
      {"constant at rate 0", LrScheduleKind::Constant, 3, 0.0f, 0.0f, 0},
      {"no rounds", LrScheduleKind::WarmupCosine, 0, 0.25f, 0.1f, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::MorphConfig config;
    config.lr_schedule = {c.kind, c.frac};
    const MorphState state(config, 1, c.rounds, c.lr);
    const std::vector<double> want = reference_schedule(c.kind, c.rounds, c.frac, c.lr);
    ASSERT_EQ(state.learning_rates.size(), want.size());
    double largest = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_NEAR(state.learning_rates[i], want[i], 1e-7) << "round " << i;
      largest = std::max(largest, want[i]);
    }
    // The cosine decays from lr but never reaches lr / 100.
    if (c.kind == LrScheduleKind::WarmupCosine && c.warmup_rounds < c.rounds) {
      EXPECT_FLOAT_EQ(state.learning_rates[c.warmup_rounds], c.lr);
      EXPECT_GT(state.learning_rates.back(), c.lr * 0.01f);
    }
    for (std::uint32_t it = 0; it < c.rounds + 2; ++it) {
      SCOPED_TRACE(it);
      EXPECT_EQ(state.is_in_warmup_phase(it), it < c.warmup_rounds);
      // Past the end the last entry stands; an empty schedule gives 0.1.
      const double rate = want.empty() ? 0.1 : want[std::min<std::size_t>(it, want.size() - 1)];
      EXPECT_NEAR(state.learning_rate_at(it), rate, 1e-7);
      const double scale = largest > 0.0 ? std::clamp(rate / largest, 0.01, 1.0) : 1.0;
      EXPECT_NEAR(state.lr_loss_threshold_scale(it), scale, 1e-6);
    }
  }
}

TEST(MorphState, MovingAveragesAndRoundFactors) {
  // {0, 1, 0.05} after the batch 1, 1, 1, 1 is {0.05, 0.95}.
  core::GradientEmaStats stats;
  stats.update(std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f});
  EXPECT_FLOAT_EQ(stats.mean, 0.05f);
  EXPECT_FLOAT_EQ(stats.std, 0.95f);

  // An empty batch, or one whose mean or variance is not finite, changes nothing.
  const core::GradientEmaStats before = stats;
  const float inf = std::numeric_limits<float>::infinity();
  for (const std::vector<float>& bad : {std::vector<float>{}, std::vector<float>{1.0f, std::nanf("")},
                                        std::vector<float>{inf, 1.0f}, std::vector<float>{3e30f, -3e30f}}) {
    stats.update(bad);
    EXPECT_EQ(stats, before);
  }

  // A general batch against float64 moments.
  const std::vector<float> batch = {0.5f, -1.25f, 2.0f, 0.75f, -0.1f};
  double sum = 0.0;
  double sum_sq = 0.0;
  for (const float v : batch) {
    sum += v;
    sum_sq += static_cast<double>(v) * v;
  }
  const double mean = sum / batch.size();
  const double spread = std::sqrt(sum_sq / batch.size() - mean * mean);
  stats.update(batch);
  EXPECT_NEAR(stats.mean, mean * 0.05 + before.mean * 0.95, 1e-6);
  EXPECT_NEAR(stats.std, spread * 0.05 + before.std * 0.95, 1e-6);

  // The state updates the output it is told to; an output it has no statistics for is a broken
  // invariant, not a read past the list.
  MorphState state(core::MorphConfig{}, 3, 10, 0.1f);
  ASSERT_EQ(state.ema_stats.size(), 3u);
  const std::vector<core::GradientPair> pairs = {{1.0f, 1.0f}, {1.0f, 2.0f}, {1.0f, 1.0f}, {1.0f, 1.0f}};
  state.update_ema_from_gradient_pairs(pairs, 2);
  EXPECT_EQ(state.ema_stats[0], core::GradientEmaStats{});
  EXPECT_EQ(state.ema_stats[2], (core::GradientEmaStats{0.05f, 0.95f, 0.05f}));
  EXPECT_THROW(state.update_ema_from_gradient_pairs(pairs, 3), support::Panic);
  // A node's context clamps the output into range instead.
  EXPECT_EQ(state.morph_context(0, 10, 7).ema_mean, 0.05f);
  // Resumed statistics replace the fresh ones only with one per output.
  state.resume_ema_stats({core::GradientEmaStats{1.0f, 2.0f, 0.5f}});
  EXPECT_EQ(state.ema_stats[2].mean, 0.05f);

  // Round factors: warm-up before morph_warmup_iters rounds, tanh(iteration / 20) after it.
  core::MorphConfig config;
  config.morph_warmup_iters = 5;
  config.info_score_weight = 0.3f;
  const core::MorphPrecomputed warm = core::MorphPrecomputed::for_iteration(4, config);
  EXPECT_TRUE(warm.in_warmup && warm.negligible);
  EXPECT_EQ(warm.base_weight, 1.0f);
  const core::MorphPrecomputed first = core::MorphPrecomputed::for_iteration(5, config);
  EXPECT_FALSE(first.in_warmup || first.negligible);
  EXPECT_NEAR(first.progress, std::tanh(0.25), 1e-7);
  EXPECT_NEAR(first.base_weight, 0.7, 1e-7);
  EXPECT_NEAR(first.morph_weight, std::tanh(0.25) * 0.3, 1e-7);
  config.info_score_weight = 0.0f;
  EXPECT_TRUE(core::MorphPrecomputed::for_iteration(50, config).negligible);
}

}  // namespace
}  // namespace kestrune::engine
