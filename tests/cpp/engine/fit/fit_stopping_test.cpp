// How a fit ends without a validation set: an empty tree, the training-loss rules, and the
// warm-up passes that are skipped instead of ending it. Trees and losses are scripted.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

constexpr std::size_t kRows = 48;
constexpr float kInf = std::numeric_limits<float>::infinity();

template <typename O>
IterationRunSummary run(const Data& data, const O& objective, IterationControls controls, const ScriptedHooks& hooks,
                        bool dart = false) {
  core::TrainParams params = small_params();
  if (dart) params.boosting_mode = core::DartBoosting{0.3f, 2, core::DartNormalizeType::Tree, core::DartSampleType::Uniform};
  return run_fit(make_trainer(params), data, objective, controls, {}, hooks);
}

IterationControls controls_for(std::size_t rounds, float min_loss_improvement = 0.0f, std::size_t stall_limit = 0) {
  return IterationControls::make(rounds, 1, stall_limit, 0.0f, 0.0f, 1e6f, min_loss_improvement);
}

ScriptedHooks grown_trees() {
  return ScriptedHooks{[](std::size_t, std::size_t) { return std::optional<std::vector<TrainedStump>>(); }};
}

std::vector<std::uint32_t> tree_indices(const TrainedModel& model) {
  std::vector<std::uint32_t> indices;
  for (const TrainedStump& stump : model.stumps) {
    if (indices.empty() || indices.back() != tree_index_of(stump.node_id)) indices.push_back(tree_index_of(stump.node_id));
  }
  return indices;
}

TEST(FitStopping, AnEmptyTreeEndsTheFitWithTheGrowersReason) {
  const Data data = make_data(2, kRows, 3, Target::Regression);
  for (const std::size_t empty_pass : {0u, 2u}) {
    SCOPED_TRACE(empty_pass);
    ScriptedHooks hooks{[empty_pass](std::size_t pass, std::size_t) {
      return pass == empty_pass ? std::optional<std::vector<TrainedStump>>(std::vector<TrainedStump>{}) : std::nullopt;
    }};
    const IterationRunSummary summary = run(data, objectives::SquaredErrorObjective{}, controls_for(5), hooks);
    EXPECT_EQ(summary.stop_reason, IterationStopReason::GainBelowThreshold);
    EXPECT_EQ(summary.rounds_completed, empty_pass);
    EXPECT_EQ(summary.model.rounds_completed(), empty_pass);
    EXPECT_EQ(summary.final_train_loss, empty_pass == 0 ? summary.initial_train_loss : summary.train_loss.back());
  }
}

