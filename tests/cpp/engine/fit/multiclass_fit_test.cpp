// The multiclass rounds: what the loop tracks is what the returned model predicts, every row
// carries each kept tree whatever the sampling, and the training-loss rules keep or drop a
// round's K trees together.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../engine_test_support.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace multiclass_testing;
using fit_testing::bits_of;
using fit_testing::Data;
using fit_testing::make_trainer;
using fit_testing::small_params;

constexpr std::size_t kRows = 150;

TEST(MulticlassFit, TrackedMarginsAreThoseOfTheReturnedModel) {
  struct Case {
    const char* name;
    core::BoostingMode mode;
    float row_subsample;
    core::TreeGrowth growth;
  };
  const Case cases[] = {
      {"all_rows_level", core::StandardBoosting{}, 1.0f, core::TreeGrowth::Level},
      {"subsample_leaf", core::StandardBoosting{}, 0.6f, core::TreeGrowth::Leaf},
      {"goss_level", core::GossBoosting{0.2f, 0.3f}, 1.0f, core::TreeGrowth::Level},
  };
  const Data train = make_multiclass_data(5, kRows, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::TrainParams params = small_params();
    params.boosting_mode = c.mode;
    params.row_subsample = c.row_subsample;
    params.tree_growth = c.growth;
    params.max_leaves = 6;
    params.seed = 9;
    const Trainer trainer = make_trainer(params);
    const auto objective = softmax();
    const RecordingClassHooks hooks;
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(5), nullptr, std::nullopt, hooks);

    ASSERT_EQ(run.rounds_completed, 5u);
    ASSERT_EQ(hooks.start_margins.size(), 5 * kClasses);
    for (std::size_t round = 0; round < 5; ++round) {
      // Every class of a round grows from the margins the previous rounds left, on all rows.
      const auto expected = fresh_margins(run, train, round);
      for (std::size_t k = 0; k < kClasses; ++k) {
        SCOPED_TRACE(::testing::Message() << "round " << round << " class " << k);
        EXPECT_EQ(bits_of(hooks.start_margins[round * kClasses + k]), bits_of(expected[k]));
        EXPECT_EQ(hooks.tree_indices[round * kClasses + k], round);
        // One row sample per round, shared by the classes.
        EXPECT_EQ(hooks.rows[round * kClasses + k], hooks.rows[round * kClasses]);
      }
    }
    const auto final_margins = fresh_margins(run, train);
    EXPECT_EQ(objective.loss(final_margins, train.dataset.targets, std::nullopt), run.final_train_loss);
    EXPECT_EQ(run.train_loss.back(), run.final_train_loss);
    EXPECT_EQ(objective.loss(fresh_margins(run, train, 0), train.dataset.targets, std::nullopt),
              run.initial_train_loss);
    EXPECT_LT(run.final_train_loss, run.initial_train_loss);
  }
}

TEST(MulticlassFit, SummaryCountsTheSampleAndCarriesTheSolverAndNeutralizationRecords) {
  Data train = make_multiclass_data(6, kRows, 4);
  train.dataset.factor_exposures = core::FactorExposureMatrix::make(kRows, 1, [&] {
    std::vector<float> column(kRows);
    for (std::size_t r = 0; r < kRows; ++r) column[r] = static_cast<float>(r % 5) - 2.0f;
    return column;
  }());
  core::TrainParams params = small_params();
  params.row_subsample = 0.5f;
  params.col_subsample = 0.5f;
  params.dro_config = core::DroConfig{0.25f, core::DroMetric::Wasserstein};
  params.leaf_solver = core::LeafSolver::Dro;
  params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PerRoundGradient, 1.0f, 0.0f};
  const Trainer trainer = make_trainer(params);
  MultiClassIterationRunSummary run = run_multiclass(trainer, train, trainer.default_iteration_controls(4));

  EXPECT_EQ(run.rounds_completed, 4u);
  EXPECT_EQ(run.active_rows_per_round, std::vector<std::size_t>(4, kRows / 2));
  EXPECT_EQ(run.active_features_per_round, std::vector<std::size_t>(4, 2));
  ASSERT_EQ(run.diagnostics_per_round.size(), 4u);
  for (const IterationDiagnostics& round : run.diagnostics_per_round) {
    EXPECT_EQ(round.n_active_rows, kRows / 2);
    ASSERT_TRUE(round.original_gradient_l2_norm && round.projected_gradient_l2_norm);
    EXPECT_LE(*round.projected_gradient_l2_norm, *round.original_gradient_l2_norm);
  }
  const MultiClassTrainedModel model = multiclass_trained_model(run);
  ASSERT_TRUE(model.dro_metadata);
  EXPECT_EQ(model.dro_metadata->radius, 0.25f);
}

