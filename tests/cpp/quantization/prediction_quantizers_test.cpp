#include "quantization/prediction_quantizers.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "../engine/engine_test_support.hpp"

namespace kestrune::quantization {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using engine::testing_support::throws_contract_violation;

std::vector<std::uint8_t> le_bytes(const std::vector<float>& values) {
  std::vector<std::uint8_t> bytes;
  for (const float value : values) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  return bytes;
}

TEST(QuantizationPredictionQuantizers, LinearKeepsNaNAndUsesTheTopBin) {
  const std::vector<float> values = {5, kNaN, -1, 20};
  const std::vector<float> mins = {0, 0}, maxs = {10, 10};
  const auto bins = quantize_dense_values_linear_inplace_wide(values, 2, 2, mins, maxs, 510);
  EXPECT_EQ(bins[0], 255.0f);
  EXPECT_TRUE(std::isnan(bins[1]));
  EXPECT_EQ(bins[2], 0.0f);
  EXPECT_EQ(bins[3], 510.0f);
  // A feature without training values (+inf, -inf) sends finite values to 0.
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(quantize_dense_values_linear_inplace_wide(std::vector<float>{3}, 1, 1, std::vector<float>{inf},
                                                      std::vector<float>{-inf}, 254)[0],
            0.0f);
}

TEST(QuantizationPredictionQuantizers, LinearRankChoosesPerFeature) {
  const std::vector<float> values = {2, 2};
  const std::vector<float> mins = {0, 0}, maxs = {10, 10};
  const std::vector<std::vector<float>> sorted = {{1, 2, 2, 3, 10}, {}};
  const auto bins =
      quantize_dense_values_linear_rank_inplace_wide(values, 1, 2, mins, maxs, std::vector<bool>{true, false}, sorted, 254);
  EXPECT_EQ(bins, (std::vector<float>{127, 51}));
}

TEST(QuantizationPredictionQuantizers, BytesMatchTheFloatPath) {
  const std::vector<float> values = {0.25f, kNaN, 7.5f, -3, 10, 4};
  const std::vector<float> mins = {0, -5}, maxs = {10, 5};
  const auto from_bytes = quantize_f32_bytes_linear(le_bytes(values), 3, 2, mins, maxs);
  const auto from_floats = quantize_dense_values_linear_inplace_wide(values, 3, 2, mins, maxs, 254);
  ASSERT_EQ(from_bytes.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    if (std::isnan(from_floats[i])) {
      EXPECT_TRUE(std::isnan(from_bytes[i]));
    } else {
      EXPECT_EQ(from_bytes[i], from_floats[i]) << i;
    }
  }
}

TEST(QuantizationPredictionQuantizers, RefuseInconsistentLengthsBeforeReading) {
  const std::vector<float> two = {1, 2};
  const std::vector<float> one = {0};
  EXPECT_TRUE(throws_contract_violation([&] { quantize_dense_values_linear_inplace_wide(two, 2, 0, {}, {}, 254); },
                                        "feature_count must be greater than 0"));
  EXPECT_TRUE(throws_contract_violation([&] { quantize_dense_values_linear_inplace_wide(two, 3, 1, one, one, 254); },
                                        "values length 2 does not match row_count * feature_count 3"));
  EXPECT_TRUE(throws_contract_violation([&] { quantize_dense_values_linear_inplace_wide(two, 1, 2, one, one, 254); },
                                        "feature_mins/feature_maxs length must match feature_count"));
  EXPECT_TRUE(throws_contract_violation(
      [&] { quantize_dense_values_linear_rank_inplace_wide(two, 2, 1, one, one, std::vector<bool>{}, {}, 254); },
      "rank_flags/feature_sorted_values length must match feature_count"));
  EXPECT_TRUE(throws_contract_violation([&] { quantize_f32_bytes_linear(le_bytes(two), 3, 1, one, one); },
                                        "bytes length 8 does not match expected 12 (row_count=3 * feature_count=1 * 4)"));
  EXPECT_TRUE(throws_contract_violation(
      [&] { quantize_f32_bytes_linear(le_bytes(two), std::numeric_limits<std::size_t>::max(), 2, one, one); },
      "row_count * feature_count overflows: row_count=18446744073709551615, feature_count=2"));
  EXPECT_EQ(quantize_dense_values_linear_inplace_wide({}, 0, 1, one, one, 254).size(), 0u);
}

}  // namespace
}  // namespace kestrune::quantization
