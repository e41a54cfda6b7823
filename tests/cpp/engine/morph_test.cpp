// The morph state against independent float64 re-computations of its documented rules: the
// learning-rate schedules, the warm-up boundary and the per-round factors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "engine/morph.hpp"

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
  // (kind, rounds, warm-up fraction, rate, rounds in warm-up): W = round(2.5) = 3; a fraction of
  // 0 still ramps one round; a constant schedule and an empty one have no warm-up.
  const std::tuple<LrScheduleKind, std::uint32_t, float, float, std::uint32_t> cases[] = {
      {LrScheduleKind::WarmupCosine, 10, 0.25f, 0.1f, 3}, {LrScheduleKind::WarmupCosine, 10, 0.0f, 0.1f, 1},
      {LrScheduleKind::Constant, 6, 0.5f, 0.2f, 0}, {LrScheduleKind::WarmupCosine, 0, 0.25f, 0.1f, 0}};
  for (const auto& [kind, rounds, frac, lr, warmup_rounds] : cases) {
    core::MorphConfig config;
    config.lr_schedule = {kind, frac};
    const MorphState state(config, 1, rounds, lr);
    const std::vector<double> want = reference_schedule(kind, rounds, frac, lr);
    ASSERT_EQ(state.learning_rates.size(), want.size());
    double largest = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_NEAR(state.learning_rates[i], want[i], 1e-7) << "round " << i;
      largest = std::max(largest, want[i]);
    }
    for (std::uint32_t it = 0; it < rounds + 2; ++it) {
      SCOPED_TRACE(::testing::Message() << rounds << " rounds, iteration " << it);
      EXPECT_EQ(state.is_in_warmup_phase(it), it < warmup_rounds);
      // Past the end the last entry stands; an empty schedule gives 0.1.
      const double rate = want.empty() ? 0.1 : want[std::min<std::size_t>(it, want.size() - 1)];
      EXPECT_NEAR(state.learning_rate_at(it), rate, 1e-7);
      const double scale = largest > 0.0 ? std::clamp(rate / largest, 0.01, 1.0) : 1.0;
      EXPECT_NEAR(state.lr_loss_threshold_scale(it), scale, 1e-6);
    }
  }
}

TEST(MorphState, RoundFactors) {
  // Round factors: warm-up before morph_warmup_iters rounds, tanh(iteration / 20) after it.
  core::MorphConfig config;
  config.morph_warmup_iters = 5;
  config.info_score_weight = 0.3f;
  const core::MorphPrecomputed warm = morph_precomputed_for_iteration(4, config);
  EXPECT_TRUE(warm.in_warmup && warm.negligible);
  EXPECT_EQ(warm.base_weight, 1.0f);
  const core::MorphPrecomputed first = morph_precomputed_for_iteration(5, config);
  EXPECT_FALSE(first.in_warmup || first.negligible);
  EXPECT_NEAR(first.progress, std::tanh(0.25), 1e-7);
  EXPECT_NEAR(first.base_weight, 0.7, 1e-7);
  EXPECT_NEAR(first.morph_weight, std::tanh(0.25) * 0.3, 1e-7);
  config.info_score_weight = 0.0f;
  EXPECT_TRUE(morph_precomputed_for_iteration(50, config).negligible);
}

}  // namespace
}  // namespace kestrune::engine
