#include "engine/trainer/trainer.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "../engine_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using testing_support::throws_engine_error;

TEST(TrainerSetup, RejectedParametersArriveAsWrappedCoreErrors) {
  core::TrainParams params;
  params.learning_rate = 0.0f;
  EXPECT_TRUE(throws_engine_error([&] { Trainer::make(params); }, EngineErrorKind::Core,
                                  "invalid config: learning_rate must be in (0.0, 1.0]"));
}

TEST(TrainerSetup, KeepsParametersAndReplacesCategoricalFeatures) {
  core::TrainParams params;
  params.seed = 77;
  Trainer trainer = Trainer::make(params);
  EXPECT_EQ(trainer.params().seed, 77u);
  EXPECT_TRUE(trainer.categorical_features().empty());
  trainer = std::move(trainer).with_categorical_features({{2, 5}});
  trainer = std::move(trainer).with_categorical_features({{0, 3}, {4, 9}});
  EXPECT_EQ(trainer.categorical_features(), (std::vector<CategoricalFeature>{{0, 3}, {4, 9}}));
}

TEST(TrainerSetup, ManualControlsCopyTheParameters) {
  core::TrainParams params;
  params.min_data_in_leaf = 7;
  params.min_split_gain = 0.25f;
  params.row_subsample = 0.5f;
  params.col_subsample = 0.75f;
  params.min_validation_improvement = 0.5f;
  params.max_leaves = 31;
  const Trainer trainer = Trainer::make(params);
  const IterationControls controls = trainer.default_iteration_controls(40);
  EXPECT_EQ(controls.rounds, 40u);
  EXPECT_EQ(controls.min_rows_per_leaf, 7u);
  EXPECT_EQ(controls.loss_stall_limit, 0u);
  EXPECT_EQ(controls.min_split_gain, 0.25f);
  EXPECT_EQ(controls.min_abs_leaf_value, 0.0f);
  EXPECT_EQ(controls.max_abs_leaf_value, 1e6f);
  EXPECT_EQ(controls.min_loss_improvement, 0.0f);
  EXPECT_EQ(controls.row_subsample, 0.5f);
  EXPECT_EQ(controls.col_subsample, 0.75f);
  EXPECT_EQ(controls.max_leaves, std::optional<std::size_t>(31));
  // Without early stopping the improvement threshold is not carried.
  EXPECT_FALSE(controls.early_stopping_rounds.has_value());
  EXPECT_EQ(controls.min_validation_improvement, 0.0f);

  params.early_stopping_rounds = 12;
  const IterationControls stopping = Trainer::make(params).default_iteration_controls(40);
  EXPECT_EQ(stopping.early_stopping_rounds, std::optional<std::size_t>(12));
  EXPECT_EQ(stopping.min_validation_improvement, 0.5f);
}

TEST(TrainerSetup, ManualControlsReportTheFirstBadValue) {
  const Trainer trainer = Trainer::make(core::TrainParams{});
  EXPECT_TRUE(throws_engine_error([&] { trainer.default_iteration_controls(0); }, EngineErrorKind::InvalidConfig,
                                  "rounds must be greater than 0"));
  core::TrainParams params;
  params.min_split_gain = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(throws_engine_error([&] { Trainer::make(params).default_iteration_controls(3); },
                                  EngineErrorKind::InvalidConfig, "min_split_gain must be finite and >= 0"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
