// DART in the multiclass rounds: the per-tree record (positions by round and class, weights,
// drops, the replay after a cut back), and fits whose returned model, with its weights, is the
// model the run tracked and scored.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../engine_test_support.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace multiclass_testing;
using fit_testing::Data;
using fit_testing::make_trainer;
using fit_testing::small_params;
using fit_testing::stump_tree;
using testing_support::throws_engine_error;

core::TrainParams dart_params(core::DartNormalizeType normalize = core::DartNormalizeType::Tree) {
  core::TrainParams params = small_params();
  params.boosting_mode = core::DartBoosting{0.3f, 4, normalize, core::DartSampleType::Uniform};
  params.seed = 17;
  return params;
}

std::vector<float> stump_weights(const std::vector<TrainedStump>& stumps) {
  std::vector<float> weights;
  for (const TrainedStump& stump : stumps) weights.push_back(stump.tree_weight);
  return weights;
}

TEST(MulticlassDart, RecordPlacesTreesByRoundAndClassAndReplaysAfterACut) {
  // Two classes; the warm start has rounds 0 and 1, class 0 split only in round 1.
  std::vector<std::vector<TrainedStump>> lists(2);
  lists[0] = stump_tree(1, 0.1f, -0.1f);
  lists[1] = stump_tree(0, 0.2f, -0.2f);
  lists[1].push_back(stump_tree(1, 0.3f, -0.3f)[0]);
  const core::DartBoosting settings{0.5f, 2, core::DartNormalizeType::Tree, core::DartSampleType::Uniform};
  MultiClassDart dart = make_multiclass_dart(settings, 2, lists, 2, std::vector<float>{1.0f, 0.8f, 0.6f, 0.4f});
  EXPECT_EQ(dart.state.dropped_sets.size(), 2u);
  EXPECT_TRUE(multiclass_dart_tree(dart, lists, 0).empty());  // class 0 has no tree in round 0
  EXPECT_EQ(multiclass_dart_tree(dart, lists, 2).data(), &lists[0][0]);
  EXPECT_EQ(multiclass_dart_tree(dart, lists, 1).data(), &lists[1][0]);
  EXPECT_EQ(multiclass_dart_tree(dart, lists, 3).data(), &lists[1][1]);

  // Round 2 drops positions 1 and 2 (k = 2, "tree": x 2/3) and adds a tree to class 1 only.
  lists[1].push_back(stump_tree(2, 0.5f, -0.5f)[0]);
  const std::vector<std::size_t> dropped = {1, 2};
  const float third = 1.0f / 3.0f;
  const DartRoundScale scale = dart_round_scale(2, core::DartNormalizeType::Tree);
  EXPECT_EQ(scale.new_tree_weight, third);
  const std::vector<float> new_weights = {0.8f * scale.dropped_factor, 0.6f * scale.dropped_factor};
  record_multiclass_dart_round(dart, dropped, new_weights, scale.new_tree_weight, std::vector<std::size_t>{1, 2},
                               std::vector<std::size_t>{0, 1});
  EXPECT_EQ(dart.state.tree_weights,
            (std::vector<float>{1.0f, new_weights[0], new_weights[1], 0.4f, third, third}));
  EXPECT_TRUE(multiclass_dart_tree(dart, lists, 4).empty());
  EXPECT_EQ(multiclass_dart_tree(dart, lists, 5).data(), &lists[1][2]);

  // Round 3 drops position 5 (k = 1: x 1/2) and adds nothing anyone keeps after the cut.
  record_multiclass_dart_round(dart, std::vector<std::size_t>{5}, std::vector<float>{third * 0.5f}, 0.5f,
                               std::vector<std::size_t>{1, 3}, std::vector<std::size_t>{0, 0});
  EXPECT_EQ(dart.state.tree_weights[5], third * 0.5f);
  // Keeping one round restores position 5's weight of that round and removes round 3's positions.
  truncate_multiclass_dart(dart, 1);
  EXPECT_EQ(dart.state.tree_weights,
            (std::vector<float>{1.0f, new_weights[0], new_weights[1], 0.4f, third, third}));
  EXPECT_EQ(dart.state.dropped_sets.size(), 3u);
  write_multiclass_dart_weights(dart, lists);
  EXPECT_EQ(stump_weights(lists[0]), (std::vector<float>{new_weights[1]}));
  EXPECT_EQ(stump_weights(lists[1]), (std::vector<float>{new_weights[0], 0.4f, third}));
}