TEST(MulticlassFit, TrainingLossRulesJudgeTheRoundsTreesTogether) {
  const Data train = make_multiclass_data(7, kRows, 4);
  const Trainer trainer = make_trainer(small_params());
  struct Case {
    const char* name;
    // The tree of (pass, class); nothing lets the grower grow it.
    std::function<std::optional<std::vector<TrainedStump>>(std::size_t, std::size_t)> script;
    std::function<bool(std::uint64_t)> warmup;
    IterationStopReason reason;
    std::size_t rounds_completed;
    std::size_t recorded;
  };
  const auto never = [](std::uint64_t) { return false; };
  const Case cases[] = {
      // No class splits in the third pass.
      {"empty_round_stops",
       [](std::size_t pass, std::size_t) -> std::optional<std::vector<TrainedStump>> {
         if (pass == 2) return std::vector<TrainedStump>{};
         return std::nullopt;
       },
       never, IterationStopReason::NoSplitCandidate, 2, 2},
      // Only class 1 splits: the round is kept.
      {"one_class_enough",
       [](std::size_t, std::size_t klass) -> std::optional<std::vector<TrainedStump>> {
         if (klass != 1) return std::vector<TrainedStump>{};
         return std::nullopt;
       },
       never, IterationStopReason::CompletedRequestedRounds, 4, 4},
      // Class 2's tree of the second pass pushes every row away from its label.
      {"rising_loss_stops",
       [](std::size_t pass, std::size_t klass) -> std::optional<std::vector<TrainedStump>> {
         if (pass == 1 && klass == 2) return one_stump(40.0f, 40.0f);
         return std::nullopt;
       },
       never, IterationStopReason::LossImprovementBelowThreshold, 1, 1},
      // In warm-up an empty round and a rising one are skipped but counted.
      {"warm_up_skips",
       [](std::size_t pass, std::size_t klass) -> std::optional<std::vector<TrainedStump>> {
         if (pass == 0) return std::vector<TrainedStump>{};
         if (pass == 1 && klass == 0) return one_stump(-40.0f, -40.0f);
         return std::nullopt;
       },
       [](std::uint64_t iteration) { return iteration < 2; }, IterationStopReason::CompletedRequestedRounds, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScriptedClassHooks hooks{c.script, c.warmup};
    const auto objective = softmax();
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(4), nullptr, std::nullopt, hooks);
    EXPECT_EQ(run.stop_reason, c.reason);
    EXPECT_EQ(run.rounds_completed, c.rounds_completed);
    EXPECT_EQ(run.train_loss.size(), c.recorded);
    // No dropped tree survives: the model is exactly the recorded rounds' trees.
    const auto margins = fresh_margins(run, train);
    const float expected = c.recorded == 0 ? run.initial_train_loss : run.train_loss.back();
    EXPECT_EQ(objective.loss(margins, train.dataset.targets, std::nullopt), expected);
    EXPECT_EQ(run.final_train_loss, expected);
    for (std::size_t k = 0; k < kClasses; ++k) {
      for (const std::uint32_t tree : tree_indices(run.class_stumps[k])) EXPECT_LT(tree, run.rounds_completed);
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
