// Per-feature statistics against brute force on a matrix with NaN, repeats and signed zeros.
#include "quantization/feature_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrune::quantization {
namespace {

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
