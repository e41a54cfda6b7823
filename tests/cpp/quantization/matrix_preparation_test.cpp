#include "quantization/matrix_preparation.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.hpp"

namespace kestrune::quantization {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
using Strategy = ContinuousBinningStrategy;

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
                                            const PreparedTrainingMatrices& training) {
  return prepare_validation_matrices_from_dense_values(values, rows, features, std::vector<float>(rows, 0.0f),
                                                       std::nullopt, std::nullopt, std::nullopt, Strategy::Linear,
                                                       training.binning_metadata, false, 255);
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

TEST(QuantizationMatrixPreparation, RefusesBadInputsInOrder) {
  const std::vector<float> three = {1.5f, 2, 3}, training_values = {0.5f, 10.5f}, counts = {0, 3};
  const auto training = prepare(training_values, 2, 1);
  const auto binned = prepare(counts, 2, 1);
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { prepare(three, 2, 2); },
       "core error: validation error: matrix values length 3 does not match row_count * feature_count 4"},
      {[&] {
         prepare_training_matrices_from_dense_values(three, 3, 1, std::vector<float>{1, 2}, std::nullopt, std::nullopt,
                                                     std::nullopt, Strategy::Linear, 255, false);
       },
       "contract violation: rows length 3 does not match targets length 2"},
      {[&] { prepare({1, 300}, 2, 1); }, "contract violation: value at index 1 exceeds max supported bin 255"},
      {[&] { prepare({0, 1000}, 2, 1, Strategy::Linear, 1000); },
       "contract violation: value at index 1 exceeds max supported bin 999"},
      {[&] { prepare_validation({1, 2, 3}, 2, 1, training); },
       "core error: validation error: matrix values length 3 does not match row_count * feature_count 2"},
      {[&] { prepare_validation({256}, 1, 1, binned); },
       "contract violation: validation value at index 0 exceeds max supported bin 255"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(failure(call), message);
}

// Validation rows are binned with the training metadata, and already-binned training makes them
// bins too (NaN and negative values: missing and 0).
TEST(QuantizationMatrixPreparation, ValidationUsesTheTrainingBinning) {
  const auto training = prepare({0.5f, 10.5f}, 2, 1);
  const auto validation = prepare_validation({20, 5.5f, kNaN}, 3, 1, training);
  EXPECT_EQ(codes_of(validation), (std::vector<std::uint16_t>{254, 127, 255}));
  EXPECT_EQ(*validation.binning_metadata.feature_mins, *training.binning_metadata.feature_mins);
  EXPECT_EQ(codes_of(prepare_validation({5.5f}, 1, 1, training)), (std::vector<std::uint16_t>{127}));  // one cell
  const auto binned = prepare_validation({kNaN, -3, 2.4f, 255}, 4, 1, prepare({0, 3}, 2, 1));
  EXPECT_EQ(codes_of(binned), (std::vector<std::uint16_t>{255, 0, 2, 255}));
}

}  // namespace
}  // namespace kestrune::quantization
