#include "quantization/matrix_preparation.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/error.hpp"
#include "quantization/linear_tail.hpp"

namespace kestrune::quantization {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using Strategy = ContinuousBinningStrategy;

template <typename T>
std::vector<T> vec(std::span<const T> codes) {
  return {codes.begin(), codes.end()};
}

// Every code of the binned matrix, whatever its storage width.
std::vector<std::uint16_t> codes_of(const PreparedTrainingMatrices& prepared) {
  std::vector<std::uint16_t> codes;
  const auto& binned = prepared.binned;
  for (std::size_t i = 0; i < binned.row_count * binned.feature_count; ++i) codes.push_back(binned.bins.at(i));
  return codes;
}

PreparedTrainingMatrices prepare(const std::vector<float>& values, std::size_t rows, std::size_t features,
                                 Strategy strategy = Strategy::Linear, std::size_t max_bins = 255,
                                 bool keep = false) {
  const std::vector<float> targets(rows, 0.0f);
  return prepare_training_matrices_from_dense_values(values, rows, features, targets, std::nullopt, std::nullopt,
                                                     std::nullopt, strategy, max_bins, keep);
}

PreparedTrainingMatrices prepare_validation(const std::vector<float>& values, std::size_t rows, std::size_t features,
                                            const PreparedTrainingMatrices& training, std::size_t max_bins = 255,
                                            Strategy strategy = Strategy::Linear) {
  const std::vector<float> targets(rows, 0.0f);
  return prepare_validation_matrices_from_dense_values(values, rows, features, targets, std::nullopt, std::nullopt,
                                                       std::nullopt, strategy, training.binning_metadata, false,
                                                       max_bins, training.binned.missing_bin);
}

// "Kind: message" of the engine error `call` throws.
std::string failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const engine::EngineError& error) {
    return error.display();
  }
  return "no error";
}

TEST(QuantizationMatrixPreparation, RefusesBadInputsInOrder) {
  const std::vector<float> three = {1.5f, 2, 3};
  EXPECT_EQ(failure([&] { prepare({}, 0, 0, Strategy::Linear, 1); }),
            "invalid config: continuous_binning_max_bins must be in [2, 65535]");
  EXPECT_EQ(failure([&] { prepare(three, 3, 1, Strategy::Linear, 65536); }),
            "invalid config: continuous_binning_max_bins must be in [2, 65535]");
  EXPECT_EQ(failure([&] { prepare({}, 0, 1); }), "core error: validation error: row_count must be greater than 0");
  EXPECT_EQ(failure([&] { prepare(three, 3, 0); }), "core error: validation error: feature_count must be greater than 0");
  EXPECT_EQ(failure([&] { prepare(three, 2, 2); }),
            "core error: validation error: matrix values length 3 does not match row_count * feature_count 4");
  EXPECT_EQ(failure([&] {
              prepare_training_matrices_from_dense_values(three, 3, 1, std::vector<float>{1, 2}, std::nullopt,
                                                          std::nullopt, std::nullopt, Strategy::Linear, 255, false);
            }),
            "contract violation: rows length 3 does not match targets length 2");
  // The first infinity in row-major order; an earlier NaN or fraction does not hide it.
  const std::vector<float> with_inf = {kNaN, 0.5f, 1, 2, 3, -kInf, 4, 5, kInf};
  EXPECT_EQ(failure([&] { prepare(with_inf, 3, 3); }), "contract violation: row 1 feature 2 must not be infinite");
}

TEST(QuantizationMatrixPreparation, WholeNonNegativeValuesAreTakenAsBins) {
  const std::vector<float> counts = {0, 3, 2.0000005f, 7};
  const auto prepared = prepare(counts, 2, 2, Strategy::Quantile, 255, true);
  EXPECT_FALSE(prepared.binning_metadata.uses_continuous_binning);
  EXPECT_FALSE(prepared.binning_metadata.feature_quantile_cuts.has_value());
  EXPECT_EQ(vec(prepared.binned.bins.u8()), (std::vector<std::uint8_t>{0, 3, 2, 7}));
  EXPECT_EQ(prepared.binned.max_bin, 7);
  EXPECT_EQ(prepared.dataset.matrix.values, (std::vector<float>{0, 3, 2, 7}));

  EXPECT_EQ(failure([&] { prepare({1, 300}, 2, 1); }), "contract violation: value at index 1 exceeds max supported bin 255");
  EXPECT_EQ(prepare({1, 255}, 2, 1).binned.max_bin, 255);
}

