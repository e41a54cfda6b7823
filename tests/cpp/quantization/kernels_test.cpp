// The quantization kernels against their per-value rules, for every strategy and both storages,
// on a matrix with NaN, a constant feature and a heavy tail: every code, the missing code, and the
// largest code written.
#include "quantization/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "quantization/bin_rules.hpp"
#include "quantization/feature_statistics.hpp"

namespace kestrune::quantization {
namespace {

using Strategy = ContinuousBinningStrategy;

TEST(QuantizationKernels, EveryCodeFollowsTheStrategysRule) {
  // Enough rows for several parallel chunks at any pool size.
  const std::size_t rows = 5000, features = 3;
  std::vector<float> values(rows * features);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t f = i % features;
    const float v = f == 1 ? 4.0f : static_cast<float>((i * 7919) % 1013) * 0.37f - 50.0f;
    values[i] = i % 97 == 0 ? std::numeric_limits<float>::quiet_NaN() : (f == 2 && i % 50 == 2 ? 1e6f : v);
  }
  ContinuousBinningMetadataInternal metadata;
  std::tie(metadata.feature_mins, metadata.feature_maxs) = derive_dense_feature_bounds(values, rows, features);
  metadata.feature_sorted_values = derive_dense_sorted_feature_values(values, rows, features);
  metadata.feature_linear_rank_flags = std::vector<bool>{false, false, true};  // the tail feature by rank
  const std::uint16_t tops[] = {kU8MaxBin, 300, 1000};
  for (const std::uint16_t top : tops) {
    // More cuts than codes: the largest values would reach the missing code if not capped at the top.
    metadata.feature_quantile_cuts = derive_dense_feature_quantile_cuts(values, rows, features, top + 3u);
    for (const Strategy strategy : {Strategy::Linear, Strategy::Rank, Strategy::Quantile}) {
      SCOPED_TRACE(::testing::Message() << "top " << top << " strategy " << static_cast<int>(strategy));
      std::vector<std::uint16_t> bins;
      std::vector<float> kept;
      std::uint16_t max_code = 0;
      auto take = [&](const auto& result) {
        bins.assign(result.bins.begin(), result.bins.end()), kept = result.float_values, max_code = result.max_code;
      };
      if (top == kU8MaxBin) take(quantize_dense_values_with_metadata(values, rows, features, strategy, metadata, true));
      if (top != kU8MaxBin) {
        take(quantize_dense_values_with_metadata_wide(values, rows, features, strategy, metadata, true, top));
      }
      const std::uint16_t missing = top + 1;
      std::uint16_t largest = 0;
      for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t f = i % features;
        std::uint16_t expected = missing;
        if (!std::isnan(values[i])) {
          const auto& sorted = (*metadata.feature_sorted_values)[f];
          if (strategy == Strategy::Rank || (strategy == Strategy::Linear && f == 2)) {
            expected = rank_code(values[i], sorted, top);
          } else if (strategy == Strategy::Linear) {
            expected = linear_code(values[i], (*metadata.feature_mins)[f], (*metadata.feature_maxs)[f], top);
          } else {
            expected = std::min<std::size_t>(quantile_code(values[i], (*metadata.feature_quantile_cuts)[f]), top);
          }
        }
        ASSERT_EQ(bins[i], expected) << i;
        ASSERT_EQ(kept[i], static_cast<float>(expected)) << i;
        largest = std::max(largest, expected);
      }
      EXPECT_EQ(max_code, largest);
    }
  }
}

}  // namespace
}  // namespace kestrune::quantization
