#include "quantization/prediction_quantizers.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "../engine/engine_test_support.hpp"
#include "quantization/bin_rules.hpp"

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

bool same_code(float actual, float expected) {
  return std::isnan(expected) ? std::isnan(actual) : actual == expected;
}

// Every cell of every shape, a single cell and several row chunks included, gets the one-value
// rule; the bytes are read at any address.
TEST(QuantizationPredictionQuantizers, EveryShapeCodesEveryCell) {
  struct Shape {
    std::size_t rows, features;
  };
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<float> uniform(-2.0f, 12.0f);
  for (const Shape shape : {Shape{1, 1}, Shape{1, 3}, Shape{2, 1}, Shape{9000, 2}}) {
    SCOPED_TRACE(testing::Message() << shape.rows << " x " << shape.features);
    const std::size_t cells = shape.rows * shape.features;
    std::vector<float> values(cells);
    for (float& v : values) v = rng() % 9 == 0 ? kNaN : uniform(rng);
    if (cells == 1) values[0] = 6.0f;
    std::vector<float> mins(shape.features), maxs(shape.features);
    std::vector<std::vector<float>> sorted(shape.features);
    std::vector<bool> flags(shape.features);
    for (std::size_t f = 0; f < shape.features; ++f) {
      mins[f] = static_cast<float>(f);
      maxs[f] = 10.0f - static_cast<float>(f);
      sorted[f] = {0.0f, 1.0f, 4.0f, 9.0f + static_cast<float>(f)};
      flags[f] = f % 2 == 0;
    }
    const auto linear = quantize_dense_values_linear_inplace_wide(values, shape.rows, shape.features, mins, maxs, 300);
    const auto rank = quantize_dense_values_linear_rank_inplace_wide(values, shape.rows, shape.features, mins, maxs,
                                                                     flags, sorted, 300);
    const std::vector<std::uint8_t> encoded = le_bytes(values);
    ASSERT_EQ(linear.size(), cells);
    ASSERT_EQ(rank.size(), cells);
    for (const std::size_t offset : {0, 1, 3}) {
      std::vector<std::uint8_t> shifted(offset, 0x5A);
      shifted.insert(shifted.end(), encoded.begin(), encoded.end());
      const auto from_bytes = quantize_f32_bytes_linear(std::span<const std::uint8_t>(shifted).subspan(offset),
                                                        shape.rows, shape.features, mins, maxs);
      ASSERT_EQ(from_bytes.size(), cells);
      for (std::size_t i = 0; i < cells; ++i) {
        const std::size_t f = i % shape.features;
        const float x = values[i];
        const float expected = std::isnan(x) ? kNaN : static_cast<float>(linear_code(x, mins[f], maxs[f], 254));
        ASSERT_TRUE(same_code(from_bytes[i], expected)) << "bytes at offset " << offset << ", cell " << i;
      }
    }
    for (std::size_t i = 0; i < cells; ++i) {
      const std::size_t f = i % shape.features;
      const float x = values[i];
      const float linear_expected = std::isnan(x) ? kNaN : static_cast<float>(linear_code(x, mins[f], maxs[f], 300));
      const float rank_expected = std::isnan(x)  ? kNaN
                                  : flags[f]       ? static_cast<float>(rank_code(x, sorted[f], 300))
                                                   : linear_expected;
      ASSERT_TRUE(same_code(linear[i], linear_expected)) << "linear, cell " << i;
      ASSERT_TRUE(same_code(rank[i], rank_expected)) << "rank, cell " << i;
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
