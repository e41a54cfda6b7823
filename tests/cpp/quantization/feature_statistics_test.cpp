#include "quantization/feature_statistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kestrune::quantization {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(QuantizationFeatureStatistics, BoundsIgnoreNaN) {
  // Three rows, three features; the last feature is all NaN.
  const std::vector<float> values = {1, kNaN, kNaN, -2, 5, kNaN, 4, 3, kNaN};
  const auto [minima, maxima] = derive_dense_feature_bounds(values, 3, 3);
  EXPECT_EQ(minima, (std::vector<float>{-2, 3, kInf}));
  EXPECT_EQ(maxima, (std::vector<float>{4, 5, -kInf}));
}

TEST(QuantizationFeatureStatistics, SortedValuesKeepDuplicatesInTotalOrder) {
  const std::vector<float> values = {0.0f, 3, -0.0f, kNaN, 3, 1, -1, kNaN};
  const auto sorted = derive_dense_sorted_feature_values(values, 4, 2);
  ASSERT_EQ(sorted.size(), 2u);
  ASSERT_EQ(sorted[0], (std::vector<float>{-1, -0.0f, 0.0f, 3}));
  EXPECT_TRUE(std::signbit(sorted[0][1]));
  EXPECT_FALSE(std::signbit(sorted[0][2]));
  EXPECT_EQ(sorted[1], (std::vector<float>{1, 3}));
}

TEST(QuantizationFeatureStatistics, QuantileCutsFollowTheIndexRule) {
  std::vector<float> ten;
  for (int i = 1; i <= 10; ++i) ten.push_back(static_cast<float>(i));
  EXPECT_EQ(quantile_cuts_of_sorted(ten, 4), (std::vector<float>{3, 6, 8}));
  EXPECT_EQ(quantile_cuts_of_sorted(ten, 255), (std::vector<float>{2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_TRUE(quantile_cuts_of_sorted(std::vector<float>{4}, 255).empty());
  EXPECT_TRUE(quantile_cuts_of_sorted(std::vector<float>{}, 255).empty());
  // Repeated candidates are skipped: cuts stay strictly increasing.
  EXPECT_EQ(quantile_cuts_of_sorted(std::vector<float>{1, 1, 1, 1, 2}, 5), (std::vector<float>{1, 2}));
  EXPECT_EQ(quantile_cuts_of_sorted(std::vector<float>{7, 7, 7}, 255), (std::vector<float>{7}));
}

TEST(QuantizationFeatureStatistics, QuantileCutsPerFeature) {
  const std::vector<float> values = {1, kNaN, 2, kNaN, 3, kNaN, 4, 9};
  const auto cuts = derive_dense_feature_quantile_cuts(values, 4, 2, 2);
  ASSERT_EQ(cuts.size(), 2u);
  EXPECT_EQ(cuts[0], (std::vector<float>{3}));
  EXPECT_TRUE(cuts[1].empty());
}

}  // namespace
}  // namespace kestrune::quantization
