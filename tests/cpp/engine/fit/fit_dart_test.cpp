// DART fits: the tree weights follow the drop-and-rescale arithmetic round by round, a cut back to
// the best round replays only the kept rounds, and a skipped pass puts back what it dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
    auto objective = [] { return scripted_losses(kRows, {10, 9, 8, 7, 6, 5}, {10, 9, 8, 7, 7.5f, 7.6f}); };
    const IterationRunSummary three =
        run_fit(trainer, train, objective(), trainer.default_iteration_controls(3), {&validation});
    expect_weights(three.model, {{0, c.dropped_twice}, {1, c.dropped_twice}, {2, 1.0f / 3.0f}});
    IterationControls controls = trainer.default_iteration_controls(5);
    controls.early_stopping_rounds = 2;
    const IterationRunSummary cut = run_fit(trainer, train, objective(), controls, {&validation});
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
  const ScriptedHooks hooks{
      [](std::size_t pass, std::size_t) { return pass == 1 ? std::optional(std::vector<TrainedStump>{}) : std::nullopt; },
      [](std::uint64_t iteration) { return iteration == 1; }};
  TestMetric metric;
  const IterationRunSummary summary =
      run_fit(trainer, train, scripted_losses(kRows, {10, 9, 8, 7, 6}, {10, 9, 8, 7, 6}),
              trainer.default_iteration_controls(4), {&validation, std::nullopt, &metric}, hooks);
  ASSERT_EQ(summary.rounds_completed, 4u);
  ASSERT_EQ(summary.train_loss.size(), 3u);
  expect_weights(summary.model, {{0, 0.5f * 0.75f}, {2, 0.5f * 0.75f}, {3, 0.25f}});
  expect_close(metric.last_predictions, fresh_predictions(summary.model, validation), 1e-5f);
}

}  // namespace
}  // namespace kestrune::engine::trainer
