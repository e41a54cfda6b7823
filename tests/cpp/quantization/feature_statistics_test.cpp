#include "quantization/feature_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Bounds, sorted values and quantile cuts against brute force on a matrix with NaN, heavy repeats,
// signed zeros, a constant and an all-NaN feature, at several bin limits.
TEST(QuantizationFeatureStatistics, MatchBruteForce) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::size_t rows = 40, features = 4;
  std::vector<float> values(rows * features);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t f = i % features, h = (i * 2654435761u) % 1009;
    // Feature 0 distinct values, 1 heavy repeats and signed zeros, 2 constant, 3 all NaN.
    const float v = f == 0 ? static_cast<float>(h) * 0.5f : f == 1 ? (h % 3 == 0 ? -0.0f : static_cast<float>(h % 4)) : 7.0f;
    values[i] = f == 3 || h % 11 == 0 ? nan : v;
  }
  const auto [mins, maxs] = derive_dense_feature_bounds(values, rows, features);
  const auto sorted = derive_dense_sorted_feature_values(values, rows, features);
  for (const std::size_t max_bins : {2u, 5u, 255u}) {
    const auto cuts = derive_dense_feature_quantile_cuts(values, rows, features, max_bins);
    for (std::size_t f = 0; f < features; ++f) {
      std::vector<float> column;
      for (std::size_t r = f; r < values.size(); r += features) {
        if (!std::isnan(values[r])) column.push_back(values[r]);
      }
      // IEEE total order: -0 before +0.
      std::stable_sort(column.begin(), column.end(),
                       [](float a, float b) { return a < b || std::signbit(a) > std::signbit(b); });
      ASSERT_EQ(sorted[f], column) << f;
      for (std::size_t i = 0; i < column.size(); ++i) EXPECT_EQ(std::signbit(sorted[f][i]), std::signbit(column[i]));
      EXPECT_EQ(mins[f], column.empty() ? inf : column.front()) << f;
      EXPECT_EQ(maxs[f], column.empty() ? -inf : column.back()) << f;
      // Cuts at positions floor(i n / k), i = 1 .. k - 1, k = min(n, max_bins), repeats skipped.
      std::vector<float> want;
      const std::size_t n = column.size(), k = std::min(n, max_bins);
      for (std::size_t i = 1; i < k; ++i) {
        if (want.empty() || column[i * n / k] > want.back()) want.push_back(column[i * n / k]);
      }
      EXPECT_EQ(cuts[f], want) << f << " " << max_bins;
      EXPECT_EQ(quantile_cuts_of_sorted(column, max_bins), want);
    }
  }
}

}  // namespace
}  // namespace kestrune::quantization
