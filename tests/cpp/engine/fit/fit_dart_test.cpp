// DART fits: the predictions the loop tracks describe the model it returns (each tree at its
// weight), the weights follow the drop-and-rescale arithmetic round by round, a cut back to the
// best round replays only the kept rounds, and warm-start trees keep their weights by tree index.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

constexpr std::size_t kRows = 160;
constexpr std::size_t kValidationRows = 50;
constexpr std::size_t kFeatures = 4;
// Every key lies below it except the very last of 2^24: every earlier tree is drawn each round.
const float kDropAll = std::nextafter(1.0f, 0.0f);

core::TrainParams dart_params(float rate, std::size_t max_drop, core::DartNormalizeType normalize,
                              core::DartSampleType sample = core::DartSampleType::Uniform) {
  core::TrainParams params = small_params();
  params.seed = 17;
  params.deterministic = true;
  params.boosting_mode = core::DartBoosting{rate, max_drop, normalize, sample};
  return params;
}

void expect_weights(const TrainedModel& model, const std::map<std::uint32_t, float>& expected) {
  const std::map<std::uint32_t, float> actual = tree_weights_of(model);
  ASSERT_EQ(actual.size(), expected.size());
  for (const auto& [tree, weight] : expected) {
    ASSERT_TRUE(actual.contains(tree)) << "tree " << tree;
    EXPECT_FLOAT_EQ(actual.at(tree), weight) << "tree " << tree;
  }
}

// A DART round may well raise the training loss (the dropped trees come back scaled down), which
// ends a fit; under AllWarmUp such a pass is only skipped, so these fits run all their passes and
// also put back the predictions of every pass they skip. The loop's tracked validation
// predictions of its last round, and its final training loss, must be those of a fresh walk of
// the returned model, every tree at the weight it carries.
TEST(FitDart, TrackedPredictionsAreThoseOfTheReturnedModel) {
  const Data regression = make_data(31, kRows, kFeatures, Target::Regression);
  const Data regression_validation = make_data(32, kValidationRows, kFeatures, Target::Regression);
  const Data binary = make_data(33, kRows, kFeatures, Target::Binary);
  const Data binary_validation = make_data(34, kValidationRows, kFeatures, Target::Binary);
  const Data relevance = make_data(35, kRows, kFeatures, Target::Relevance);
  const Data relevance_validation = make_data(36, kValidationRows, kFeatures, Target::Relevance);

  auto fit = [](const core::TrainParams& params, const auto& objective, const Data& train, const Data& validation) {
    const Trainer trainer = make_trainer(params);
    CapturingMetric metric;
    const IterationRunSummary summary = run_fit(trainer, train, objective, trainer.default_iteration_controls(10),
                                                {&validation, std::nullopt, &metric}, AllWarmUp{});
    EXPECT_GE(summary.train_loss.size(), 3u);
    ASSERT_GT(metric.evaluations, 0u);
    expect_close(metric.last_predictions, fresh_predictions(summary.model, validation), 1e-5f);
    const float fresh_loss =
        objective.loss(fresh_predictions(summary.model, train), train.dataset.targets, weights_of(train.dataset));
    EXPECT_NEAR(summary.final_train_loss, fresh_loss, 1e-5f * std::max(1.0f, fresh_loss));
    // The weights reach the artifact and come back from it.
    const TrainedModel decoded = TrainedModel::from_artifact_bytes(summary.model.to_artifact_bytes());
    EXPECT_EQ(tree_weights_of(decoded), tree_weights_of(summary.model));
    bool reweighted = false;
    for (const auto& [tree, weight] : tree_weights_of(summary.model)) reweighted = reweighted || weight != 1.0f;
    EXPECT_TRUE(reweighted);
  };
  {
    SCOPED_TRACE("squared error, tree, subsampled");
    core::TrainParams params = dart_params(0.4f, 2, core::DartNormalizeType::Tree);
    params.row_subsample = 0.7f;
    fit(params, objectives::SquaredErrorObjective{}, regression, regression_validation);
  }
  {
    SCOPED_TRACE("squared error, forest, weighted draws, leaf-wise");
    core::TrainParams params = dart_params(0.3f, 3, core::DartNormalizeType::Forest, core::DartSampleType::Weighted);
    params.tree_growth = core::TreeGrowth::Leaf;
    params.max_leaves = 6;
    fit(params, objectives::SquaredErrorObjective{}, regression, regression_validation);
  }
  {
    SCOPED_TRACE("binary cross-entropy, drop all");
    fit(dart_params(kDropAll, 100, core::DartNormalizeType::Tree), objectives::BinaryCrossEntropyObjective{}, binary,
        binary_validation);
  }
  {
    // Without sampling, a tree grown on the same drops is the same tree, and adds nothing.
    SCOPED_TRACE("quantile, forest, subsampled");
    core::TrainParams params = dart_params(0.5f, 2, core::DartNormalizeType::Forest);
    params.row_subsample = 0.8f;
    fit(params, objectives::QuantileObjective{0.7f}, regression, regression_validation);
  }
  {
    SCOPED_TRACE("query rmse");
    fit(dart_params(0.5f, 3, core::DartNormalizeType::Tree),
        objectives::QueryRMSEObjective(*relevance.dataset.group_id), relevance, relevance_validation);
  }
}

