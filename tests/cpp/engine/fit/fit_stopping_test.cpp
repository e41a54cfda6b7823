// How a fit ends: an empty tree, the training-loss rules, warm-up passes that are skipped instead of
// ending it, and a validation set whose loss or metric stops the fit and cuts it back to the best
// round, also when it continues an earlier model. Trees and losses are scripted where the rule, not
// the grower, is under test.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_contract_violation;

constexpr std::size_t kRows = 48;
constexpr std::size_t kValidationRows = 40;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr auto kLoss = IterationStopReason::LossImprovementBelowThreshold;
constexpr auto kDone = IterationStopReason::CompletedRequestedRounds;
constexpr auto kPlateau = IterationStopReason::ValidationLossPlateau;

IterationControls controls_for(std::size_t rounds, float min_loss_improvement = 0.0f, std::size_t stall_limit = 0,
                               std::optional<std::size_t> early_stopping_rounds = std::nullopt,
                               float min_validation_improvement = 0.0f) {
  IterationControls controls = IterationControls::make(rounds, 1, stall_limit, 0.0f, 0.0f, 1e6f, min_loss_improvement);
  controls.early_stopping_rounds = early_stopping_rounds;
  controls.min_validation_improvement = min_validation_improvement;
  return controls;
}

const ScriptedHooks kGrown{[](std::size_t, std::size_t) { return std::optional<std::vector<TrainedStump>>(); }};

// Passes listed in `empty` grow nothing; iterations below `warmup_below` are warm-up.
ScriptedHooks empty_passes(std::vector<std::size_t> empty, std::uint64_t warmup_below = 0) {
  return ScriptedHooks{[empty](std::size_t pass, std::size_t) {
                         return std::ranges::count(empty, pass) ? std::optional(std::vector<TrainedStump>{}) : std::nullopt;
                       },
                       [warmup_below](std::uint64_t iteration) { return iteration < warmup_below; }};
}

struct Fixture {
  Data train = make_data(8, kRows, 3, Target::Regression);
  Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  template <typename O>
  IterationRunSummary run(const O& objective, const IterationControls& controls, const ScriptedHooks& hooks = kGrown,
                          const Data* validation_set = nullptr, const PerRoundMetricCallback* metric = nullptr,
                          bool dart = false) const {
    core::TrainParams params = small_params();
    if (dart) params.boosting_mode = core::DartBoosting{0.3f, 2, core::DartNormalizeType::Tree, core::DartSampleType::Uniform};
    return run_fit(make_trainer(params), train, objective, controls, {validation_set, std::nullopt, metric}, hooks);
  }
};

TEST(FitStopping, TrainingLossRules) {
  struct Case {
    std::vector<float> losses;  // initial, then one per scored pass
    float min_loss_improvement;
    std::size_t stall_limit, completed, low_improvement;
    IterationStopReason stop;
    bool dart = false;  // rounds rescale earlier trees: only a loss that is not finite ends the fit
  };
  const Case cases[] = {
      {{10, 9, 9.5f}, 0.0f, 0, 1, 0, kLoss},  // a worse loss stops and drops its tree
      {{10, 10}, 0.0f, 0, 6, 0, kDone},       // an equal loss passes a zero threshold
      {{10, 10}, 0.1f, 0, 0, 0, kLoss},       // and is a low improvement above it
      {{10, 9, 8.95f, 8.9f, 8.85f, 8.8f, 8.75f}, 0.1f, 2, 3, 2, kLoss},  // stall limit 2 keeps two low rounds
      {{10, 9.95f, 9, 8.95f, 8.9f}, 0.1f, 1, 3, 2, kLoss},  // a sufficient improvement resets the stall
      {{10, 9, kNaN}, 0.0f, 0, 1, 0, kLoss},
      {{10, kInf}, 0.0f, 3, 0, 0, kLoss},
      {{kInf, 5, 4, 3, 2, 1, 0}, 0.0f, 0, 6, 0, kDone},  // any finite loss improves on an infinite start
      {{10, 9, 9.5f, 9.7f, 9, 9.2f, 9.1f}, 0.0f, 0, 6, 0, kDone, true},
      {{10, 10}, 0.1f, 0, 6, 0, kDone, true},  // no stall rule under DART
      {{10, 11, kNaN}, 0.0f, 0, 1, 0, kLoss, true},
  };
  const Fixture fixture;
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const IterationRunSummary summary =
        fixture.run(scripted_losses(kRows, c.losses, {}), controls_for(6, c.min_loss_improvement, c.stall_limit),
                    kGrown, nullptr, nullptr, c.dart);
    EXPECT_EQ(summary.stop_reason, c.stop);
    EXPECT_EQ(summary.rounds_completed, c.completed);
    EXPECT_EQ(summary.low_improvement_rounds, c.low_improvement);
    EXPECT_EQ(summary.model.rounds_completed(), c.completed);
    const std::size_t kept = std::min(c.completed, c.losses.size() - 1);
    EXPECT_EQ(bits_of(std::span(summary.train_loss).first(kept)), bits_of(std::span(c.losses).subspan(1, kept)));
    EXPECT_EQ(summary.train_loss.size(), c.completed);
    EXPECT_EQ(summary.final_train_loss, c.completed == 0 ? c.losses[0] : summary.train_loss.back());
  }
  // An empty tree ends the fit with the grower's reason.
  for (const std::size_t pass : {0u, 2u}) {
    const IterationRunSummary summary = fixture.run(objectives::SquaredErrorObjective{}, controls_for(5), empty_passes({pass}));
    EXPECT_EQ(summary.stop_reason, IterationStopReason::GainBelowThreshold);
    EXPECT_EQ(summary.rounds_completed, pass);
    EXPECT_EQ(summary.final_train_loss, pass == 0 ? summary.initial_train_loss : summary.train_loss.back());
  }
}

