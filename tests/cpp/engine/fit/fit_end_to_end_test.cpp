// Every single-output objective trained end to end on small synthetic data, under plain, row- and
// column-subsampled and GOSS rounds: the loop's own training predictions must equal a fresh
// prediction of the model it returns, round after round, and the training loss must never rise
// for the objectives that judge rounds by it.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

constexpr std::size_t kRows = 160;
constexpr std::size_t kFeatures = 4;

struct SamplingCase {
  const char* name;
  core::TreeGrowth growth;
  float row_subsample, col_subsample;
  core::BoostingMode mode;
};

const SamplingCase kSamplingCases[] = {
    {"plain_level", core::TreeGrowth::Level, 1.0f, 1.0f, core::StandardBoosting{}},
    {"subsample_leaf", core::TreeGrowth::Leaf, 0.6f, 0.75f, core::StandardBoosting{}},
    {"goss_level", core::TreeGrowth::Level, 1.0f, 1.0f, core::GossBoosting{0.3f, 0.2f}},
    {"goss_colsample_leaf", core::TreeGrowth::Leaf, 1.0f, 0.5f, core::GossBoosting{0.2f, 0.3f}},
};

template <typename O>
void expect_tracked_is_returned(const char* name, const O& objective, const Data& data) {
  const auto loss = [&](std::span<const float> p) { return objective.loss(p, data.dataset.targets, std::nullopt); };
  // A user-code objective starts from the target mean, a built-in one from its own start.
  float start = 0.0f;
  if constexpr (std::is_same_v<O, UserCodeObjective>) {
    start = target_mean_initial_prediction(data.dataset.targets, std::nullopt);
  } else {
    start = objective.initial_prediction(data.dataset.targets, std::nullopt);
  }
  for (const SamplingCase& sampling : kSamplingCases) {
    SCOPED_TRACE(std::string(name) + " / " + sampling.name);
    core::TrainParams params = small_params();
    params.tree_growth = sampling.growth;
    if (sampling.growth == core::TreeGrowth::Leaf) params.max_leaves = 6;
    params.row_subsample = sampling.row_subsample;
    params.col_subsample = sampling.col_subsample;
    params.boosting_mode = sampling.mode;
    params.seed = 5;
    const Trainer trainer = make_trainer(params);
    RecordingHooks hooks;
    const IterationRunSummary summary = run_fit(trainer, data, objective, trainer.default_iteration_controls(8), {}, hooks);
    const TrainedModel& model = summary.model;
    EXPECT_EQ(model.objective, name);
    EXPECT_EQ(model.base_prediction, start);
    EXPECT_GE(summary.rounds_completed, 3u);
    EXPECT_EQ(model.rounds_completed(), summary.rounds_completed);
    // Round k started from the model's first k trees, bit for bit, on every row.
    ASSERT_GE(hooks.round_start_predictions.size(), summary.rounds_completed);
    for (std::size_t k = 0; k < hooks.round_start_predictions.size(); ++k) {
      ASSERT_EQ(hooks.round_start_predictions[k], fresh_predictions(model, data, k)) << "round " << k;
    }
    EXPECT_EQ(summary.final_train_loss, loss(fresh_predictions(model, data)));
    EXPECT_EQ(summary.initial_train_loss, loss(std::vector<float>(kRows, model.base_prediction)));
    if (FitObjectiveTraits<O>::ranking) {
      EXPECT_LT(summary.final_train_loss, summary.initial_train_loss);
    } else {
      float previous = summary.initial_train_loss;
      for (const float round_loss : summary.train_loss) EXPECT_LE(round_loss, std::exchange(previous, round_loss));
    }
    const bool subsampled = sampling.row_subsample < 1.0f || std::holds_alternative<core::GossBoosting>(sampling.mode);
    for (std::size_t k = 0; k < summary.rounds_completed; ++k) {
      EXPECT_EQ(summary.active_rows_per_round[k], hooks.round_rows[k].size());
      if (subsampled) {
        EXPECT_LT(summary.active_rows_per_round[k], kRows);
      }
      EXPECT_EQ(summary.active_features_per_round[k], static_cast<std::size_t>(std::ceil(sampling.col_subsample * kFeatures)));
    }
  }
}

TEST(FitEndToEnd, TrackedPredictionsMatchTheReturnedModelForEveryObjective) {
  const Data regression = make_data(17, kRows, kFeatures, Target::Regression);
  const Data relevance = make_data(17, kRows, kFeatures, Target::Relevance);
  const std::span<const std::uint32_t> groups(*relevance.dataset.group_id);
  expect_tracked_is_returned("squared_error", objectives::SquaredErrorObjective{}, regression);
  expect_tracked_is_returned("binary_crossentropy", objectives::BinaryCrossEntropyObjective{},
                             make_data(17, kRows, kFeatures, Target::Binary));
  expect_tracked_is_returned("poisson", objectives::PoissonObjective{}, make_data(17, kRows, kFeatures, Target::Count));
  expect_tracked_is_returned("gamma", objectives::GammaObjective{}, make_data(17, kRows, kFeatures, Target::Positive));
  expect_tracked_is_returned("tweedie", objectives::TweedieObjective::make(1.5f),
                             make_data(17, kRows, kFeatures, Target::Tweedie));
  expect_tracked_is_returned("queryrmse", objectives::QueryRMSEObjective(groups), relevance);
  expect_tracked_is_returned("rank_pairwise", objectives::PairwiseRankingObjective(groups), relevance);
  expect_tracked_is_returned("rank_ndcg", objectives::LambdaMARTObjective(groups), relevance);
  expect_tracked_is_returned("rank_xendcg", objectives::XeNDCGObjective(groups), relevance);
  expect_tracked_is_returned("yetirank", objectives::YetiRankObjective(groups, 3, 11), relevance);
  expect_tracked_is_returned("custom", UserCodeObjective{}, regression);
}

// GOSS hands the grower the drawn small-gradient rows with their pairs scaled up, and the round's
// diagnostics describe those scaled pairs.
TEST(FitEndToEnd, GossScalesTheDrawnRowsPairs) {
  const Data data = make_data(3, kRows, kFeatures, Target::Regression);
  core::TrainParams params = small_params();
  params.boosting_mode = core::GossBoosting{0.25f, 0.25f};
  const Trainer trainer = make_trainer(params);
  RecordingHooks hooks;
  const IterationRunSummary summary =
      run_fit(trainer, data, objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(1), {}, hooks);
  const std::vector<core::GradientPair>& pairs = hooks.round_gradients.at(0);
  // rest / drawn = 120 / 40: the drawn rows carry hessian 3, the top rows 1.
  std::size_t scaled = 0;
  for (const std::uint32_t row : hooks.round_rows[0]) scaled += pairs[row].hess == 3.0f;
  EXPECT_EQ(scaled, 40u);
  EXPECT_EQ(hooks.round_rows[0].size(), 80u);
  EXPECT_EQ(summary.diagnostics_per_round[0], IterationDiagnostics::from_gradient_snapshot(pairs, false, 80, kFeatures, 0.0f));
}

}  // namespace
}  // namespace kestrune::engine::trainer
