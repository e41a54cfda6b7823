// A validation set followed through the fit: its predictions, early stopping on its loss or on a
// per-round metric, and the cut back to the best round.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/objectives/ranking_groups.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kRows = 48;
constexpr std::size_t kValidationRows = 40;
constexpr IterationStopReason kLossPlateau = IterationStopReason::ValidationLossPlateau;
constexpr IterationStopReason kMetricPlateau = IterationStopReason::CustomMetricPlateau;
constexpr IterationStopReason kDone = IterationStopReason::CompletedRequestedRounds;

template <typename O>
IterationRunSummary run(const Data& train, const Data* validation, const O& objective, IterationControls controls,
                        const PerRoundMetricCallback* metric = nullptr) {
  return run_fit(make_trainer(small_params()), train, objective, controls, {validation, std::nullopt, metric});
}

IterationControls controls_for(std::size_t rounds, std::optional<std::size_t> early_stopping_rounds,
                               float min_validation_improvement = 0.0f) {
  IterationControls controls = IterationControls::make(rounds, 1, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  controls.early_stopping_rounds = early_stopping_rounds;
  controls.min_validation_improvement = min_validation_improvement;
  return controls;
}

// Training losses that always improve, so that only the validation side ends a fit.
std::vector<float> falling_losses() { return {100, 99, 98, 97, 96, 95, 94, 93, 92}; }

TEST(FitValidation, ValidationLossesAreThoseOfTheModelSoFar) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  const objectives::SquaredErrorObjective objective;
  const IterationRunSummary summary = run(train, &validation, objective, controls_for(5, std::nullopt));
  EXPECT_EQ(summary.stop_reason, kDone);
  ASSERT_EQ(summary.validation_loss.size(), 5u);
  auto validation_loss_after = [&](std::size_t trees) {
    return objective.loss(fresh_predictions(summary.model, validation, trees), validation.dataset.targets, std::nullopt);
  };
  EXPECT_EQ(summary.initial_validation_loss, validation_loss_after(0));
  for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(summary.validation_loss[k], validation_loss_after(k + 1)) << k;
  EXPECT_EQ(summary.final_validation_loss, summary.validation_loss.back());
  ASSERT_TRUE(summary.best_validation_round.has_value());
  EXPECT_EQ(summary.best_validation_loss, *summary.best_validation_round == 0
                                              ? *summary.initial_validation_loss
                                              : summary.validation_loss[*summary.best_validation_round - 1]);
}

TEST(FitValidation, EarlyStoppingOnTheValidationLoss) {
  struct Case {
    const char* name;
    std::vector<float> validation_losses;  // initial, then one per round
    std::optional<std::size_t> early_stopping_rounds;
    float min_improvement;
    std::size_t rounds;
    IterationStopReason stop;
    std::size_t best_round;
    std::size_t kept_rounds;
  };
  const Case cases[] = {
      {"plateau after the best round", {10, 9, 8, 8.5f, 8.25f, 8.125f}, 3, 0.0f, 8, kLossPlateau, 2, 2},
      {"no round beats the start", {5, 5, 6}, 2, 0.0f, 8, kLossPlateau, 0, 0},
      {"a gain equal to the margin is none", {10, 9.5f}, 1, 0.5f, 8, kLossPlateau, 0, 0},
      {"a gain above the margin counts", {10, 9.25f, 9.5f}, 1, 0.5f, 8, kLossPlateau, 1, 1},
      {"without early stopping nothing is cut", {10, 12, 13, 14}, std::nullopt, 0.0f, 3, kDone, 0, 3},
  };
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScriptedLossObjective objective{kRows, falling_losses(), c.validation_losses};
    const IterationRunSummary summary =
        run(train, &validation, objective, controls_for(c.rounds, c.early_stopping_rounds, c.min_improvement));
    EXPECT_EQ(summary.stop_reason, c.stop);
    EXPECT_EQ(summary.best_validation_round, c.best_round);
    EXPECT_EQ(summary.best_validation_loss, c.validation_losses[c.best_round]);
    EXPECT_EQ(summary.rounds_completed, c.kept_rounds);
    EXPECT_EQ(summary.model.rounds_completed(), c.kept_rounds);
    EXPECT_EQ(summary.train_loss.size(), c.kept_rounds);
    EXPECT_EQ(summary.validation_loss,
              std::vector<float>(c.validation_losses.begin() + 1, c.validation_losses.begin() + 1 + c.kept_rounds));
    EXPECT_EQ(summary.final_validation_loss, c.validation_losses[c.kept_rounds]);
    EXPECT_EQ(summary.final_train_loss, falling_losses()[c.kept_rounds]);
    EXPECT_EQ(summary.initial_validation_loss, c.validation_losses[0]);
    // The fit ends at the plateau: no round is scored past it (the cut alone would hide that).
    EXPECT_EQ(objective.validation_calls, c.validation_losses.size());
  }
}

