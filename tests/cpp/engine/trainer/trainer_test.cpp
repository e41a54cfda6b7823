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
  params = {};
  params.min_split_gain = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(throws_engine_error([&] { Trainer::make(params).default_iteration_controls(3); },
                                  EngineErrorKind::InvalidConfig, "min_split_gain must be finite and >= 0"));
}

TEST(TrainerSetup, CategoricalFeaturesAreReplacedNotAppended) {
  Trainer trainer = Trainer::make(core::TrainParams{});
  trainer = std::move(trainer).with_categorical_features({{2, 5}});
  trainer = std::move(trainer).with_categorical_features({{0, 3}, {4, 9}});
  EXPECT_EQ(trainer.categorical_features(), (std::vector<CategoricalFeature>{{0, 3}, {4, 9}}));
}

TEST(TrainerSetup, ValidationImprovementIsCarriedOnlyWithEarlyStopping) {
  core::TrainParams params;
  params.min_validation_improvement = 0.5f;
  const IterationControls plain = Trainer::make(params).default_iteration_controls(40);
  EXPECT_FALSE(plain.early_stopping_rounds.has_value());
  EXPECT_EQ(plain.min_validation_improvement, 0.0f);
  params.early_stopping_rounds = 12;
  const IterationControls stopping = Trainer::make(params).default_iteration_controls(40);
  EXPECT_EQ(stopping.early_stopping_rounds, std::optional<std::size_t>(12));
  EXPECT_EQ(stopping.min_validation_improvement, 0.5f);
}

}  // namespace
}  // namespace kestrune::engine::trainer
