// Continuing an earlier model: the new trees follow the old ones as if the fit had never paused.
#include <gtest/gtest.h>

#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_contract_violation;

constexpr std::size_t kRows = 96;

TEST(FitWarmStart, ContinuesTheEarlierModelBitForBit) {
  const Data train = make_data(21, kRows, 4, Target::Binary);
  const Data validation = make_data(22, 40, 4, Target::Binary);
  core::TrainParams params = small_params();
  params.row_subsample = 0.7f;
  params.col_subsample = 0.75f;
  params.seed = 41;
  const Trainer trainer = make_trainer(params);
  const objectives::BinaryCrossEntropyObjective objective;
  auto controls = [&](std::size_t rounds) { return trainer.default_iteration_controls(rounds); };

  const IterationRunSummary straight = run_fit(trainer, train, objective, controls(7), {&validation});
  const IterationRunSummary first = run_fit(trainer, train, objective, controls(4));
  const IterationRunSummary resumed = fit_iterations_warm_start_with_validation_and_metric(
      trainer, train.dataset, train.binned, validation.dataset, validation.binned, backend_cpu::CpuBackend{}, objective,
      controls(3), warm_start_from(first.model), nullptr);

  ASSERT_EQ(straight.rounds_completed, 7u);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_EQ(resumed.model.to_artifact_bytes(), straight.model.to_artifact_bytes());
  EXPECT_EQ(resumed.initial_train_loss, first.final_train_loss);
  EXPECT_EQ(resumed.train_loss, std::vector<float>(straight.train_loss.begin() + 4, straight.train_loss.end()));
  EXPECT_EQ(resumed.initial_validation_loss, straight.validation_loss[3]);
  EXPECT_EQ(resumed.validation_loss,
            std::vector<float>(straight.validation_loss.begin() + 4, straight.validation_loss.end()));
}

TEST(FitWarmStart, ACutToRoundZeroKeepsTheWarmStartTrees) {
  const Data train = make_data(21, kRows, 4, Target::Regression);
  const Data validation = make_data(22, 40, 4, Target::Regression);
  const Trainer trainer = make_trainer(small_params());
  const IterationRunSummary first =
      run_fit(trainer, train, objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(2));

  // No round of the continued fit improves on the validation loss it started from.
  const ScriptedLossObjective objective{kRows, {9, 8, 7, 6}, {5, 6, 7}};
  IterationControls controls = trainer.default_iteration_controls(4);
  controls.early_stopping_rounds = 2;
  const IterationRunSummary resumed =
      run_fit(trainer, train, objective, controls, {&validation, warm_start_from(first.model)});
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
  const auto fit = [&] {
    return fit_iterations_warm_start(trainer, train.dataset, train.binned, backend_cpu::CpuBackend{},
                                     objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(3), warm);
  };
  EXPECT_TRUE(throws_contract_violation(fit, "encoded tree node id overflowed u32 range"));
  warm.completed_rounds = 4093;
  EXPECT_EQ(fit().model.rounds_completed(), 4096u);
}

}  // namespace
}  // namespace kestrune::engine::trainer
