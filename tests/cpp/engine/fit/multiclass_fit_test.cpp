// The multiclass rounds: what the loop tracks is what the returned model predicts, every row
// carries each kept tree whatever the sampling, the training-loss rules keep or drop a round's K
// trees together, early stopping cuts every class back to the best round, a continued fit numbers
// its trees after the last round of any class, and DART models carry the weights the run tracked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kRows = 150;
constexpr auto kDone = IterationStopReason::CompletedRequestedRounds;

TEST(MulticlassFit, TrackedMarginsAreThoseOfTheReturnedModel) {
  struct Case {
    core::BoostingMode mode;
    float row_subsample;
    core::TreeGrowth growth;
  };
  const Data train = make_data(5, kRows, 4, Target::Classes);
  const Data validation = make_data(12, 70, 4, Target::Classes);
  const auto objective = softmax();
  for (const Case& c : {Case{core::StandardBoosting{}, 1.0f, core::TreeGrowth::Level},
                        Case{core::StandardBoosting{}, 0.6f, core::TreeGrowth::Leaf},
                        Case{core::GossBoosting{0.2f, 0.3f}, 1.0f, core::TreeGrowth::Level}}) {
    SCOPED_TRACE(c.row_subsample);
    core::TrainParams params = small_params();
    params.boosting_mode = c.mode;
    params.row_subsample = c.row_subsample;
    params.tree_growth = c.growth;
    params.max_leaves = 6;
    params.seed = 9;
    const Trainer trainer = make_trainer(params);
    const RecordingHooks hooks;
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(5), &validation, std::nullopt, hooks);
    ASSERT_EQ(run.rounds_completed, 5u);
    ASSERT_EQ(hooks.round_start_predictions.size(), 5 * kClasses);
    for (std::size_t round = 0; round <= 5; ++round) {
      const float validation_loss =
          objective.loss(fresh_margins(run, validation, round), validation.dataset.targets, std::nullopt);
      EXPECT_EQ(validation_loss, round == 0 ? *run.initial_validation_loss : run.validation_loss[round - 1]) << round;
      if (round == 5) break;
      // Every class of a round grows from the margins the previous rounds left, on all rows.
      const auto expected = fresh_margins(run, train, round);
      for (std::size_t k = 0; k < kClasses; ++k) {
        SCOPED_TRACE(::testing::Message() << "round " << round << " class " << k);
        EXPECT_EQ(bits_of(hooks.round_start_predictions[round * kClasses + k]), bits_of(expected[k]));
        EXPECT_EQ(hooks.tree_indices[round * kClasses + k], round);
        EXPECT_EQ(hooks.round_rows[round * kClasses + k], hooks.round_rows[round * kClasses]);  // one sample per round
      }
    }
    EXPECT_EQ(objective.loss(fresh_margins(run, train), train.dataset.targets, std::nullopt), run.final_train_loss);
    EXPECT_EQ(run.train_loss.back(), run.final_train_loss);
    EXPECT_EQ(objective.loss(fresh_margins(run, train, 0), train.dataset.targets, std::nullopt), run.initial_train_loss);
    EXPECT_LT(run.final_train_loss, run.initial_train_loss);
    const auto best = std::min_element(run.validation_loss.begin(), run.validation_loss.end());
    EXPECT_EQ(run.best_validation_round, static_cast<std::size_t>(best - run.validation_loss.begin()) + 1);
    EXPECT_EQ(run.best_validation_loss, *best);
  }
}