// When every round drops every earlier tree, each round's gradients are those of the initial score
// (up to the rounding of taking the dropped trees out), so each round's root splits the rows as the
// first one's did, with about its values: a round whose gradients came from the predictions before
// its drops would not.
TEST(FitDart, DroppingEveryTreeGrowsTheFirstRootEachRound) {
  const Data binary = make_data(33, kRows, kFeatures, Target::Binary);
  const Trainer trainer = make_trainer(dart_params(kDropAll, 100, core::DartNormalizeType::Tree));
  const IterationRunSummary summary = run_fit(trainer, binary, objectives::BinaryCrossEntropyObjective{},
                                              trainer.default_iteration_controls(4), {}, AllWarmUp{});
  std::map<std::uint32_t, const TrainedStump*> roots;
  for (const TrainedStump& stump : summary.model.stumps) {
    if (local_id_of(stump.node_id) == 0) roots.emplace(tree_index_of(stump.node_id), &stump);
  }
  ASSERT_GE(roots.size(), 3u);
  const TrainedStump& first = *roots.begin()->second;
  for (const auto& [tree, root] : roots) {
    SCOPED_TRACE(tree);
    EXPECT_EQ(root->feature_index, first.feature_index);
    EXPECT_EQ(root->split_bin, first.split_bin);
    EXPECT_NEAR(leaf_constant_or_intercept(root->left), leaf_constant_or_intercept(first.left), 1e-4f);
    EXPECT_NEAR(leaf_constant_or_intercept(root->right), leaf_constant_or_intercept(first.right), 1e-4f);
  }
}

// Every round drops every earlier tree: round 2 drops tree 0 (k = 1), round 3 trees 0 and 1
// (k = 2). "tree" keeps k/(k+1) of a dropped weight, "forest" 1/(k+1); the new tree enters at
// 1/(k+1). Rounds 4 and 5 drop trees 0 to 2 again, and a cut back to round 3 must undo that.
TEST(FitDart, WeightsFollowTheDropsAndACutReplaysOnlyTheKeptRounds) {
  const Data train = make_data(41, kRows, kFeatures, Target::Regression);
  const Data validation = make_data(42, kValidationRows, kFeatures, Target::Regression);
  struct Case {
    core::DartNormalizeType normalize;
    float dropped_twice;  // trees 0 and 1 after round 3
  };
  for (const Case c : {Case{core::DartNormalizeType::Tree, 1.0f / 3.0f},
                       Case{core::DartNormalizeType::Forest, 1.0f / 6.0f}}) {
    SCOPED_TRACE(static_cast<int>(c.normalize));
    const Trainer trainer = make_trainer(dart_params(kDropAll, 100, c.normalize));
    // Training losses that always improve; validation losses best at round 3.
    const ScriptedLossObjective objective{kRows, {10, 9, 8, 7, 6, 5}, {10, 9, 8, 7, 7.5f, 7.6f}};

    const IterationRunSummary three =
        run_fit(trainer, train, objective, trainer.default_iteration_controls(3), {&validation});
    expect_weights(three.model, {{0, c.dropped_twice}, {1, c.dropped_twice}, {2, 1.0f / 3.0f}});

    const ScriptedLossObjective again{kRows, {10, 9, 8, 7, 6, 5}, {10, 9, 8, 7, 7.5f, 7.6f}};
    IterationControls controls = trainer.default_iteration_controls(5);
    controls.early_stopping_rounds = 2;
    const IterationRunSummary cut = run_fit(trainer, train, again, controls, {&validation});
    ASSERT_EQ(cut.stop_reason, IterationStopReason::ValidationLossPlateau);
    ASSERT_EQ(cut.rounds_completed, 3u);
    EXPECT_EQ(cut.model.to_artifact_bytes(), three.model.to_artifact_bytes());
  }
}