TEST(FitStopping, TrainingLossRules) {
  struct Case {
    const char* name;
    std::vector<float> losses;  // initial, then one per scored pass
    float min_loss_improvement;
    std::size_t stall_limit;
    std::size_t completed;
    std::size_t low_improvement;
    IterationStopReason stop;
    bool dart = false;  // rounds rescale earlier trees: only a loss that is not finite ends the fit
  };
  const IterationStopReason kLoss = IterationStopReason::LossImprovementBelowThreshold;
  const IterationStopReason kDone = IterationStopReason::CompletedRequestedRounds;
  const Case cases[] = {
      {"a worse loss stops and drops its tree", {10, 9, 9.5f}, 0.0f, 0, 1, 0, kLoss},
      {"an equal loss passes a zero threshold", {10, 10}, 0.0f, 0, 6, 0, kDone},
      {"an equal loss is a low improvement above it", {10, 10}, 0.1f, 0, 0, 0, kLoss},
      {"stall limit 2 keeps two low rounds", {10, 9, 8.95f, 8.9f, 8.85f, 8.8f, 8.75f}, 0.1f, 2, 3, 2, kLoss},
      {"a sufficient improvement resets the stall", {10, 9.95f, 9, 8.95f, 8.9f}, 0.1f, 1, 3, 2, kLoss},
      {"a NaN loss stops", {10, 9, kNaN}, 0.0f, 0, 1, 0, kLoss},
      {"an infinite loss stops", {10, kInf}, 0.0f, 3, 0, 0, kLoss},
      {"any finite loss improves on an infinite start", {kInf, 5, 4, 3, 2, 1, 0}, 0.0f, 0, 6, 0, kDone},
      {"dart keeps a worse loss", {10, 9, 9.5f, 9.7f, 9, 9.2f, 9.1f}, 0.0f, 0, 6, 0, kDone, true},
      {"dart has no stall rule", {10, 10}, 0.1f, 0, 6, 0, kDone, true},
      {"dart stops on a NaN loss", {10, 11, kNaN}, 0.0f, 0, 1, 0, kLoss, true},
  };
  const Data data = make_data(2, kRows, 3, Target::Regression);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScriptedLossObjective objective{kRows, c.losses, {}};
    const IterationRunSummary summary =
        run(data, objective, controls_for(6, c.min_loss_improvement, c.stall_limit), grown_trees(), c.dart);
    EXPECT_EQ(summary.stop_reason, c.stop);
    EXPECT_EQ(summary.rounds_completed, c.completed);
    EXPECT_EQ(summary.low_improvement_rounds, c.low_improvement);
    EXPECT_EQ(summary.model.rounds_completed(), c.completed);
    const std::vector<float> kept(c.losses.begin() + 1,
                                  c.losses.begin() + 1 + std::min(c.completed, c.losses.size() - 1));
    EXPECT_EQ(std::vector<float>(summary.train_loss.begin(), summary.train_loss.begin() + kept.size()), kept);
    EXPECT_EQ(summary.train_loss.size(), c.completed);
    EXPECT_EQ(summary.final_train_loss, c.completed == 0 ? c.losses[0] : summary.train_loss.back());
  }
}

TEST(FitStopping, RankingKeepsATreeThatRaisesItsLoss) {
  const Data data = make_data(2, kRows, 3, Target::Relevance);
  // Raising the rows with a small feature 0 inverts the ranking the labels follow.
  ScriptedHooks hooks{[](std::size_t pass, std::size_t tree_index) {
    return pass == 1 ? std::optional<std::vector<TrainedStump>>(stump_tree(tree_index, 100.0f, 0.0f)) : std::nullopt;
  }};
  const IterationRunSummary summary =
      run(data, objectives::LambdaMARTObjective(*data.dataset.group_id), controls_for(3, 0.5f), hooks);
  EXPECT_EQ(summary.stop_reason, IterationStopReason::CompletedRequestedRounds);
  ASSERT_EQ(summary.train_loss.size(), 3u);
  EXPECT_GT(summary.train_loss[1], summary.train_loss[0]);
  EXPECT_EQ(summary.low_improvement_rounds, 0u);
}

TEST(FitStopping, WarmUpPassesAreSkippedButCounted) {
  const Data data = make_data(2, kRows, 3, Target::Regression);
  // Pass 0 grows nothing and pass 1 makes the loss worse: both are in warm-up, so both are skipped.
  ScriptedHooks hooks{[](std::size_t pass, std::size_t) {
                        return pass == 0 ? std::optional<std::vector<TrainedStump>>(std::vector<TrainedStump>{})
                                         : std::nullopt;
                      },
                      [](std::uint64_t iteration) { return iteration < 3; }};
  const ScriptedLossObjective objective{kRows, {10, 11, 9, 8, 7}, {}};
  const IterationRunSummary summary = run(data, objective, controls_for(5), hooks);
  EXPECT_EQ(summary.stop_reason, IterationStopReason::CompletedRequestedRounds);
  EXPECT_EQ(summary.rounds_completed, 5u);
  EXPECT_EQ(summary.train_loss, (std::vector<float>{9, 8, 7}));
  EXPECT_EQ(tree_indices(summary.model), (std::vector<std::uint32_t>{2, 3, 4}));

  // Every pass skipped: the fit completes with nothing of its own.
  ScriptedHooks idle{[](std::size_t, std::size_t) {
                       return std::optional<std::vector<TrainedStump>>(std::vector<TrainedStump>{});
                     },
                     [](std::uint64_t) { return true; }};
  const IterationRunSummary empty = run(data, objectives::SquaredErrorObjective{}, controls_for(2), idle);
  EXPECT_EQ(empty.stop_reason, IterationStopReason::CompletedRequestedRounds);
  EXPECT_EQ(empty.rounds_completed, 2u);
  EXPECT_TRUE(empty.model.stumps.empty());
  EXPECT_EQ(empty.final_train_loss, empty.initial_train_loss);
}