TEST(QuantizationMatrixPreparation, WideAlreadyBinnedCodesStopAtTheMissingCode) {
  const auto prepared = prepare({0, 998, 999}, 3, 1, Strategy::Linear, 1000);
  EXPECT_EQ(vec(prepared.binned.bins.u16()), (std::vector<std::uint16_t>{0, 998, 999}));
  EXPECT_EQ(prepared.binned.missing_bin, 1000);  // 999 is a value here, so missing values move past it
  EXPECT_EQ(failure([&] { prepare({0, 1000}, 2, 1, Strategy::Linear, 1000); }),
            "contract violation: value at index 1 exceeds max supported bin 999");
}

TEST(QuantizationMatrixPreparation, ContinuousMatrixKeepsMetadataAndStorage) {
  const std::vector<float> values = {0.5f, kNaN, 1.5f, 2, 10.5f, 4};
  const auto prepared = prepare(values, 3, 2);
  const auto& metadata = prepared.binning_metadata;
  EXPECT_EQ(*metadata.feature_mins, (std::vector<float>{0.5f, 2}));
  EXPECT_EQ(*metadata.feature_maxs, (std::vector<float>{10.5f, 4}));
  EXPECT_FALSE(metadata.feature_sorted_values.has_value());
  EXPECT_EQ(vec(prepared.binned.bins.u8()), (std::vector<std::uint8_t>{0, 255, 25, 0, 254, 254}));
  EXPECT_EQ(prepared.binned.max_bin, 255);  // the missing code counts
  EXPECT_TRUE(prepared.dataset.matrix.values.empty());

  const auto wide = prepare(values, 3, 2, Strategy::Linear, 300);
  EXPECT_EQ(vec(wide.binned.bins.u16()), (std::vector<std::uint16_t>{0, 299, 30, 0, 298, 298}));
  EXPECT_EQ(wide.binned.missing_bin, 299);
  EXPECT_EQ(wide.binned.max_bin, 299);

  EXPECT_EQ(prepare({0.5f, 0.5f}, 2, 1).binned.max_bin, 1);
}

TEST(QuantizationMatrixPreparation, StrategiesChooseTheirMetadata) {
  const std::vector<float> values = {1.5f, 2.5f, 3.5f, 0.5f};
  const auto rank = prepare(values, 4, 1, Strategy::Rank);
  EXPECT_EQ(*rank.binning_metadata.feature_sorted_values, (std::vector<std::vector<float>>{{0.5f, 1.5f, 2.5f, 3.5f}}));
  EXPECT_FALSE(rank.binning_metadata.feature_mins.has_value());
  EXPECT_EQ(vec(rank.binned.bins.u8()), (std::vector<std::uint8_t>{85, 169, 254, 0}));
  const auto quantile = prepare(values, 4, 1, Strategy::Quantile, 4);
  EXPECT_EQ(*quantile.binning_metadata.feature_quantile_cuts, (std::vector<std::vector<float>>{{1.5f, 2.5f, 3.5f}}));
  EXPECT_EQ(vec(quantile.binned.bins.u8()), (std::vector<std::uint8_t>{1, 2, 3, 0}));
}