TEST(FitValidation, MetricDrivesStoppingAndTheCut) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  struct Case {
    const char* name;
    bool higher_is_better;
    std::vector<float> metrics;
    float min_improvement;
    std::size_t early_stopping_rounds;
    std::size_t best_metric_round;
    std::size_t stopped_after;
  };
  const Case cases[] = {
      {"higher is better, a tie is no gain", true, {0.5f, 0.75f, 0.625f, 0.6875f, 0.75f}, 0.0f, 3, 2, 5},
      {"lower is better, a gain equal to the margin is none", false, {0.5f, 0.25f, 0.125f, 0.1875f}, 0.125f, 2, 2, 4},
      {"a NaN first value never becomes the best", false, {kNaN, 0.5f, 0.25f, 0.375f, 0.3125f}, 0.0f, 2, 3, 5},
  };
  // The lowest loss is at round 4 (a tie with round 3, which the later round wins).
  const std::vector<float> validation_losses = {10, 9, 9.5f, 8, 8, 8.5f};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TestMetric metric(c.higher_is_better, c.metrics);
    const ScriptedLossObjective objective{kRows, falling_losses(), validation_losses};
    const IterationRunSummary summary =
        run(train, &validation, objective, controls_for(8, c.early_stopping_rounds, c.min_improvement), &metric);
    EXPECT_EQ(summary.stop_reason, kMetricPlateau);
    EXPECT_EQ(metric.evaluations, c.stopped_after);
    EXPECT_EQ(metric.name_calls, 1u);
    EXPECT_EQ(metric.direction_calls, 1u);
    EXPECT_EQ(summary.custom_metric_name, "test_rmse");
    EXPECT_EQ(summary.rounds_completed, c.best_metric_round);
    EXPECT_EQ(summary.model.rounds_completed(), c.best_metric_round);
    EXPECT_EQ(bits_of(summary.custom_metric_values),
              bits_of(std::span<const float>(c.metrics.data(), c.best_metric_round)));
    EXPECT_EQ(summary.final_validation_loss, validation_losses[c.best_metric_round]);
    // The best loss is reported as found, even past the cut.
    EXPECT_EQ(summary.best_validation_round, 4u);
    EXPECT_EQ(summary.best_validation_loss, 8.0f);
  }
}

// Skipped warm-up passes count in the round numbers but own no trees: the cut keeps the accepted
// rounds numbered up to the best one.
TEST(FitValidation, TheCutCountsAcceptedRoundsNotPasses) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  ScriptedHooks hooks{[](std::size_t pass, std::size_t) {
                        return pass < 2 ? std::optional<std::vector<TrainedStump>>(std::vector<TrainedStump>{})
                                        : std::nullopt;
                      },
                      [](std::uint64_t iteration) { return iteration < 2; }};
  // Rounds 3 to 6 are validated; round 4 is the best.
  const ScriptedLossObjective objective{kRows, falling_losses(), {10, 9, 8, 8.5f, 9}};
  const IterationRunSummary summary =
      run_fit(make_trainer(small_params()), train, objective, controls_for(10, 2), {&validation}, hooks);
  EXPECT_EQ(summary.stop_reason, kLossPlateau);
  EXPECT_EQ(summary.best_validation_round, 4u);
  EXPECT_EQ(summary.rounds_completed, 4u);
  EXPECT_EQ(summary.validation_loss, (std::vector<float>{9, 8}));
  EXPECT_EQ(summary.train_loss, (std::vector<float>{99, 98}));
  EXPECT_EQ(summary.final_validation_loss, 8.0f);
  EXPECT_EQ(summary.model.rounds_completed(), 4u);  // trees 2 and 3
  EXPECT_EQ(tree_index_of(summary.model.stumps.front().node_id), 2u);
}

TEST(FitValidation, MetricWithoutValidationIsNamedButNeverEvaluated) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const TestMetric metric(true);
  const IterationRunSummary summary =
      run(train, nullptr, objectives::SquaredErrorObjective{}, controls_for(3, std::nullopt), &metric);
  EXPECT_EQ(metric.name_calls, 1u);
  EXPECT_EQ(metric.direction_calls, 1u);
  EXPECT_EQ(metric.evaluations, 0u);
  EXPECT_EQ(summary.custom_metric_name, "test_rmse");
  EXPECT_FALSE(summary.final_validation_loss.has_value());
}

class FailingMetric : public TestMetric {
 public:
  FailingMetric() : TestMetric(false) {}
  float evaluate(std::span<const float> predictions, std::span<const float> targets,
                 std::optional<std::span<const float>> weights) const override {
    if (evaluations == 1) throw EngineError::contract_violation("custom eval metric callable failed: boom");
    return TestMetric::evaluate(predictions, targets, weights);
  }
};