// A skipped pass leaves the predictions as they were, so the pass after it grows from the same
// gradients as the skipped pass would have: for a binary fit (whose loss and next gradients come
// from one pass over the skipped pass's predictions) the tree grown after a scripted tree that
// raised the loss is the tree a fit without that script grows in its place.
TEST(FitStopping, APassAfterASkippedOneGrowsFromTheKeptPredictions) {
  const Data data = make_data(5, kRows, 3, Target::Binary);
  const auto fit = [&](bool spoil_pass_2) {
    ScriptedHooks hooks{[spoil_pass_2](std::size_t pass, std::size_t tree_index) {
                          return spoil_pass_2 && pass == 2 ? std::optional(stump_tree(tree_index, 30.0f, -30.0f))
                                                           : std::nullopt;
                        },
                        [](std::uint64_t) { return true; }};
    return run_fit(make_trainer(small_params()), data, objectives::BinaryCrossEntropyObjective{}, controls_for(4), {},
                   hooks);
  };
  const IterationRunSummary spoiled = fit(true);
  const IterationRunSummary plain = fit(false);
  ASSERT_EQ(tree_indices(spoiled.model), (std::vector<std::uint32_t>{0, 1, 3}));
  const auto tree = [](const TrainedModel& model, std::uint32_t index) {
    std::vector<TrainedStump> stumps;
    for (const TrainedStump& stump : model.stumps) {
      if (tree_index_of(stump.node_id) == index) stumps.push_back(stump);
    }
    return stumps;
  };
  const std::vector<TrainedStump> after_skip = tree(spoiled.model, 3);
  const std::vector<TrainedStump> in_its_place = tree(plain.model, 2);
  ASSERT_EQ(after_skip.size(), in_its_place.size());
  ASSERT_FALSE(after_skip.empty());
  for (std::size_t k = 0; k < after_skip.size(); ++k) {
    EXPECT_EQ(after_skip[k].feature_index, in_its_place[k].feature_index);
    EXPECT_EQ(after_skip[k].split_bin, in_its_place[k].split_bin);
    EXPECT_EQ(leaf_constant_or_intercept(after_skip[k].left), leaf_constant_or_intercept(in_its_place[k].left));
    EXPECT_EQ(leaf_constant_or_intercept(after_skip[k].right), leaf_constant_or_intercept(in_its_place[k].right));
  }
}

// Any hooks, with before_updates left to the trainer's default: each round is judged before the
// next tree is grown. The reference for a trainer that judges a round while the next tree grows.
template <typename Inner>
struct JudgeFirst {
  Inner inner;
  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    return inner.build_tree(backend, std::move(request));
  }
  bool in_warmup(std::uint64_t iteration) const { return inner.in_warmup(iteration); }
  float loss_threshold_scale(std::uint64_t iteration) const { return inner.loss_threshold_scale(iteration); }
};

// The real growers, with warm-up rounds from `warm_from` on, judging later where the trainer can.
struct JudgeLaterHooks : GrowerHooks {
  std::uint64_t warm_from = ~std::uint64_t{0};
  bool in_warmup(std::uint64_t iteration) const { return iteration >= warm_from; }
};

template <typename O>
void expect_judged_alike(const Data& train, const Data* validation, const O& make_objective, IterationControls controls,
                         std::uint64_t warm_from = ~std::uint64_t{0}) {
  const Trainer trainer = make_trainer(small_params());
  JudgeLaterHooks judge_later;
  judge_later.warm_from = warm_from;
  const auto later = run_fit(trainer, train, make_objective(), controls, FitOptions{validation}, judge_later);
  const auto first = run_fit(trainer, train, make_objective(), controls, FitOptions{validation},
                             JudgeFirst<JudgeLaterHooks>{judge_later});
  EXPECT_EQ(later.stop_reason, first.stop_reason);
  EXPECT_EQ(later.rounds_completed, first.rounds_completed);
  EXPECT_EQ(later.low_improvement_rounds, first.low_improvement_rounds);
  EXPECT_EQ(later.train_loss, first.train_loss);
  EXPECT_EQ(later.validation_loss, first.validation_loss);
  EXPECT_EQ(later.final_train_loss, first.final_train_loss);
  EXPECT_EQ(later.model.to_artifact_bytes(), first.model.to_artifact_bytes());
}

