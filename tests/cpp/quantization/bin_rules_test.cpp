#include "quantization/bin_rules.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace kestrune::quantization {
namespace {

TEST(QuantizationBinRules, LinearRuleExamples) {
  EXPECT_EQ(linear_code(5.0f, 0.0f, 10.0f, 254), 127);
  EXPECT_EQ(linear_code(0.02f, 0.0f, 10.0f, 254), 1);
  EXPECT_EQ(linear_code(-1.0f, 0.0f, 10.0f, 254), 0);
  EXPECT_EQ(linear_code(9.99f, 0.0f, 10.0f, 254), 254);
  EXPECT_EQ(linear_code(1e30f, 0.0f, 10.0f, 298), 298);
  // Exactly half-way values round up.
  EXPECT_EQ(linear_code(0.5f, 0.0f, 254.0f, 254), 1);
  EXPECT_EQ(linear_code(1.5f, 0.0f, 254.0f, 254), 2);
  // Constant and near-constant features: at or below lo is 0, at or above hi the top bin.
  EXPECT_EQ(linear_code(3.0f, 3.0f, 3.0f, 254), 0);
  EXPECT_EQ(linear_code(3.0000002f, 3.0f, 3.0000002f, 254), 254);
  // A feature that had no training value (+inf, -inf) sends every value to 0.
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(linear_code(5.0f, inf, -inf, 254), 0);
}

TEST(QuantizationBinRules, RankRuleExamples) {
  const std::vector<float> sorted = {1, 2, 2, 3, 10};
  EXPECT_EQ(rank_code(2.0f, sorted, 254), 127);  // the last of equal values counts
  EXPECT_EQ(rank_code(0.5f, sorted, 254), 0);
  EXPECT_EQ(rank_code(100.0f, sorted, 254), 254);
  // max_bin x index / (n - 1), multiplied first: 254 * 3 / 4 = 190.5 -> 191.
  EXPECT_EQ(rank_code(3.0f, sorted, 254), 191);
  EXPECT_EQ(rank_code(7.0f, std::vector<float>{}, 254), 0);
  EXPECT_EQ(rank_code(7.0f, std::vector<float>{7.0f, 7.0f, 7.0f}, 254), 254);
}

TEST(QuantizationBinRules, QuantileRuleCountsCutsAtOrBelow) {
  const std::vector<float> cuts = {2, 5};
  EXPECT_EQ(quantile_code(1.0f, cuts), 0u);
  EXPECT_EQ(quantile_code(2.0f, cuts), 1u);
  EXPECT_EQ(quantile_code(5.0f, cuts), 2u);
  EXPECT_EQ(quantile_code(5.0f, std::vector<float>{}), 0u);
}

TEST(QuantizationBinRules, RoundingIsHalfAwayFromZeroWithSaturation) {
  EXPECT_EQ(round_half_away_to_i32(-2.5f), -3);
  EXPECT_EQ(round_half_away_to_i32(-0.4f), 0);
  EXPECT_EQ(round_half_away_to_i32(1e20f), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(round_half_away_to_i32(-1e20f), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(clamp_code(-3.0f, 254), 0);
  EXPECT_EQ(clamp_code(300.0f, 254), 254);
}

}  // namespace
}  // namespace kestrune::quantization
