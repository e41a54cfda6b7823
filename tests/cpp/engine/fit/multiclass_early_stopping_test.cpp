// Validation tracking in the multiclass loop: the validation margins follow the kept rounds,
// early stopping ends the run, and the model is cut back class by class to the best round.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace multiclass_testing;
using fit_testing::Data;
using fit_testing::make_trainer;
using fit_testing::small_params;

constexpr std::size_t kRows = 160;

TEST(MulticlassEarlyStopping, ValidationLossesAreThoseOfTheModelSoFar) {
  const Data train = make_multiclass_data(11, kRows, 4);
  const Data validation = make_multiclass_data(12, 70, 4);
  const Trainer trainer = make_trainer(small_params());
  const auto objective = softmax();
  const MultiClassIterationRunSummary run =
      run_multiclass(trainer, train, trainer.default_iteration_controls(5), &validation);

  ASSERT_EQ(run.rounds_completed, 5u);
  ASSERT_EQ(run.validation_loss.size(), 5u);
  for (std::size_t round = 0; round <= 5; ++round) {
    const float loss =
        objective.loss(fresh_margins(run, validation, round), validation.dataset.targets, std::nullopt);
    EXPECT_EQ(loss, round == 0 ? *run.initial_validation_loss : run.validation_loss[round - 1]) << round;
  }
  const auto best = std::min_element(run.validation_loss.begin(), run.validation_loss.end());
  ASSERT_TRUE(run.best_validation_round);
  EXPECT_EQ(*run.best_validation_round, static_cast<std::size_t>(best - run.validation_loss.begin()) + 1);
  EXPECT_EQ(run.best_validation_loss, *best);
}

// The first rounds help, then deep trees fit the training set's label noise. Under DART the rounds
// after the best one also dropped (and so rescaled) kept trees: the returned model must carry the
// weights the best round left, which is what its validation loss measured.
TEST(MulticlassEarlyStopping, PlateauCutsEveryClassBackToTheBestRound) {
  const Data train = make_multiclass_data(13, kRows, 4, 0.2f);
  const Data validation = make_multiclass_data(14, 80, 4);
  const auto objective = softmax();
  for (const bool dart : {false, true}) {
    SCOPED_TRACE(dart ? "dart" : "gbdt");
    core::TrainParams params = small_params();
    params.learning_rate = 0.5f;
    params.max_depth = 4;
    if (dart) {
      params.boosting_mode = core::DartBoosting{0.5f, 3, core::DartNormalizeType::Tree, core::DartSampleType::Weighted};
      params.seed = 17;
    }
    const Trainer trainer = make_trainer(params);
    IterationControls controls = trainer.default_iteration_controls(60);
    controls.early_stopping_rounds = 3;
    const MultiClassIterationRunSummary run = run_multiclass(trainer, train, controls, &validation);

    ASSERT_EQ(run.stop_reason, IterationStopReason::ValidationLossPlateau);
    ASSERT_TRUE(run.best_validation_round);
    const std::size_t best = *run.best_validation_round;
    ASSERT_GT(best, 1u);
    EXPECT_EQ(run.rounds_completed, best);
    EXPECT_EQ(run.train_loss.size(), best);
    EXPECT_EQ(run.validation_loss.size(), best);
    EXPECT_EQ(run.diagnostics_per_round.size(), best);
    for (std::size_t k = 0; k < kClasses; ++k) {
      for (const std::uint32_t tree : tree_indices(run.class_stumps[k])) EXPECT_LT(tree, best) << "class " << k;
    }
    // The returned model scores the best loss; its training loss is the best round's. Scaled DART
    // updates round differently from a fresh weighted walk: there the losses agree to float precision.
    const float tolerance = dart ? 1e-5f : 0.0f;
    EXPECT_NEAR(objective.loss(fresh_margins(run, validation), validation.dataset.targets, std::nullopt),
                *run.best_validation_loss, tolerance);
    EXPECT_EQ(run.final_validation_loss, run.best_validation_loss);
    EXPECT_NEAR(objective.loss(fresh_margins(run, train), train.dataset.targets, std::nullopt), run.final_train_loss,
                tolerance);
    EXPECT_EQ(run.final_train_loss, run.train_loss.back());
  }
}

TEST(MulticlassEarlyStopping, NoImprovementKeepsOnlyTheWarmStart) {
  const Data train = make_multiclass_data(15, kRows, 4);
  const Data validation = make_multiclass_data(16, 60, 4);
  const Trainer trainer = make_trainer(small_params());
  MultiClassWarmStartState warm_start;
  warm_start.baselines = {0.1f, -0.1f, 0.0f};
  warm_start.class_stumps.resize(kClasses);
  warm_start.class_stumps[2] = fit_testing::stump_tree(0, 0.3f, -0.3f);
  warm_start.initial_rounds_completed = 1;

  IterationControls controls = trainer.default_iteration_controls(10);
  controls.early_stopping_rounds = 3;
  controls.min_validation_improvement = 1e6f;  // nothing improves by that much
  const MultiClassIterationRunSummary run = run_multiclass(trainer, train, controls, &validation, warm_start);

  EXPECT_EQ(run.stop_reason, IterationStopReason::ValidationLossPlateau);
  EXPECT_EQ(run.best_validation_round, 0u);
  EXPECT_EQ(run.rounds_completed, 0u);
  EXPECT_TRUE(run.train_loss.empty() && run.validation_loss.empty() && run.diagnostics_per_round.empty());
  EXPECT_EQ(run.baselines, warm_start.baselines);
  EXPECT_TRUE(run.class_stumps[0].empty() && run.class_stumps[1].empty());
  EXPECT_EQ(tree_indices(run.class_stumps[2]), std::vector<std::uint32_t>{0});
  EXPECT_EQ(run.best_validation_loss, run.initial_validation_loss);
  EXPECT_EQ(run.final_validation_loss, run.initial_validation_loss);
  EXPECT_EQ(run.final_train_loss, run.initial_train_loss);
}

}  // namespace
}  // namespace kestrune::engine::trainer