// Pass 1 is a warm-up pass with an empty tree: it drops tree 0, then must put it back. Pass 2
// draws only position 0, pass 3 draws position 0, the filler left for pass 1, and tree 2: the
// filler counts in k although it has no tree to take out.
TEST(FitDart, SkippedPassesRestoreThePredictionsAndLeaveFillers) {
  const Data train = make_data(43, kRows, kFeatures, Target::Regression);
  const Data validation = make_data(44, kValidationRows, kFeatures, Target::Regression);
  const Trainer trainer = make_trainer(dart_params(kDropAll, 100, core::DartNormalizeType::Tree));
  ScriptedHooks hooks;
  hooks.script = [](std::size_t pass, std::size_t) -> std::optional<std::vector<TrainedStump>> {
    if (pass == 1) return std::vector<TrainedStump>{};
    return std::nullopt;
  };
  hooks.warmup = [](std::uint64_t iteration) { return iteration == 1; };
  const ScriptedLossObjective objective{kRows, {10, 9, 8, 7, 6}, {10, 9, 8, 7, 6}};
  CapturingMetric metric;
  const IterationRunSummary summary = run_fit(trainer, train, objective, trainer.default_iteration_controls(4),
                                              {&validation, std::nullopt, &metric}, hooks);
  ASSERT_EQ(summary.rounds_completed, 4u);
  ASSERT_EQ(summary.train_loss.size(), 3u);
  expect_weights(summary.model, {{0, 0.5f * 0.75f}, {2, 0.5f * 0.75f}, {3, 0.25f}});
  expect_close(metric.last_predictions, fresh_predictions(summary.model, validation), 1e-5f);
}

// An earlier model with trees 0 and 2 (tree 1 grew nothing) and its stored weights. The single
// round drops positions 0, 1 and 2 (k = 3): each weight found at its tree index is scaled by 3/4.
// A cut back to round 0 restores the stored weights.
TEST(FitDart, WarmStartWeightsArePlacedByTreeIndex) {
  const Data train = make_data(45, kRows, kFeatures, Target::Regression);
  const Data validation = make_data(46, kValidationRows, kFeatures, Target::Regression);
  WarmStartState warm;
  warm.stumps = stump_tree(0, 0.4f, -0.3f);
  std::vector<TrainedStump> second = stump_tree(2, 0.2f, -0.1f);
  TrainedStump child = second[0];
  child.node_id = encode_tree_node_id(2, 1);
  child.feature_index = 1;
  child.left = 0.05f;
  child.right = -0.05f;
  second.push_back(child);
  warm.stumps.insert(warm.stumps.end(), second.begin(), second.end());
  warm.stumps[0].tree_weight = 0.5f;
  warm.stumps[1].tree_weight = warm.stumps[2].tree_weight = 0.25f;
  warm.dart_tree_weights = std::vector<float>{0.5f, 0.25f, 0.25f};
  warm.completed_rounds = 3;
  warm.base_score = 0.1f;

  const Trainer trainer = make_trainer(dart_params(kDropAll, 100, core::DartNormalizeType::Tree));
  CapturingMetric metric;
  const IterationRunSummary one = run_fit(trainer, train, ScriptedLossObjective{kRows, {10, 9}, {10, 9}},
                                          trainer.default_iteration_controls(1), {&validation, warm, &metric});
  ASSERT_EQ(one.rounds_completed, 1u);
  expect_weights(one.model, {{0, 0.5f * 0.75f}, {2, 0.25f * 0.75f}, {3, 0.25f}});
  expect_close(metric.last_predictions, fresh_predictions(one.model, validation), 1e-5f);

  IterationControls controls = trainer.default_iteration_controls(2);
  controls.early_stopping_rounds = 1;
  const IterationRunSummary cut =
      run_fit(trainer, train, ScriptedLossObjective{kRows, {10, 9}, {10, 11}}, controls, {&validation, warm});
  ASSERT_EQ(cut.rounds_completed, 0u);
  expect_weights(cut.model, {{0, 0.5f}, {2, 0.25f}});
}

}  // namespace
}  // namespace kestrune::engine::trainer