TEST(QuantizationMatrixPreparation, LinearTailSwitchAddsFlagsAndSortedValues) {
  std::vector<float> values;  // feature 0 heavy-tailed, feature 1 even
  for (int i = 0; i < 19; ++i) {
    values.push_back(static_cast<float>(i) + 0.5f);
    values.push_back(static_cast<float>(i) + 0.5f);
  }
  values.push_back(1000.5f);
  values.push_back(19.5f);
  setenv(kLinearTailRankVariable, "on", 1);
  const auto flagged = prepare(values, 20, 2);
  setenv(kLinearTailCoreSpanRatioVariable, "0", 1);
  const auto none_flagged = prepare(values, 20, 2);
  unsetenv(kLinearTailCoreSpanRatioVariable);
  unsetenv(kLinearTailRankVariable);
  const auto off = prepare(values, 20, 2);

  EXPECT_EQ(*flagged.binning_metadata.feature_linear_rank_flags, (std::vector<bool>{true, false}));
  EXPECT_EQ(flagged.binning_metadata.feature_sorted_values.value().size(), 2u);
  // Ranked: value 1.5 is the 2nd of 20 values -> 254 * 1 / 19.
  EXPECT_EQ(vec(flagged.binned.bins.u8())[2], 13);
  EXPECT_EQ(*none_flagged.binning_metadata.feature_linear_rank_flags, (std::vector<bool>{false, false}));
  EXPECT_FALSE(none_flagged.binning_metadata.feature_sorted_values.has_value());
  EXPECT_FALSE(off.binning_metadata.feature_linear_rank_flags.has_value());
  EXPECT_EQ(vec(off.binned.bins.u8())[2], 0);  // 1.5 of [0.5, 1000.5] linearly
}

TEST(QuantizationMatrixPreparation, ValidationUsesTheTrainingMetadata) {
  const auto training = prepare({0.5f, 10.5f}, 2, 1);
  const auto validation = prepare_validation({20, 5.5f, kNaN}, 3, 1, training);
  EXPECT_EQ(vec(validation.binned.bins.u8()), (std::vector<std::uint8_t>{254, 127, 255}));
  EXPECT_EQ(codes_of(prepare_validation({5.5f}, 1, 1, training)), (std::vector<std::uint16_t>{127}));  // one cell
  EXPECT_EQ(*validation.binning_metadata.feature_mins, *training.binning_metadata.feature_mins);
  // Targets are checked before the view; the view reads with the training feature count.
  EXPECT_EQ(failure([&] {
              prepare_validation_matrices_from_dense_values(std::vector<float>{}, 2, 1, std::vector<float>{1},
                                                            std::nullopt, std::nullopt, std::nullopt, Strategy::Linear,
                                                            training.binning_metadata, false, 255, 255);
            }),
            "contract violation: rows length 2 does not match targets length 1");
  EXPECT_EQ(failure([&] { prepare_validation({1, 2, 3}, 2, 1, training); }),
            "core error: validation error: matrix values length 3 does not match row_count * feature_count 2");
  EXPECT_EQ(failure([&] { prepare_validation({1, kInf}, 2, 1, training); }),
            "contract violation: row 1 feature 0 must not be infinite");
}

TEST(QuantizationMatrixPreparation, ValidationOfBinnedTraining) {
  const auto training = prepare({0, 3}, 2, 1);
  EXPECT_EQ(vec(prepare_validation({kNaN, -3, 2.4f}, 3, 1, training).binned.bins.u8()),
            (std::vector<std::uint8_t>{255, 0, 2}));
  // Validation rows that hold 255 keep it as a bin apart from their missing values.
  EXPECT_EQ(codes_of(prepare_validation({kNaN, -3, 2.4f, 255}, 4, 1, training)),
            (std::vector<std::uint16_t>{256, 0, 2, 255}));
  EXPECT_EQ(failure([&] { prepare_validation({256}, 1, 1, training); }),
            "contract violation: validation value at index 0 exceeds max supported bin 255");
  const auto wide_training = prepare({0, 3}, 2, 1, Strategy::Linear, 1000);
  EXPECT_EQ(vec(prepare_validation({kNaN, 999}, 2, 1, wide_training, 1000).binned.bins.u16()),
            (std::vector<std::uint16_t>{1000, 999}));
  EXPECT_EQ(failure([&] { prepare_validation({1000}, 1, 1, wide_training, 1000); }),
            "contract violation: validation value at index 0 exceeds max supported bin 999");
}

