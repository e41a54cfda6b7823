// Continuing a multiclass model: the state decoded from its artifact, and a resumed fit that
// equals an uninterrupted one.
#include <gtest/gtest.h>

#include <limits>
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

core::TrainParams sampled_params() {
  core::TrainParams params = small_params();
  params.row_subsample = 0.7f;
  params.col_subsample = 0.75f;
  params.seed = 41;
  return params;
}

TEST(MulticlassWarmStart, ContinuesTheEarlierModelBitForBit) {
  const Data train = make_multiclass_data(21, 120, 4);
  const Data validation = make_multiclass_data(22, 50, 4);
  const Trainer trainer = make_trainer(sampled_params());
  auto controls = [&](std::size_t rounds) { return trainer.default_iteration_controls(rounds); };

  MultiClassIterationRunSummary straight = run_multiclass(trainer, train, controls(7), &validation);
  MultiClassIterationRunSummary first = run_multiclass(trainer, train, controls(4));
  // Through the artifact, as the Python road continues a model.
  const std::vector<std::uint8_t> first_bytes = multiclass_trained_model(first).to_artifact_bytes();
  MultiClassWarmStartState warm =
      multiclass_warm_start_from_model(MultiClassTrainedModel::from_artifact_bytes(first_bytes));
  EXPECT_EQ(warm.initial_rounds_completed, 4u);
  EXPECT_FALSE(warm.initial_dart_tree_weights);
  MultiClassIterationRunSummary resumed = run_multiclass(trainer, train, controls(3), &validation, warm);

  ASSERT_EQ(straight.rounds_completed, 7u);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_EQ(resumed.initial_train_loss, first.final_train_loss);
  EXPECT_EQ(resumed.train_loss, std::vector<float>(straight.train_loss.begin() + 4, straight.train_loss.end()));
  EXPECT_EQ(resumed.initial_validation_loss, straight.validation_loss[3]);
  EXPECT_EQ(resumed.validation_loss,
            std::vector<float>(straight.validation_loss.begin() + 4, straight.validation_loss.end()));
  EXPECT_EQ(multiclass_trained_model(resumed).to_artifact_bytes(),
            multiclass_trained_model(straight).to_artifact_bytes());
}

TEST(MulticlassWarmStart, StateFromModelCountsEveryClassAndReadsWeightsByTreeIndex) {
  MultiClassTrainedModel model;
  model.num_classes = 2;
  model.feature_count = 1;
  model.class_baselines = {0.5f, -0.5f};
  model.class_stumps.resize(2);
  // Class 0 found no split in rounds 1 and 3; class 1 split in every round.
  auto tree = [](std::size_t index, float weight) {
    std::vector<TrainedStump> stumps = stump_tree(index, 0.1f, -0.1f);
    stumps[0].tree_weight = weight;
    return stumps;
  };
  for (const std::size_t index : {0u, 2u}) {
    for (TrainedStump& stump : tree(index, 1.0f)) model.class_stumps[0].push_back(stump);
  }
  for (const std::size_t index : {0u, 1u, 2u, 3u}) {
    for (TrainedStump& stump : tree(index, index == 2 ? 0.5f : 1.0f)) model.class_stumps[1].push_back(stump);
  }
  model.morph_metadata = core::MorphMetadata{};

  {
    const MultiClassWarmStartState state = multiclass_warm_start_from_model(model);
    EXPECT_EQ(state.initial_rounds_completed, 4u);
    ASSERT_TRUE(state.initial_dart_tree_weights);
    // Round-major, class-minor; class 0 has no tree 1 or 3.
    EXPECT_EQ(*state.initial_dart_tree_weights, (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.5f, 1.0f, 1.0f}));
    EXPECT_FALSE(state.morph_ema_stats);  // an empty list is no statistics
  }
  // Weights within float epsilon of 1 are no DART weights; neither is a NaN.
  model.class_stumps[1][2].tree_weight = 1.0f + std::numeric_limits<float>::epsilon();
  model.class_stumps[1][1].tree_weight = std::numeric_limits<float>::quiet_NaN();
  model.morph_metadata->ema_stats = {core::GradientEmaStats{}, core::GradientEmaStats{}};
  const MultiClassWarmStartState state = multiclass_warm_start_from_model(model);
  EXPECT_FALSE(state.initial_dart_tree_weights);
  ASSERT_TRUE(state.morph_ema_stats);
  EXPECT_EQ(state.morph_ema_stats->size(), 2u);

  EXPECT_EQ(multiclass_rounds_completed(std::vector<std::vector<TrainedStump>>(3)), 0u);
}

TEST(MulticlassWarmStart, NewTreesFollowTheLastRoundOfAnyClass) {
  // Class 0 has nothing at tree 1; the new round must not reuse index 1 in class 1.
  const Data train = make_multiclass_data(23, 90, 4);
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

}  // namespace
}  // namespace kestrune::engine::trainer
