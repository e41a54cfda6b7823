#include "core/leaf.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

namespace kestrune {
namespace {

using core::leaf_effective_gradient;
using core::leaf_gain_term;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct EffectiveCase {
  float grad_sum;
  float grad_sq_sum;
  std::uint32_t count;
  float lambda_l1;
  std::optional<float> strength;
  float expected;
};

TEST(CoreLeafFormula, EffectiveGradientSoftThresholds) {
  // sqrt(var) * (sqrt(n) * s) with G = 10, Q = 30, n = 4, s = 1: var = 7.5 - 6.25 = 1.25.
  const float noise_4 = static_cast<float>(std::sqrt(1.25) * (2.0 * 1.0));
  // count 0 behaves as count 1: var = Q - G^2 = 20 - 16 = 4, extra = 2 * (1 * 0.5) = 1.
  const std::vector<EffectiveCase> cases = {
      {-5.0f, 0.0f, 3, 2.0f, std::nullopt, -3.0f},
      {1.5f, 0.0f, 3, 2.0f, std::nullopt, 0.0f},
      // Negative and NaN thresholds count as 0; an infinite one swallows everything.
      {5.0f, 0.0f, 3, -1.0f, std::nullopt, 5.0f},
      {5.0f, 0.0f, 3, kNaN, std::nullopt, 5.0f},
      {5.0f, 0.0f, 3, kInf, std::nullopt, 0.0f},
      {kNaN, 0.0f, 3, 2.0f, 1.0f, 0.0f},
      {-10.0f, 30.0f, 4, 0.0f, 1.0f, -10.0f + noise_4},
      {10.0f, 30.0f, 4, 1.0f, 1.0f, 10.0f - (1.0f + noise_4)},
      {4.0f, 20.0f, 0, 0.0f, 0.5f, 3.0f},
      // Variance below zero (Q < G^2 / n) is floored: no widening.
      {4.0f, 1.0f, 2, 0.5f, 3.0f, 3.5f},
      // A NaN variance is dropped by the maximum as well.
      {4.0f, kNaN, 2, 0.5f, 3.0f, 3.5f},
      // Zero, negative and NaN strengths count as absent.
      {10.0f, 30.0f, 4, 0.0f, -1.0f, 10.0f},
      {10.0f, 30.0f, 4, 0.0f, kNaN, 10.0f},
      // An infinite spread swallows the whole gradient.
      {10.0f, kInf, 4, 0.0f, 1.0f, 0.0f},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const EffectiveCase& c = cases[i];
    SCOPED_TRACE(i);
    const float got = leaf_effective_gradient(c.grad_sum, c.grad_sq_sum, c.count, c.lambda_l1, c.strength);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(c.expected)) << got << " vs " << c.expected;
  }
}

TEST(CoreLeafFormula, GainTermIsHalfSquaredGradientOverRegularisedHessian) {
  EXPECT_EQ(leaf_gain_term(2.0f, 1.0f, 123.0f, 5, 0.0f, 0.0f, std::nullopt), 2.0f / (1.0f + 1e-6f));
  // g' = 3 after the L1 threshold; 3 * 1.5 / ((2 + 0.5) + 1e-6).
  EXPECT_EQ(leaf_gain_term(5.0f, 2.0f, 0.0f, 5, 2.0f, 0.5f, std::nullopt), 4.5f / (2.5f + 1e-6f));
  // The denominator is (H + l2) + eps in that order: H + (l2 + eps) would round to 0 here.
  EXPECT_EQ(leaf_gain_term(2.0f, 1e8f, 0.0f, 1, 0.0f, -1e8f, std::nullopt), 2.0f / 1e-6f);
  // A zero denominator yields the float division result, never an error.
  EXPECT_EQ(leaf_gain_term(2.0f, -1e-6f, 0.0f, 1, 0.0f, 0.0f, std::nullopt), kInf);
  EXPECT_TRUE(std::isnan(leaf_gain_term(0.0f, -1e-6f, 0.0f, 1, 0.0f, 0.0f, std::nullopt)));
  // The gain uses the noise-widened gradient.
  const float g = leaf_effective_gradient(10.0f, 30.0f, 4, 0.0f, 1.0f);
  EXPECT_EQ(leaf_gain_term(10.0f, 3.0f, 30.0f, 4, 0.0f, 1.0f, 1.0f), (g * (g * 0.5f)) / (4.0f + 1e-6f));
}

TEST(CoreLeafValue, LinearSidesAreReadThroughTheAccessors) {
  core::LeafValue constant = 0.5f;
  EXPECT_EQ(core::linear_leaf_if(constant), nullptr);
  EXPECT_THROW((void)core::linear_leaf(constant), std::bad_variant_access);

  const core::LinearLeaf model{{1.0f, -2.0f}, {0, 3}, 0.25f};
  core::LeafValue linear = 0.0f;
  linear = model;
  ASSERT_NE(core::linear_leaf_if(linear), nullptr);
  EXPECT_EQ(core::linear_leaf(linear), model);

  // A copy owns its own model; equality compares the models, not where they live.
  core::LeafValue copy = linear;
  EXPECT_EQ(copy, linear);
  core::linear_leaf(copy).intercept = 1.0f;
  EXPECT_NE(copy, linear);
  EXPECT_EQ(core::linear_leaf(linear).intercept, 0.25f);
  EXPECT_NE(copy, core::LeafValue(1.0f));
}

}  // namespace
}  // namespace kestrune