TEST(MulticlassFit, TrainingLossRulesJudgeTheRoundsTreesTogether) {
  const Data train = make_data(7, kRows, 4, Target::Classes);
  const Trainer trainer = make_trainer(small_params());
  using Script = std::optional<std::vector<TrainedStump>>;
  const std::vector<TrainedStump> none;
  struct Case {
    // The tree of (pass, class); nothing lets the grower grow it.
    std::function<Script(std::size_t, std::size_t)> script;
    std::uint64_t warmup_below;
    IterationStopReason reason;
    std::size_t rounds_completed, recorded;
  };
  const Case cases[] = {
      // No class splits in the third pass.
      {[=](std::size_t pass, std::size_t) { return pass == 2 ? Script(none) : std::nullopt; }, 0,
       IterationStopReason::NoSplitCandidate, 2, 2},
      // Only class 1 splits: the round is kept.
      {[=](std::size_t, std::size_t k) { return k != 1 ? Script(none) : std::nullopt; }, 0, kDone, 4, 4},
      // Class 2's tree of the second pass pushes every row away from its label.
      {[](std::size_t pass, std::size_t k) { return pass == 1 && k == 2 ? Script(stump_tree(0, 40, 40)) : std::nullopt; },
       0, IterationStopReason::LossImprovementBelowThreshold, 1, 1},
      // In warm-up an empty round and a rising one are skipped but counted.
      {[=](std::size_t pass, std::size_t k) {
         return pass == 0 ? Script(none) : pass == 1 && k == 0 ? Script(stump_tree(0, -40, -40)) : std::nullopt;
       },
       2, kDone, 4, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const ScriptedHooks hooks{c.script, [&c](std::uint64_t iteration) { return iteration < c.warmup_below; }, 0, kClasses};
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

// The first rounds help, then deep trees fit the training set's label noise. Under DART the rounds
// after the best one also dropped (and so rescaled) kept trees: the returned model must carry the
// weights the best round left, which is what its validation loss measured.
TEST(MulticlassEarlyStopping, PlateauCutsEveryClassBackToTheBestRound) {
  const Data train = make_data(13, kRows, 4, Target::Classes);
  const Data validation = make_data(14, 80, 4, Target::Classes);
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

TEST(MulticlassWarmStart, NewTreesFollowTheLastRoundOfAnyClass) {
  // Class 0 has nothing at tree 1; the new round must not reuse index 1 in class 1.
  const Data train = make_data(23, 90, 4, Target::Classes);
  const Trainer trainer = make_trainer(small_params());
  MultiClassTrainedModel model;
  model.num_classes = kClasses;
  model.feature_count = 4;
  model.class_baselines.assign(kClasses, 0.0f);
  model.class_stumps.resize(kClasses);
  model.class_stumps[0] = stump_tree(0, 0.2f, -0.2f);
  model.class_stumps[1] = stump_tree(0, -0.1f, 0.1f);
  model.class_stumps[1].push_back(stump_tree(1, -0.1f, 0.1f)[0]);
  const MultiClassIterationRunSummary run =
      run_multiclass(trainer, train, trainer.default_iteration_controls(1), nullptr, multiclass_warm_start_from_model(model));
  EXPECT_EQ(tree_indices(run.class_stumps[1]).back(), 2u);
  EXPECT_EQ(tree_indices(run.class_stumps[0]).back(), 2u);
  const auto objective = softmax();
  EXPECT_EQ(run.initial_train_loss,
            objective.loss(fresh_margins(model.class_baselines, model.class_stumps, train), train.dataset.targets,
                           std::nullopt));
}

core::TrainParams dart_params(core::DartNormalizeType normalize = core::DartNormalizeType::Tree) {
  core::TrainParams params = small_params();
  params.boosting_mode = core::DartBoosting{0.3f, 4, normalize, core::DartSampleType::Uniform};
  params.seed = 17;
  return params;
}

// The returned model, with its weights, scores the losses the run reported.
TEST(MulticlassDart, ReturnedModelWithItsWeightsIsTheTrackedOne) {
  const Data train = make_data(32, 160, 4, Target::Classes);
  const Data validation = make_data(33, 60, 4, Target::Classes);
  const auto objective = softmax();
  for (const auto normalize : {core::DartNormalizeType::Tree, core::DartNormalizeType::Forest}) {
    SCOPED_TRACE(static_cast<int>(normalize));
    core::TrainParams params = dart_params(normalize);
    params.row_subsample = 0.8f;
    const Trainer trainer = make_trainer(params);
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(8), &validation);
    // Rescaling can raise the training loss, which ends a run early; either way some round dropped.
    ASSERT_GE(run.rounds_completed, 3u);
    bool rescaled = false;
    for (const auto& stumps : run.class_stumps) {
      for (const TrainedStump& stump : stumps) rescaled = rescaled || stump.tree_weight != 1.0f;
    }
    EXPECT_TRUE(rescaled);
    // Scaled updates round differently from a fresh weighted walk: float precision, not bits.
    EXPECT_NEAR(objective.loss(fresh_margins(run, train), train.dataset.targets, std::nullopt), run.final_train_loss,
                1e-5f);
    EXPECT_NEAR(objective.loss(fresh_margins(run, validation), validation.dataset.targets, std::nullopt),
                *run.final_validation_loss, 1e-5f);
  }
}

TEST(MulticlassDart, ContinuingADartModelStartsFromItsWeightedTrees) {
  const Data train = make_data(34, 120, 4, Target::Classes);
  const Trainer trainer = make_trainer(dart_params());
  MultiClassIterationRunSummary first = run_multiclass(trainer, train, trainer.default_iteration_controls(5));
  MultiClassWarmStartState warm = multiclass_warm_start_from_model(
      MultiClassTrainedModel::from_artifact_bytes(multiclass_trained_model(first).to_artifact_bytes()));
  ASSERT_TRUE(warm.initial_dart_tree_weights);
  EXPECT_EQ(warm.initial_dart_tree_weights->size(), 5 * kClasses);
  const MultiClassIterationRunSummary resumed =
      run_multiclass(trainer, train, trainer.default_iteration_controls(3), nullptr, warm);
  EXPECT_NEAR(resumed.initial_train_loss, first.final_train_loss, 1e-5f);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_LT(resumed.final_train_loss, resumed.initial_train_loss);
  EXPECT_NEAR(softmax().loss(fresh_margins(resumed, train), train.dataset.targets, std::nullopt),
              resumed.final_train_loss, 1e-5f);
  // The stored weights must cover every round and class.
  warm.initial_dart_tree_weights->pop_back();
  EXPECT_TRUE(throws_engine_error([&] { run_multiclass(trainer, train, trainer.default_iteration_controls(1), nullptr, warm); },
                                  EngineErrorKind::ContractViolation,
                                  "warm-start initial_dart_tree_weights length 14 != initial_rounds_completed * K = "
                                  "5 * 3 = 15"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
