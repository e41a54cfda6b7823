// Every single-output objective trained end to end on small synthetic data, under plain, row- and
// column-subsampled and GOSS rounds: the loop's own training predictions must equal a fresh
// prediction of the model it returns, round after round, each round's recorded training loss must
// be the loss of the model up to that round, and the training loss must never rise for the
// objectives that judge rounds by it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

constexpr std::size_t kRows = 160;
constexpr std::size_t kFeatures = 4;
constexpr std::size_t kRounds = 8;

struct Outcome {
  IterationRunSummary summary;
  RecordingHooks hooks;
  std::function<float(std::span<const float>)> loss;
  bool ranking = false;
  float contract_start = 0.0f;  // the starting score the fit should have used
};

template <typename O>
Outcome fit_objective(const O& objective, const Data& data, const core::TrainParams& params, float contract_start) {
  const Trainer trainer = make_trainer(params);
  Outcome outcome;
  outcome.summary =
      run_fit(trainer, data, objective, trainer.default_iteration_controls(kRounds), {}, outcome.hooks);
  outcome.loss = [objective, &data](std::span<const float> p) {
    return objective.loss(p, data.dataset.targets, weights_of(data.dataset));
  };
  outcome.ranking = FitObjectiveTraits<O>::ranking;
  outcome.contract_start = contract_start;
  return outcome;
}

struct ObjectiveCase {
  const char* name;
  Target target;
  std::function<Outcome(const Data&, const core::TrainParams&)> run;
};

// A built-in objective made for the data by `make`, started from its own initial prediction.
template <typename Make>
ObjectiveCase builtin(const char* name, Target target, Make make) {
  return {name, target, [make](const Data& d, const core::TrainParams& p) {
            const auto objective = make(d);
            return fit_objective(objective, d, p, objective.initial_prediction(d.dataset.targets, std::nullopt));
          }};
}

std::vector<ObjectiveCase> objective_cases() {
  auto groups = [](const Data& d) { return std::span<const std::uint32_t>(*d.dataset.group_id); };
  return {
      builtin("squared_error", Target::Regression, [](const Data&) { return objectives::SquaredErrorObjective{}; }),
      builtin("binary_crossentropy", Target::Binary,
              [](const Data&) { return objectives::BinaryCrossEntropyObjective{}; }),
      builtin("poisson", Target::Count, [](const Data&) { return objectives::PoissonObjective{}; }),
      builtin("gamma", Target::Positive, [](const Data&) { return objectives::GammaObjective{}; }),
      builtin("tweedie", Target::Tweedie, [](const Data&) { return objectives::TweedieObjective::make(1.5f); }),
      builtin("queryrmse", Target::Relevance, [=](const Data& d) { return objectives::QueryRMSEObjective(groups(d)); }),
      builtin("rank_pairwise", Target::Relevance,
              [=](const Data& d) { return objectives::PairwiseRankingObjective(groups(d)); }),
      builtin("rank_ndcg", Target::Relevance, [=](const Data& d) { return objectives::LambdaMARTObjective(groups(d)); }),
      builtin("rank_xendcg", Target::Relevance, [=](const Data& d) { return objectives::XeNDCGObjective(groups(d)); }),
      builtin("yetirank", Target::Relevance,
              [=](const Data& d) { return objectives::YetiRankObjective(groups(d), 3, 11); }),
      {"custom", Target::Regression,
       [](const Data& d, const core::TrainParams& p) {
         return fit_objective(UserCodeObjective{}, d, p, target_mean_initial_prediction(d.dataset.targets, std::nullopt));
       }},
  };
}

struct SamplingCase {
  const char* name;
  core::TreeGrowth growth;
  float row_subsample;
  float col_subsample;
  core::BoostingMode mode;
};

const SamplingCase kSamplingCases[] = {
    {"plain_level", core::TreeGrowth::Level, 1.0f, 1.0f, core::StandardBoosting{}},
    {"subsample_leaf", core::TreeGrowth::Leaf, 0.6f, 0.75f, core::StandardBoosting{}},
    {"goss_level", core::TreeGrowth::Level, 1.0f, 1.0f, core::GossBoosting{0.3f, 0.2f}},
    {"goss_colsample_leaf", core::TreeGrowth::Leaf, 1.0f, 0.5f, core::GossBoosting{0.2f, 0.3f}},
};