TEST(FitStopping, ABinaryRoundAfterASkippedOneTakesItsGradientsAgain) {
  // Pass 2, a warm-up pass, grows a tree that raises the loss and is skipped; pass 1 before it is
  // judged while that tree grows. Binary rounds take their gradients from the pass that scores
  // the round before, so pass 3 must take them again at the kept predictions.
  const Data data = make_data(6, kRows, 3, Target::Binary);
  ScriptedHooks hooks{[](std::size_t pass, std::size_t tree_index) {
    return pass == 2 ? std::optional<std::vector<TrainedStump>>(stump_tree(tree_index, 30.0f, -30.0f)) : std::nullopt;
  }};
  hooks.warmup = [](std::uint64_t iteration) { return iteration == 2; };
  const Trainer trainer = make_trainer(small_params());
  const objectives::BinaryCrossEntropyObjective objective;
  const auto later = run_fit(trainer, data, objective, controls_for(5), {}, hooks);
  const auto first = run_fit(trainer, data, objective, controls_for(5), {}, JudgeFirst<ScriptedHooks>{hooks});
  EXPECT_EQ(later.train_loss.size(), 4u);  // the skipped pass keeps no tree
  EXPECT_EQ(later.train_loss, first.train_loss);
  EXPECT_EQ(later.model.to_artifact_bytes(), first.model.to_artifact_bytes());
}

TEST(FitStopping, JudgingARoundWhileTheNextTreeGrowsChangesNothing) {
  const Data regression = make_data(3, kRows, 3, Target::Regression);
  const Data held_out = make_data(4, kRows, 3, Target::Regression);
  const Data binary = make_data(5, kRows, 3, Target::Binary);
  {
    SCOPED_TRACE("a real loss that improves too little ends the fit");
    expect_judged_alike(regression, nullptr, [] { return objectives::SquaredErrorObjective{}; },
                        controls_for(6, 1e6f, 0));
  }
  {
    SCOPED_TRACE("real losses that improve too little, kept up to the stall limit");
    expect_judged_alike(regression, nullptr, [] { return objectives::SquaredErrorObjective{}; },
                        controls_for(6, 1e6f, 2));
  }
  {
    SCOPED_TRACE("a worse scripted loss ends the fit");
    expect_judged_alike(regression, nullptr, [] { return ScriptedLossObjective{kRows, {10, 9, 8, 8.5f}, {}}; },
                        controls_for(6));
  }
  {
    // The round after the skipped one grows from gradients taken again at the kept predictions.
    SCOPED_TRACE("a warm-up round that raises the loss is skipped after a round judged later");
    expect_judged_alike(regression, nullptr, [] { return ScriptedLossObjective{kRows, {10, 9, 8, 8.5f, 7, 6}, {}}; },
                        controls_for(5), 2);
  }
  {
    SCOPED_TRACE("low improvements up to the stall limit");
    expect_judged_alike(regression, nullptr,
                        [] { return ScriptedLossObjective{kRows, {10, 9, 8.95f, 8.9f, 8.85f, 8.8f}, {}}; },
                        controls_for(6, 0.1f, 2));
  }
  {
    SCOPED_TRACE("early stopping on the validation loss");
    IterationControls controls = controls_for(12);
    controls.early_stopping_rounds = 1;
    expect_judged_alike(regression, &held_out, [] { return objectives::SquaredErrorObjective{}; }, controls);
  }
  {
    SCOPED_TRACE("binary rounds, every one kept");
    expect_judged_alike(binary, nullptr, [] { return objectives::BinaryCrossEntropyObjective{}; }, controls_for(8));
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