TEST(FitValidation, MetricSeesTheWeightsAndItsErrorsEndTheFit) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  validation.dataset.sample_weights = std::vector<float>(kValidationRows, 2.0f);
  const TestMetric metric(false);
  run(train, &validation, objectives::SquaredErrorObjective{}, controls_for(2, std::nullopt), &metric);
  EXPECT_TRUE(metric.saw_weights);

  const FailingMetric failing;
  EXPECT_TRUE(throws_engine_error(
      [&] { run(train, &validation, objectives::SquaredErrorObjective{}, controls_for(4, 2), &failing); },
      EngineErrorKind::ContractViolation, "custom eval metric callable failed: boom"));
}

TEST(FitValidation, RankingScoresTheValidationSetWithItsOwnGroups) {
  const Data train = make_data(8, kRows, 3, Target::Relevance);
  // As many rows as the training set, in groups of four instead of eight.
  Data validation = make_data(9, kRows, 3, Target::Relevance);
  for (std::size_t r = 0; r < kRows; ++r) (*validation.dataset.group_id)[r] = static_cast<std::uint32_t>(r / 4);
  const objectives::LambdaMARTObjective objective(*train.dataset.group_id);
  const IterationRunSummary summary = run(train, &validation, objective, controls_for(1, std::nullopt));
  const std::vector<float> start(kRows, 0.0f);
  const std::vector<std::size_t> own_groups = objectives::compute_group_boundaries(*validation.dataset.group_id);
  const float own = objective.loss_with_boundaries(start, validation.dataset.targets, std::nullopt, own_groups);
  EXPECT_EQ(summary.initial_validation_loss, own);
  EXPECT_NE(own, objective.loss(start, validation.dataset.targets, std::nullopt));
}

// A ranking fit's training losses, however the fit ends and wherever it is cut back, are those of
// the returned model's first trees on the training rows.
TEST(FitValidation, RankingTrainingLossesAreThoseOfTheModelSoFar) {
  struct Case {
    const char* name;
    bool with_validation;
    std::optional<std::size_t> early_stopping_rounds;
    std::vector<float> metrics;  // empty: no metric
    IterationStopReason stop;
  };
  const Case cases[] = {
      {"every round", false, std::nullopt, {}, kDone},
      {"validation without stopping", true, std::nullopt, {}, kDone},
      {"stopped and cut by the metric", true, 2, {0.5f, 0.25f, 0.375f, 0.3125f, 0.375f}, kMetricPlateau},
      {"stopped on the validation loss", true, 1, {}, kLossPlateau},
  };
  const Data train = make_data(8, kRows, 3, Target::Relevance);
  const Data validation = make_data(9, kValidationRows, 3, Target::Relevance);
  const objectives::LambdaMARTObjective objective(*train.dataset.group_id);
  auto train_loss_after = [&](const TrainedModel& model, std::optional<std::size_t> trees) {
    const std::vector<float> p = fresh_predictions(model, train, trees);
    return objective.loss(p, train.dataset.targets, std::nullopt);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TestMetric> metric =
        c.metrics.empty() ? std::nullopt : std::optional<TestMetric>(std::in_place, false, c.metrics);
    const IterationRunSummary summary = run(train, c.with_validation ? &validation : nullptr, objective,
                                            controls_for(6, c.early_stopping_rounds), metric ? &*metric : nullptr);
    ASSERT_GE(summary.rounds_completed, 1u);
    EXPECT_EQ(summary.stop_reason, c.stop);
    if (!c.metrics.empty()) {
      EXPECT_EQ(summary.rounds_completed, 2u);
    }
    ASSERT_EQ(summary.train_loss.size(), summary.rounds_completed);
    for (std::size_t k = 0; k < summary.train_loss.size(); ++k) {
      EXPECT_EQ(summary.train_loss[k], train_loss_after(summary.model, k + 1)) << "round " << k;
    }
    EXPECT_EQ(summary.final_train_loss, train_loss_after(summary.model, std::nullopt));
    EXPECT_EQ(summary.initial_train_loss, train_loss_after(summary.model, 0));
  }
}

// The public operations are thin wrappers around one request: each passes what it is given.
TEST(FitValidation, EntryOperationsFillTheRequest) {
  const Data train = make_data(8, kRows, 3, Target::Regression);
  const Data validation = make_data(9, kValidationRows, 3, Target::Regression);
  const Trainer trainer = make_trainer(small_params());
  const backend_cpu::CpuBackend backend;
  const objectives::SquaredErrorObjective objective;
  const IterationControls stopping = controls_for(4, 2);
  EXPECT_TRUE(throws_engine_error(
      [&] { fit_iterations_with_summary(trainer, train.dataset, train.binned, backend, objective, stopping); },
      EngineErrorKind::InvalidConfig, "validation early stopping requires a validation dataset"));
  const TestMetric metric(false);
  const IterationRunSummary with_metric = fit_iterations_with_validation_and_metric(
      trainer, train.dataset, train.binned, validation.dataset, validation.binned, backend, objective, stopping, &metric);
  EXPECT_EQ(with_metric.validation_loss.size(), with_metric.custom_metric_values.size());
  EXPECT_GT(metric.evaluations, 0u);
}

}  // namespace
}  // namespace kestrune::engine::trainer