TEST(FitEndToEnd, TrackedPredictionsMatchTheReturnedModelForEveryObjective) {
  for (const ObjectiveCase& objective : objective_cases()) {
    const Data data = make_data(17, kRows, kFeatures, objective.target);
    for (const SamplingCase& sampling : kSamplingCases) {
      SCOPED_TRACE(std::string(objective.name) + " / " + sampling.name);
      core::TrainParams params = small_params();
      params.tree_growth = sampling.growth;
      if (sampling.growth == core::TreeGrowth::Leaf) params.max_leaves = 6;
      params.row_subsample = sampling.row_subsample;
      params.col_subsample = sampling.col_subsample;
      params.boosting_mode = sampling.mode;
      params.seed = 5;
      const Outcome outcome = objective.run(data, params);
      const IterationRunSummary& summary = outcome.summary;
      const TrainedModel& model = summary.model;

      EXPECT_EQ(model.objective, objective.name);
      EXPECT_EQ(model.base_prediction, outcome.contract_start);
      EXPECT_GE(summary.rounds_completed, 3u);
      EXPECT_EQ(model.rounds_completed(), summary.rounds_completed);

      // Round k started from the model's first k trees, bit for bit, on every row.
      const std::vector<std::vector<float>>& starts = outcome.hooks.round_start_predictions;
      ASSERT_GE(starts.size(), summary.rounds_completed);
      for (std::size_t k = 0; k < starts.size(); ++k) {
        ASSERT_EQ(starts[k], fresh_predictions(model, data, k)) << "round " << k;
      }
      EXPECT_EQ(summary.final_train_loss, outcome.loss(fresh_predictions(model, data)));
      // Round k's recorded loss is that of the model's first k + 1 trees, whenever it is computed.
      ASSERT_EQ(summary.train_loss.size(), summary.rounds_completed);
      for (std::size_t k = 0; k < summary.train_loss.size(); ++k) {
        EXPECT_EQ(summary.train_loss[k], outcome.loss(fresh_predictions(model, data, k + 1))) << "round " << k;
      }
      EXPECT_EQ(summary.initial_train_loss,
                outcome.loss(std::vector<float>(kRows, model.base_prediction)));

      if (outcome.ranking) {
        EXPECT_LT(summary.final_train_loss, summary.initial_train_loss);
      } else {
        float previous = summary.initial_train_loss;
        for (float loss : summary.train_loss) {
          EXPECT_LE(loss, previous);
          previous = loss;
        }
      }

      const bool subsampled = sampling.row_subsample < 1.0f || std::holds_alternative<core::GossBoosting>(sampling.mode);
      for (std::size_t k = 0; k < summary.rounds_completed; ++k) {
        EXPECT_EQ(summary.active_rows_per_round[k], outcome.hooks.round_rows[k].size());
        if (subsampled) {
          EXPECT_LT(summary.active_rows_per_round[k], kRows);
        }
        const auto expected_features = static_cast<std::size_t>(std::ceil(sampling.col_subsample * kFeatures));
        EXPECT_EQ(summary.active_features_per_round[k], expected_features);
      }
    }
  }
}

// GOSS hands the grower the drawn small-gradient rows with their pairs scaled up, and the round's
// diagnostics describe those scaled pairs.
TEST(FitEndToEnd, GossScalesTheDrawnRowsPairs) {
  const Data data = make_data(3, kRows, kFeatures, Target::Regression);
  core::TrainParams params = small_params();
  params.boosting_mode = core::GossBoosting{0.25f, 0.25f};
  const Outcome outcome = fit_objective(objectives::SquaredErrorObjective{}, data, params, 0.0f);
  ASSERT_FALSE(outcome.hooks.round_gradients.empty());
  const std::vector<core::GradientPair>& pairs = outcome.hooks.round_gradients[0];
  // rest / drawn = 120 / 40: three of the sampled rows carry hessian 3, the top rows 1.
  std::size_t scaled = 0;
  for (const std::uint32_t row : outcome.hooks.round_rows[0]) scaled += pairs[row].hess == 3.0f;
  EXPECT_EQ(scaled, 40u);
  EXPECT_EQ(outcome.hooks.round_rows[0].size(), 80u);
  EXPECT_EQ(outcome.summary.diagnostics_per_round[0],
            IterationDiagnostics::from_gradient_snapshot(pairs, false, 80, kFeatures, 0.0f));
}

}  // namespace
}  // namespace kestrune::engine::trainer
