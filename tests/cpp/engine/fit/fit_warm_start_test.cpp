// Continuing an earlier model: the new trees follow the old ones as if the fit had never paused.
#include <gtest/gtest.h>

#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kRows = 96;

core::TrainParams sampled_params() {
  core::TrainParams params = small_params();
  params.row_subsample = 0.7f;
  params.col_subsample = 0.75f;
  params.seed = 41;
  return params;
}

WarmStartState warm_start_from(const IterationRunSummary& earlier) {
  WarmStartState warm;
  warm.stumps = earlier.model.stumps;
  warm.completed_rounds = earlier.model.rounds_completed();
  warm.base_score = earlier.model.base_prediction;
  return warm;
}

TEST(FitWarmStart, ContinuesTheEarlierModelBitForBit) {
  const Data train = make_data(21, kRows, 4, Target::Binary);
  const Data validation = make_data(22, 40, 4, Target::Binary);
  const Trainer trainer = make_trainer(sampled_params());
  const backend_cpu::CpuBackend backend;
  const objectives::BinaryCrossEntropyObjective objective;
  auto controls = [&](std::size_t rounds) { return trainer.default_iteration_controls(rounds); };

  const IterationRunSummary straight = fit_iterations_with_validation_and_metric(
      trainer, train.dataset, train.binned, validation.dataset, validation.binned, backend, objective, controls(7),
      nullptr);
  const IterationRunSummary first =
      fit_iterations_with_summary(trainer, train.dataset, train.binned, backend, objective, controls(4));
  const IterationRunSummary resumed = fit_iterations_warm_start_with_validation_and_metric(
      trainer, train.dataset, train.binned, validation.dataset, validation.binned, backend, objective, controls(3),
      warm_start_from(first), nullptr);

  ASSERT_EQ(straight.rounds_completed, 7u);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_EQ(resumed.model.to_artifact_bytes(), straight.model.to_artifact_bytes());
  EXPECT_EQ(resumed.model.rounds_completed(), 7u);
  EXPECT_EQ(resumed.initial_train_loss, first.final_train_loss);
  EXPECT_EQ(resumed.train_loss, std::vector<float>(straight.train_loss.begin() + 4, straight.train_loss.end()));
  EXPECT_EQ(resumed.initial_validation_loss, straight.validation_loss[3]);
  EXPECT_EQ(resumed.validation_loss,
            std::vector<float>(straight.validation_loss.begin() + 4, straight.validation_loss.end()));
}

TEST(FitWarmStart, TheWarmStartSuppliesTheBaseScore) {
  const Data train = make_data(21, kRows, 4, Target::Regression);
  WarmStartState warm;
  warm.base_score = 2.5f;
  const Trainer trainer = make_trainer(small_params());
  const IterationRunSummary summary =
      fit_iterations_warm_start(trainer, train.dataset, train.binned, backend_cpu::CpuBackend{},
                                objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(1), warm);
  EXPECT_EQ(summary.model.base_prediction, 2.5f);
  EXPECT_EQ(summary.initial_train_loss,
            objectives::SquaredErrorObjective{}.loss(std::vector<float>(kRows, 2.5f), train.dataset.targets,
                                                     std::nullopt));
}

TEST(FitWarmStart, ACutToRoundZeroKeepsTheWarmStartTrees) {
  const Data train = make_data(21, kRows, 4, Target::Regression);
  const Data validation = make_data(22, 40, 4, Target::Regression);
  const Trainer trainer = make_trainer(small_params());
  const backend_cpu::CpuBackend backend;
  const IterationRunSummary first = fit_iterations_with_summary(
      trainer, train.dataset, train.binned, backend, objectives::SquaredErrorObjective{},
      trainer.default_iteration_controls(2));

  // No round of the continued fit improves on the validation loss it started from.
  const ScriptedLossObjective objective{kRows, {9, 8, 7, 6}, {5, 6, 7}};
  IterationControls controls = trainer.default_iteration_controls(4);
  controls.early_stopping_rounds = 2;
  const IterationRunSummary resumed = fit_iterations_warm_start_with_validation_and_metric(
      trainer, train.dataset, train.binned, validation.dataset, validation.binned, backend, objective, controls,
      warm_start_from(first), nullptr);
  EXPECT_EQ(resumed.stop_reason, IterationStopReason::ValidationLossPlateau);
  EXPECT_EQ(resumed.rounds_completed, 0u);
  EXPECT_EQ(resumed.best_validation_round, 0u);
  TrainedModel kept = resumed.model;
  kept.objective = first.model.objective;
  EXPECT_EQ(kept.to_artifact_bytes(), first.model.to_artifact_bytes());
  EXPECT_EQ(resumed.final_train_loss, 9.0f);
  EXPECT_EQ(resumed.final_validation_loss, 5.0f);
}

TEST(FitWarmStart, TreeIndicesStopAt4096CountingWarmStartRounds) {
  const Data train = make_data(21, kRows, 4, Target::Regression);
  WarmStartState warm;
  warm.completed_rounds = 4094;
  const Trainer trainer = make_trainer(small_params());
  EXPECT_TRUE(throws_engine_error(
      [&] {
        fit_iterations_warm_start(trainer, train.dataset, train.binned, backend_cpu::CpuBackend{},
                                  objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(3), warm);
      },
      EngineErrorKind::ContractViolation, "encoded tree node id overflowed u32 range"));
  warm.completed_rounds = 4093;
  const IterationRunSummary summary =
      fit_iterations_warm_start(trainer, train.dataset, train.binned, backend_cpu::CpuBackend{},
                                objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(3), warm);
  EXPECT_EQ(summary.model.rounds_completed(), 4096u);
}

}  // namespace
}  // namespace kestrune::engine::trainer
