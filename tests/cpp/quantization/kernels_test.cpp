#include "quantization/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "../engine/engine_test_support.hpp"
#include "quantization/bin_rules.hpp"
#include "quantization/feature_statistics.hpp"

namespace kestrune::quantization {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
using engine::testing_support::throws_contract_violation;

ContinuousBinningMetadataInternal linear_metadata(std::vector<float> mins, std::vector<float> maxs) {
  ContinuousBinningMetadataInternal metadata;
  metadata.uses_continuous_binning = true;
  metadata.feature_mins = std::move(mins);
  metadata.feature_maxs = std::move(maxs);
  return metadata;
}

TEST(QuantizationKernels, RefusesMetadataTheStrategyNeeds) {
  const std::vector<float> values = {1, 2};
  struct Case {
    ContinuousBinningStrategy strategy;
    ContinuousBinningMetadataInternal metadata;
    const char* message;
  };
  ContinuousBinningMetadataInternal only_mins;
  only_mins.feature_mins = std::vector<float>{0};
  const Case cases[] = {
      {ContinuousBinningStrategy::Linear, {}, "continuous linear minima are missing"},
      {ContinuousBinningStrategy::Linear, only_mins, "continuous linear maxima are missing"},
      {ContinuousBinningStrategy::Rank, linear_metadata({0}, {1}), "continuous rank sorted values are missing"},
      {ContinuousBinningStrategy::Quantile, linear_metadata({0}, {1}), "continuous quantile cuts are missing"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(throws_contract_violation(
        [&] { quantize_dense_values_with_metadata(values, 2, 1, c.strategy, c.metadata, false); }, c.message));
    EXPECT_TRUE(throws_contract_violation(
        [&] { quantize_dense_values_with_metadata_wide(values, 2, 1, c.strategy, c.metadata, false, 298); },
        c.message));
  }
}

TEST(QuantizationKernels, EightBitCodesSpanTo254AndMissingIs255) {
  const std::vector<float> values = {0, kNaN, 5, 1, 10, 2};
  const auto result = quantize_dense_values_with_metadata(values, 3, 2, ContinuousBinningStrategy::Linear,
                                                          linear_metadata({0, 1}, {10, 2}), true);
  EXPECT_EQ(result.bins, (std::vector<std::uint8_t>{0, 255, 127, 0, 254, 254}));
  EXPECT_EQ(result.float_values, (std::vector<float>{0, 255, 127, 0, 254, 254}));
  EXPECT_EQ(result.max_code, 255);
}

TEST(QuantizationKernels, WideCodesUseTheGivenTopAndMissingAboveIt) {
  const std::vector<float> values = {0, 10, kNaN, 5};
  const auto result = quantize_dense_values_with_metadata_wide(values, 4, 1, ContinuousBinningStrategy::Linear,
                                                               linear_metadata({0}, {10}), true, 298);
  EXPECT_EQ(result.bins, (std::vector<std::uint16_t>{0, 298, 299, 149}));
  EXPECT_EQ(result.float_values, (std::vector<float>{0, 298, 299, 149}));
  EXPECT_EQ(result.max_code, 299);
}

TEST(QuantizationKernels, ConstantColumnUnderEachStrategy) {
  const std::vector<float> values = {4, 4, 4};
  ContinuousBinningMetadataInternal rank;
  rank.feature_sorted_values = derive_dense_sorted_feature_values(values, 3, 1);
  ContinuousBinningMetadataInternal quantile;
  quantile.feature_quantile_cuts = derive_dense_feature_quantile_cuts(values, 3, 1, 255);
  EXPECT_EQ(quantize_dense_values_with_metadata(values, 3, 1, ContinuousBinningStrategy::Linear,
                                                linear_metadata({4}, {4}), false)
                .bins,
            (std::vector<std::uint8_t>{0, 0, 0}));
  EXPECT_EQ(quantize_dense_values_with_metadata(values, 3, 1, ContinuousBinningStrategy::Rank, rank, false).bins,
            (std::vector<std::uint8_t>{254, 254, 254}));
  const auto quantile_result =
      quantize_dense_values_with_metadata(values, 3, 1, ContinuousBinningStrategy::Quantile, quantile, false);
  EXPECT_EQ(quantile_result.bins, (std::vector<std::uint8_t>{1, 1, 1}));
  EXPECT_EQ(quantile_result.max_code, 1);
}

TEST(QuantizationKernels, WideQuantileCodeNeverTakesTheMissingCode) {
  // 300 distinct values and max_bins 300: 299 cuts, so the largest values count 299 cuts, which
  // is the missing code of 16-bit storage. They take the top value code instead.
  std::vector<float> values;
  for (int i = 0; i < 300; ++i) values.push_back(static_cast<float>(i));
  values.push_back(kNaN);
  ContinuousBinningMetadataInternal metadata;
  metadata.feature_quantile_cuts = derive_dense_feature_quantile_cuts(values, 301, 1, 300);
  ASSERT_EQ(metadata.feature_quantile_cuts->front().size(), 299u);
  const auto result = quantize_dense_values_with_metadata_wide(values, 301, 1, ContinuousBinningStrategy::Quantile,
                                                               metadata, false, 298);
  EXPECT_EQ(result.bins[299], 298);
  EXPECT_EQ(result.bins[300], 299);
}

TEST(QuantizationKernels, LinearStrategyUsesRankForFlaggedFeatures) {
  const std::vector<float> values = {0, 0, 1, 1, 2, 2, 1000, 3};
  ContinuousBinningMetadataInternal metadata = linear_metadata({0, 0}, {1000, 3});
  metadata.feature_sorted_values = derive_dense_sorted_feature_values(values, 4, 2);
  metadata.feature_linear_rank_flags = std::vector<bool>{true, false};
  const auto result =
      quantize_dense_values_with_metadata(values, 4, 2, ContinuousBinningStrategy::Linear, metadata, false);
  // Feature 0 by rank among {0, 1, 2, 1000}; feature 1 linearly over [0, 3].
  EXPECT_EQ(result.bins, (std::vector<std::uint8_t>{0, 0, 85, 85, 169, 169, 254, 254}));
}

TEST(QuantizationKernels, ManyRowsMatchTheRuleValueByValue) {
  // Enough rows for several parallel chunks at any pool size.
  const std::size_t rows = 5000, features = 3;
  std::vector<float> values(rows * features);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = (i % 97 == 0) ? kNaN : static_cast<float>((i * 7919) % 1013) * 0.37f - 50.0f;
  }
  const auto [mins, maxs] = derive_dense_feature_bounds(values, rows, features);
  const auto result = quantize_dense_values_with_metadata_wide(values, rows, features, ContinuousBinningStrategy::Linear,
                                                               linear_metadata(mins, maxs), false, 998);
  std::uint16_t largest = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t f = i % features;
    const std::uint16_t expected = std::isnan(values[i]) ? 999 : linear_code(values[i], mins[f], maxs[f], 998);
    ASSERT_EQ(result.bins[i], expected) << i;
    largest = std::max(largest, expected);
  }
  EXPECT_EQ(result.max_code, largest);
}

// Every strategy and both storages on one matrix with NaN, a constant feature and a heavy tail
// ranked through the linear strategy's flag: every code, the missing code and the largest code
// written follow the per-value rules.
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
    for (const ContinuousBinningStrategy strategy : {ContinuousBinningStrategy::Linear, ContinuousBinningStrategy::Rank, ContinuousBinningStrategy::Quantile}) {
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
          if (strategy == ContinuousBinningStrategy::Rank || (strategy == ContinuousBinningStrategy::Linear && f == 2)) {
            expected = rank_code(values[i], sorted, top);
          } else if (strategy == ContinuousBinningStrategy::Linear) {
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