// An already-binned matrix holds no missing value: one that holds the usual missing code as a value
// keeps it as a bin and marks missing values with the next code, in 16-bit storage; its validation
// rows take the same storage and code. Every other one keeps its usual storage and code.
TEST(QuantizationMatrixPreparation, BinValuesNeverTakeTheMissingCode) {
  const struct {
    std::uint16_t top;
    std::size_t max_bins;
    bool u8;
    std::uint16_t missing;
  } cases[] = {
      {254, 255, true, 255},   {255, 255, false, 256},   {255, 16, false, 256},        {255, 256, false, 256},
      {998, 1000, false, 999}, {999, 1000, false, 1000}, {65534, 65535, false, 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.top) + " with max_bins " + std::to_string(c.max_bins));
    const std::vector<float> values = {0, static_cast<float>(c.top), 7};
    const auto training = prepare(values, 3, 1, Strategy::Linear, c.max_bins, true);
    EXPECT_EQ(training.binned.bins.is_u8(), c.u8);
    EXPECT_EQ(training.binned.missing_bin, c.missing);
    EXPECT_EQ(training.binned.max_bin, c.top);
    EXPECT_EQ(codes_of(training), (std::vector<std::uint16_t>{0, c.top, 7}));
    EXPECT_EQ(training.dataset.matrix.values, values);
    EXPECT_EQ(training.binned.bins_column_major, training.binned.bins);
    const auto validation = prepare_validation({kNaN, 7}, 2, 1, training, c.max_bins);
    EXPECT_EQ(validation.binned.bins.is_u8(), c.u8);
    EXPECT_EQ(validation.binned.missing_bin, c.missing);
    EXPECT_EQ(codes_of(validation), (std::vector<std::uint16_t>{c.missing, 7}));
  }
}

// One table over the storage choices with the float codes kept: the codes, the largest code, which
// metadata the strategy keeps, and the kept float matrix equal to the codes.
TEST(QuantizationMatrixPreparation, ChoosesTheBinningAndTheStorage) {
  const std::vector<float> mixed = {0.5f, kNaN, 1.5f, 2, 10.5f, 4}, four = {1.5f, 2.5f, 3.5f, 0.5f};
  const struct {
    const char* what;
    std::vector<float> values;
    std::size_t rows, features;
    Strategy strategy;
    std::size_t max_bins;
    std::vector<std::uint16_t> codes;
    std::uint16_t max_bin;  // the missing code counts; 0: not pinned
    bool continuous;
  } cases[] = {
      {"whole non-negative values are bins", {0, 3, 2.0000005f, 7}, 2, 2, Strategy::Quantile, 255, {0, 3, 2, 7}, 7, false},
      {"wide bins stop below the missing code", {0, 998, 999}, 3, 1, Strategy::Linear, 1000, {0, 998, 999}, 999, false},
      {"a fraction makes a matrix continuous", mixed, 3, 2, Strategy::Linear, 255, {0, 255, 25, 0, 254, 254}, 255, true},
      {"wide continuous codes", mixed, 3, 2, Strategy::Linear, 300, {0, 299, 30, 0, 298, 298}, 299, true},
      {"rank", four, 4, 1, Strategy::Rank, 255, {85, 169, 254, 0}, 0, true},
      {"quantile", four, 4, 1, Strategy::Quantile, 4, {1, 2, 3, 0}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto prepared = prepare(c.values, c.rows, c.features, c.strategy, c.max_bins, true);
    const auto& metadata = prepared.binning_metadata;
    EXPECT_EQ(codes_of(prepared), c.codes);
    if (c.max_bin != 0) {
      EXPECT_EQ(prepared.binned.max_bin, c.max_bin);
    }
    EXPECT_EQ(metadata.uses_continuous_binning, c.continuous);
    EXPECT_EQ(metadata.feature_mins.has_value(), c.continuous && c.strategy == Strategy::Linear);
    EXPECT_EQ(metadata.feature_sorted_values.has_value(), c.continuous && c.strategy == Strategy::Rank);
    EXPECT_EQ(metadata.feature_quantile_cuts.has_value(), c.continuous && c.strategy == Strategy::Quantile);
    EXPECT_EQ(prepared.dataset.matrix.values, std::vector<float>(c.codes.begin(), c.codes.end()));
  }
}

}  // namespace
}  // namespace kestrune::quantization