TEST(MulticlassDart, WarmStartWeightsMustCoverEveryRoundAndClass) {
  const Data train = make_multiclass_data(31, 90, 4);
  MultiClassWarmStartState warm;
  warm.baselines.assign(kClasses, 0.0f);
  warm.class_stumps.resize(kClasses);
  warm.class_stumps[0] = stump_tree(0, 0.1f, -0.1f);
  warm.class_stumps[2] = stump_tree(1, 0.1f, -0.1f);
  warm.initial_rounds_completed = 2;
  warm.initial_dart_tree_weights = std::vector<float>(5, 1.0f);
  auto run = [&](const core::TrainParams& params) {
    const Trainer trainer = make_trainer(params);
    return run_multiclass(trainer, train, trainer.default_iteration_controls(1), nullptr, warm);
  };
  EXPECT_TRUE(throws_engine_error([&] { run(dart_params()); }, EngineErrorKind::ContractViolation,
                                  "warm-start initial_dart_tree_weights length 5 != initial_rounds_completed * K = "
                                  "2 * 3 = 6"));
  // Without DART the weights are not read.
  EXPECT_NO_THROW(run(small_params()));
}

TEST(MulticlassDart, ReturnedModelWithItsWeightsIsTheTrackedOne) {
  const Data train = make_multiclass_data(32, 160, 4);
  const Data validation = make_multiclass_data(33, 60, 4);
  for (const core::DartNormalizeType normalize : {core::DartNormalizeType::Tree, core::DartNormalizeType::Forest}) {
    SCOPED_TRACE(normalize == core::DartNormalizeType::Tree ? "tree" : "forest");
    core::TrainParams params = dart_params(normalize);
    params.row_subsample = 0.8f;
    const Trainer trainer = make_trainer(params);
    const auto objective = softmax();
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(8), &validation);
    // Rescaling can raise the training loss, which ends a run early; either way some round dropped.
    ASSERT_GE(run.rounds_completed, 3u);
    EXPECT_TRUE(run.stop_reason == IterationStopReason::CompletedRequestedRounds ||
                run.stop_reason == IterationStopReason::LossImprovementBelowThreshold);
    bool rescaled = false;
    for (const auto& stumps : run.class_stumps) {
      for (const TrainedStump& stump : stumps) rescaled = rescaled || stump.tree_weight != 1.0f;
    }
    EXPECT_TRUE(rescaled);
    // The scaled updates round differently from a fresh weighted walk, so the losses agree to
    // float precision rather than bit for bit.
    EXPECT_NEAR(objective.loss(fresh_margins(run, train), train.dataset.targets, std::nullopt), run.final_train_loss,
                1e-5f);
    EXPECT_NEAR(objective.loss(fresh_margins(run, validation), validation.dataset.targets, std::nullopt),
                *run.final_validation_loss, 1e-5f);
  }
}

TEST(MulticlassDart, ContinuingADartModelStartsFromItsWeightedTrees) {
  const Data train = make_multiclass_data(34, 120, 4);
  const Trainer trainer = make_trainer(dart_params());
  const auto objective = softmax();
  MultiClassIterationRunSummary first = run_multiclass(trainer, train, trainer.default_iteration_controls(5));
  const std::vector<std::uint8_t> bytes = multiclass_trained_model(first).to_artifact_bytes();
  const MultiClassWarmStartState warm =
      multiclass_warm_start_from_model(MultiClassTrainedModel::from_artifact_bytes(bytes));
  ASSERT_TRUE(warm.initial_dart_tree_weights);
  EXPECT_EQ(warm.initial_dart_tree_weights->size(), 5 * kClasses);
  const MultiClassIterationRunSummary resumed =
      run_multiclass(trainer, train, trainer.default_iteration_controls(3), nullptr, warm);
  EXPECT_NEAR(resumed.initial_train_loss, first.final_train_loss, 1e-5f);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_LT(resumed.final_train_loss, resumed.initial_train_loss);
  EXPECT_NEAR(objective.loss(fresh_margins(resumed, train), train.dataset.targets, std::nullopt),
              resumed.final_train_loss, 1e-5f);
}

}  // namespace
}  // namespace kestrune::engine::trainer