TEST(FitStopping, RankingKeepsATreeThatRaisesItsLoss) {
  Fixture fixture;
  fixture.train = make_data(2, kRows, 3, Target::Relevance);
  // Raising the rows with a small feature 0 inverts the ranking the labels follow.
  const ScriptedHooks hooks{[](std::size_t pass, std::size_t) {
    return pass == 1 ? std::optional(stump_tree(0, 100.0f, 0.0f)) : std::nullopt;
  }};
  const IterationRunSummary summary =
      fixture.run(objectives::LambdaMARTObjective(*fixture.train.dataset.group_id), controls_for(3, 0.5f), hooks);
  EXPECT_EQ(summary.stop_reason, kDone);
  ASSERT_EQ(summary.train_loss.size(), 3u);
  EXPECT_GT(summary.train_loss[1], summary.train_loss[0]);
  EXPECT_EQ(summary.low_improvement_rounds, 0u);
}

// Pass 0 grows nothing and pass 1 makes the loss worse: both are in warm-up, so both are skipped,
// counted in the round numbers but owning no trees. Early stopping cuts back to accepted rounds.
TEST(FitStopping, WarmUpPassesAreSkippedButCounted) {
  const Fixture fixture;
  const IterationRunSummary summary =
      fixture.run(scripted_losses(kRows, {10, 11, 9, 8, 7}, {}), controls_for(5), empty_passes({0}, 3));
  EXPECT_EQ(summary.stop_reason, kDone);
  EXPECT_EQ(summary.rounds_completed, 5u);
  EXPECT_EQ(summary.train_loss, (std::vector<float>{9, 8, 7}));
  EXPECT_EQ(tree_indices(summary.model.stumps), (std::vector<std::uint32_t>{2, 3, 4}));

  const IterationRunSummary idle = fixture.run(objectives::SquaredErrorObjective{}, controls_for(2), empty_passes({0, 1}, 2));
  EXPECT_EQ(idle.stop_reason, kDone);
  EXPECT_EQ(idle.rounds_completed, 2u);
  EXPECT_TRUE(idle.model.stumps.empty());
  EXPECT_EQ(idle.final_train_loss, idle.initial_train_loss);

  // Rounds 3 to 6 are validated; round 4 is the best.
  const IterationRunSummary cut =
      fixture.run(scripted_losses(kRows, {100, 99, 98, 97}, {10, 9, 8, 8.5f, 9}), controls_for(10, 0.0f, 0, 2),
                  empty_passes({0, 1}, 2), &fixture.validation);
  EXPECT_EQ(cut.stop_reason, kPlateau);
  EXPECT_EQ(cut.best_validation_round, 4u);
  EXPECT_EQ(cut.rounds_completed, 4u);
  EXPECT_EQ(cut.validation_loss, (std::vector<float>{9, 8}));
  EXPECT_EQ(cut.train_loss, (std::vector<float>{99, 98}));
  EXPECT_EQ(tree_indices(cut.model.stumps), (std::vector<std::uint32_t>{2, 3}));
}

