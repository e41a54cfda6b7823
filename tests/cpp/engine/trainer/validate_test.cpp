#include "engine/trainer/validate.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "../engine_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using testing_support::throws_engine_error;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(TrainerValidate, IterationControlsRulesInOrder) {
  IterationControls valid = IterationControls::make(1, 1, 0, 0.0f, 0.0f, 1.0f, 0.0f);
  EXPECT_NO_THROW(validate_iteration_controls(valid));
  valid.min_split_gain = -0.0f;
  valid.early_stopping_rounds = 1;
  EXPECT_NO_THROW(validate_iteration_controls(valid));

  struct Case {
    void (*spoil)(IterationControls&);
    const char* message;
  };
  const Case cases[] = {
      // Rows before gain here, unlike the constructor; every later field is broken too.
      {[](IterationControls& c) { c.rounds = 0; c.min_rows_per_leaf = 0; }, "rounds must be greater than 0"},
      {[](IterationControls& c) { c.min_rows_per_leaf = 0; c.min_split_gain = kNaN; },
       "min_rows_per_leaf must be greater than 0"},
      {[](IterationControls& c) { c.min_split_gain = -1.0f; c.min_abs_leaf_value = -1.0f; },
       "min_split_gain must be finite and >= 0"},
      {[](IterationControls& c) { c.min_abs_leaf_value = kNaN; c.max_abs_leaf_value = 0.0f; },
       "min_abs_leaf_value must be finite and >= 0"},
      {[](IterationControls& c) { c.max_abs_leaf_value = -0.0f; }, "max_abs_leaf_value must be finite and > 0"},
      {[](IterationControls& c) { c.min_abs_leaf_value = 2.0f; c.min_loss_improvement = kNaN; },
       "min_abs_leaf_value cannot exceed max_abs_leaf_value"},
      {[](IterationControls& c) { c.min_loss_improvement = -1.0f; c.row_subsample = 0.0f; },
       "min_loss_improvement must be finite and >= 0"},
      {[](IterationControls& c) { c.row_subsample = kNaN; c.col_subsample = 2.0f; }, "row_subsample must be in (0.0, 1.0]"},
      {[](IterationControls& c) { c.col_subsample = 0.0f; c.early_stopping_rounds = 0; },
       "col_subsample must be in (0.0, 1.0]"},
      {[](IterationControls& c) { c.early_stopping_rounds = 0; c.min_validation_improvement = kNaN; },
       "early_stopping_rounds must be greater than 0"},
      {[](IterationControls& c) { c.min_validation_improvement = -1.0f; },
       "min_validation_improvement must be finite and >= 0"},
  };
  for (const Case& c : cases) {
    IterationControls controls = IterationControls::make(1, 1, 0, 0.0f, 0.0f, 1.0f, 0.0f);
    c.spoil(controls);
    EXPECT_TRUE(throws_engine_error([&] { validate_iteration_controls(controls); }, EngineErrorKind::InvalidConfig,
                                    c.message));
  }
}

TEST(TrainerValidate, AlignmentChecksTheMatrixThenBothCounts) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make_metadata_only(3, 2);
  core::BinnedMatrix binned = core::BinnedMatrix::make(3, 2, 4, std::vector<std::uint8_t>(6, 1));
  EXPECT_NO_THROW(validate_training_alignment(dataset, binned));
  dataset.matrix = core::DatasetMatrix::make_metadata_only(3, 5);
  EXPECT_TRUE(throws_engine_error([&] { validate_training_alignment(dataset, binned); },
                                  EngineErrorKind::ContractViolation,
                                  "dataset feature_count 5 does not match binned feature_count 2"));
  dataset.matrix = core::DatasetMatrix::make_metadata_only(2, 5);
  EXPECT_TRUE(throws_engine_error([&] { validate_training_alignment(dataset, binned); },
                                  EngineErrorKind::ContractViolation,
                                  "dataset row_count 2 does not match binned row_count 3"));
  binned.bins.set(0, 9);  // above max_bin and not the missing bin
  try {
    validate_training_alignment(dataset, binned);
    ADD_FAILURE() << "expected the binned matrix's own error";
  } catch (const EngineError& error) {
    EXPECT_EQ(error.kind(), EngineErrorKind::Core);
  }
}

TEST(TrainerValidate, TargetVariance) {
  EXPECT_EQ(target_variance(std::vector<float>{1.0f, 3.0f}, std::nullopt), 1.0f);
  EXPECT_EQ(target_variance(std::vector<float>{2.0f, 2.0f, 2.0f}, std::nullopt), 0.0f);
  // Weighted: weights 3 and 1 on 0 and 4: mean 1, variance (3*1 + 1*9) / 4 = 3.
  const std::vector<float> weights{3.0f, 1.0f};
  EXPECT_EQ(target_variance(std::vector<float>{0.0f, 4.0f}, weights), 3.0f);
  EXPECT_TRUE(throws_engine_error([] { target_variance({}, std::nullopt); }, EngineErrorKind::ContractViolation,
                                  "targets cannot be empty"));
  const std::vector<float> three{1.0f, 1.0f, 1.0f};
  EXPECT_TRUE(throws_engine_error([&] { target_variance(std::vector<float>{1.0f, 2.0f}, three); },
                                  EngineErrorKind::ContractViolation, "weights length 3 does not match targets length 2"));
  const std::vector<float> cancelling{1.0f, -1.0f};
  EXPECT_TRUE(throws_engine_error([&] { target_variance(std::vector<float>{1.0f, 2.0f}, cancelling); },
                                  EngineErrorKind::ContractViolation, "sample weight sum must be greater than 0"));
}

TEST(TrainerValidate, DensityCountsOccupiedCellsUpToMaxBin) {
  // Feature 0 uses bins 0..3 (all four), feature 1 only bin 2 and the missing code (no cell).
  const core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 3, {0, 2, 1, 255, 2, 2, 3, 255});
  EXPECT_EQ(binned_feature_density(binned), 5.0f / 8.0f);
  const core::BinnedMatrix wide = core::BinnedMatrix::make_u16(2, 1, 999, 1000, {999, 0});
  EXPECT_EQ(binned_feature_density(wide), 2.0f / 1000.0f);
}

}  // namespace
}  // namespace kestrune::engine::trainer