TEST(FitValidation, EarlyStoppingOnTheValidationLoss) {
  struct Case {
    std::vector<float> validation_losses;  // initial, then one per round
    std::optional<std::size_t> early_stopping_rounds;
    float min_improvement;
    std::size_t rounds;
    IterationStopReason stop;
    std::size_t best_round, kept_rounds;
  };
  const Case cases[] = {
      {{10, 9, 8, 8.5f, 8.25f, 8.125f}, 3, 0.0f, 8, kPlateau, 2, 2},  // plateau after the best round
      {{5, 5, 6}, 2, 0.0f, 8, kPlateau, 0, 0},                        // no round beats the start
      {{10, 9.5f}, 1, 0.5f, 8, kPlateau, 0, 0},                       // a gain equal to the margin is none
      {{10, 9.25f, 9.5f}, 1, 0.5f, 8, kPlateau, 1, 1},                // a gain above it counts
      {{10, 12, 13, 14}, std::nullopt, 0.0f, 3, kDone, 0, 3},          // without early stopping nothing is cut
  };
  const std::vector<float> falling = {100, 99, 98, 97, 96, 95, 94, 93, 92};
  const Fixture fixture;
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const IterationRunSummary summary =
        fixture.run(scripted_losses(kRows, falling, c.validation_losses),
                    controls_for(c.rounds, 0.0f, 0, c.early_stopping_rounds, c.min_improvement), kGrown, &fixture.validation);
    EXPECT_EQ(summary.stop_reason, c.stop);
    EXPECT_EQ(summary.best_validation_round, c.best_round);
    EXPECT_EQ(summary.best_validation_loss, c.validation_losses[c.best_round]);
    EXPECT_EQ(summary.model.rounds_completed(), c.kept_rounds);
    EXPECT_EQ(summary.train_loss.size(), c.kept_rounds);
    EXPECT_EQ(summary.validation_loss,
              std::vector<float>(c.validation_losses.begin() + 1, c.validation_losses.begin() + 1 + c.kept_rounds));
    EXPECT_EQ(summary.final_validation_loss, c.validation_losses[c.kept_rounds]);
    EXPECT_EQ(summary.final_train_loss, falling[c.kept_rounds]);
  }
}

TEST(FitValidation, MetricDrivesStoppingAndTheCut) {
  struct Case {
    bool higher_is_better;
    std::vector<float> metrics;
    float min_improvement;
    std::size_t early_stopping_rounds, best_metric_round, stopped_after;
  };
  const Case cases[] = {
      {true, {0.5f, 0.75f, 0.625f, 0.6875f, 0.75f}, 0.0f, 3, 2, 5},     // a tie is no gain
      {false, {0.5f, 0.25f, 0.125f, 0.1875f}, 0.125f, 2, 2, 4},         // a gain equal to the margin is none
      {false, {kNaN, 0.5f, 0.25f, 0.375f, 0.3125f}, 0.0f, 2, 3, 5},     // a NaN first value is never the best
  };
  // The lowest loss is at round 4 (a tie with round 3, which the later round wins).
  const std::vector<float> validation_losses = {10, 9, 9.5f, 8, 8, 8.5f};
  const Fixture fixture;
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    const TestMetric metric(c.higher_is_better, c.metrics);
    const IterationRunSummary summary =
        fixture.run(scripted_losses(kRows, {100, 99, 98, 97, 96, 95, 94, 93, 92}, validation_losses),
                    controls_for(8, 0.0f, 0, c.early_stopping_rounds, c.min_improvement), kGrown, &fixture.validation,
                    &metric);
    EXPECT_EQ(summary.stop_reason, IterationStopReason::CustomMetricPlateau);
    EXPECT_EQ(metric.evaluations, c.stopped_after);
    EXPECT_EQ(summary.rounds_completed, c.best_metric_round);
    EXPECT_EQ(summary.model.rounds_completed(), c.best_metric_round);
    EXPECT_EQ(bits_of(summary.custom_metric_values), bits_of(std::span(c.metrics).first(c.best_metric_round)));
    EXPECT_EQ(summary.final_validation_loss, validation_losses[c.best_metric_round]);
    // The best loss is reported as found, even past the cut.
    EXPECT_EQ(summary.best_validation_round, 4u);
    EXPECT_EQ(summary.best_validation_loss, 8.0f);
  }
}

TEST(FitWarmStart, ACutToRoundZeroKeepsTheWarmStartTrees) {
  const Data train = make_data(21, kRows, 4, Target::Regression);
  const Data validation = make_data(22, 40, 4, Target::Regression);
  const Trainer trainer = make_trainer(small_params());
  const IterationRunSummary first =
      run_fit(trainer, train, objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(2));
  // No round of the continued fit improves on the validation loss it started from.
  const UserCodeObjective objective = scripted_losses(kRows, {9, 8, 7, 6}, {5, 6, 7});
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
