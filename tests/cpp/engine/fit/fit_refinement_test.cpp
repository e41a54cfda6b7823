// Leaf refinement in the fit: every quantile tree ends with leaves at the weighted quantile of its
// rows' residuals against the predictions it was grown on; the regression objectives, behind the
// experiment switch, return a refined model whose reported losses are exactly its own.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/env.hpp"
#include "engine/routing.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::ScopedEnv;

constexpr std::size_t kRows = 200;
constexpr std::size_t kValidationRows = 60;
constexpr std::size_t kFeatures = 4;
constexpr std::size_t kRounds = 6;

struct LeafVisit {
  std::uint32_t leaf = 0;  // local id of the node the row ends in
  float value = 0.0f;      // the tree's increments along the row's path
};

// Each row routed through one tree by the shared rule, independently of the fit's own walks.
std::vector<LeafVisit> leaf_visits(std::span<const TrainedStump> tree, const Data& data) {
  std::map<std::uint32_t, const TrainedStump*> by_id;
  for (const TrainedStump& stump : tree) by_id[local_id_of(stump.node_id)] = &stump;
  const core::BinnedMatrix& binned = data.binned;
  std::vector<LeafVisit> visits(binned.row_count);
  binned.bins.visit([&](auto codes) {
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      std::uint32_t id = 0;
      float value = 0.0f;
      while (by_id.contains(id)) {
        const TrainedStump& stump = *by_id.at(id);
        const bool left = routes_left(stump, codes[row * binned.feature_count + stump.feature_index],
                                      binned.missing_bin);
        value += std::get<float>(left ? stump.left : stump.right);
        id = 2 * id + (left ? 1 : 2);
      }
      visits[row] = {id, value};
    }
  });
  return visits;
}

std::vector<TrainedStump> tree_of(const TrainedModel& model, std::uint32_t tree) {
  std::vector<TrainedStump> stumps;
  for (const TrainedStump& stump : model.stumps) {
    if (tree_index_of(stump.node_id) == tree) stumps.push_back(stump);
  }
  return stumps;
}

// Every leaf of every tree, scaled back by the learning rate, is the weighted alpha-quantile of
// the residuals of the rows that end in it, taken against the predictions its round started from.
void expect_quantile_leaves(const IterationRunSummary& summary, const RecordingHooks& hooks, const Data& data,
                            float alpha, float learning_rate) {
  // A round the loss rules stopped was grown, and recorded, but not kept.
  ASSERT_GE(hooks.round_start_predictions.size(), summary.train_loss.size());
  const std::vector<float>& targets = data.dataset.targets;
  for (std::uint32_t round = 0; round < summary.train_loss.size(); ++round) {
    SCOPED_TRACE(round);
    const std::vector<float>& start = hooks.round_start_predictions[round];
    const std::vector<LeafVisit> visits = leaf_visits(tree_of(summary.model, round), data);
    std::map<std::uint32_t, std::pair<std::vector<float>, std::vector<float>>> leaves;
    for (std::size_t row = 0; row < visits.size(); ++row) {
      auto& [residuals, weights] = leaves[visits[row].leaf];
      residuals.push_back(targets[row] - start[row]);
      if (data.dataset.sample_weights) weights.push_back((*data.dataset.sample_weights)[row]);
    }
    ASSERT_GE(leaves.size(), 2u);
    for (const auto& [leaf, rows] : leaves) {
      objectives::Weights weights;
      if (data.dataset.sample_weights) weights = std::span<const float>(rows.second);
      const float expected = objectives::weighted_quantile(rows.first, weights, alpha);
      std::size_t row = 0;
      while (visits[row].leaf != leaf) ++row;
      EXPECT_NEAR(visits[row].value / learning_rate, expected, 1e-4f * std::max(1.0f, std::fabs(expected)))
          << "leaf " << leaf;
    }
  }
}

TEST(FitLeafRefinement, QuantileTreesEndAtTheirLeavesResidualQuantiles) {
  struct Case {
    const char* name;
    float alpha;
    bool weighted;
    float row_subsample;
    bool dart;
  };
  const Case cases[] = {
      {"alpha 0.3", 0.3f, false, 1.0f, false},
      {"alpha 0.8, weighted, subsampled", 0.8f, true, 0.7f, false},
      {"alpha 0.5, dart", 0.5f, false, 1.0f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Data data = make_data(51, kRows, kFeatures, Target::Regression);
    if (c.weighted) {
      data.dataset.sample_weights.emplace(kRows);
      for (std::size_t r = 0; r < kRows; ++r) (*data.dataset.sample_weights)[r] = 0.25f + static_cast<float>(r % 7);
    }
    core::TrainParams params = small_params();
    params.row_subsample = c.row_subsample;
    params.seed = 5;
    if (c.dart) params.boosting_mode = core::DartBoosting{0.5f, 2};
    const Trainer trainer = make_trainer(params);
    const objectives::QuantileObjective objective{c.alpha};
    RecordingHooks hooks;
    const IterationRunSummary summary =
        run_fit(trainer, data, objective, trainer.default_iteration_controls(kRounds), {}, hooks);
    ASSERT_GE(summary.train_loss.size(), 2u);
    expect_quantile_leaves(summary, hooks, data, c.alpha, params.learning_rate);
    if (!c.dart) {
      // The refined tree reached every row, sampled or not: the loop tracked the returned model.
      for (std::size_t round = 0; round < summary.train_loss.size(); ++round) {
        EXPECT_EQ(bits_of(hooks.round_start_predictions[round]),
                  bits_of(fresh_predictions(summary.model, data, round)));
      }
      EXPECT_EQ(summary.final_train_loss,
                objective.loss(fresh_predictions(summary.model, data), data.dataset.targets, weights_of(data.dataset)));
    }
  }
}

// With the switch on, the fit returns refined leaves and reports the losses of exactly that model;
// the best validation round and loss stay those the rounds found.
TEST(FitLeafRefinement, RegressionRefinementReportsTheReturnedModelsLosses) {
  const Data regression = make_data(61, kRows, kFeatures, Target::Regression);
  const Data regression_validation = make_data(62, kValidationRows, kFeatures, Target::Regression);
  Data weighted = make_data(63, kRows, kFeatures, Target::Regression);
  weighted.dataset.sample_weights.emplace(kRows);
  for (std::size_t r = 0; r < kRows; ++r) (*weighted.dataset.sample_weights)[r] = 0.5f + static_cast<float>(r % 3);
  const Data weighted_validation = make_data(64, kValidationRows, kFeatures, Target::Regression);
  const objectives::SquaredErrorObjective objective;
  const auto loss = [&](const TrainedModel& model, const Data& d) {
    return objective.loss(fresh_predictions(model, d), d.dataset.targets, weights_of(d.dataset));
  };
  const WarmStartState warm = warm_start_from(
      run_fit(make_trainer(small_params()), regression, objective, make_trainer(small_params()).default_iteration_controls(3))
          .model);
  core::TrainParams dart = small_params();
  dart.boosting_mode = core::DartBoosting{0.4f, 2};
  dart.row_subsample = 0.8f;

  struct Case {
    const char* name;
    core::TrainParams params;
    const Data* train;
    const Data* validation;
    std::optional<WarmStartState> warm_start;
  };
  const Case cases[] = {
      {"squared error", small_params(), &regression, &regression_validation, std::nullopt},
      {"squared error, dart", dart, &regression, &regression_validation, std::nullopt},
      {"weighted squared error", small_params(), &weighted, &weighted_validation, std::nullopt},
      {"squared error, warm start", small_params(), &regression, &regression_validation, warm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool with_dart = std::holds_alternative<core::DartBoosting>(c.params.boosting_mode);
    auto fit = [&] {
      const Trainer trainer = make_trainer(c.params);
      IterationControls controls = trainer.default_iteration_controls(kRounds);
      controls.early_stopping_rounds = 2;
      controls.min_validation_improvement = 0.002f;
      const FitOptions options{c.validation, c.warm_start};
      // DART rounds that raise the training loss are skipped rather than ending the fit.
      return with_dart ? run_fit(trainer, *c.train, objective, controls, options, AllWarmUp{})
                       : run_fit(trainer, *c.train, objective, controls, options);
    };
    const IterationRunSummary plain = fit();
    const ScopedEnv refinement(kEnableLeafRefinementVariable, "1");
    const IterationRunSummary s = fit();

    ASSERT_FALSE(s.train_loss.empty());
    EXPECT_NE(s.model.to_artifact_bytes(), plain.model.to_artifact_bytes());
    EXPECT_EQ(s.final_train_loss, loss(s.model, *c.train));
    EXPECT_EQ(s.train_loss.back(), s.final_train_loss);
    EXPECT_EQ(s.final_validation_loss, loss(s.model, *c.validation));
    EXPECT_EQ(s.validation_loss.back(), s.final_validation_loss);
    EXPECT_EQ(s.best_validation_round, plain.best_validation_round);
    EXPECT_EQ(s.best_validation_loss, plain.best_validation_loss);
    EXPECT_EQ(s.rounds_completed, plain.rounds_completed);
    // Under squared error a residual mean is each leaf's best value given the other trees: the
    // sweep can only lower the training loss.
    EXPECT_LE(s.final_train_loss, loss(plain.model, *c.train) * (1.0f + 1e-5f));
    // An earlier model's trees are part of the starting point, not refined.
    for (std::size_t i = 0; c.warm_start && i < c.warm_start->stumps.size(); ++i) {
      EXPECT_EQ(s.model.stumps[i].node_id, warm.stumps[i].node_id);
      EXPECT_EQ(s.model.stumps[i].left, warm.stumps[i].left);
      EXPECT_EQ(s.model.stumps[i].right, warm.stumps[i].right);
    }
    if (with_dart) {
      // The refinement fitted each tree at its weight and kept the weights.
      EXPECT_EQ(tree_weights_of(s.model), tree_weights_of(plain.model));
      EXPECT_GE(s.train_loss.size(), 3u);
      bool reweighted = false;
      for (const auto& [tree, weight] : tree_weights_of(s.model)) reweighted = reweighted || weight != 1.0f;
      EXPECT_TRUE(reweighted);
    }
  }
}

// The switch changes nothing under gradient neutralization, nor for an objective without the
// after-loop refinement: the quantile and user-code objectives, and the logit and log-link ones,
// whose scores are not on the target's scale.
TEST(FitLeafRefinement, TheSwitchActsOnlyWhereTheRefinementApplies) {
  Data data = make_data(71, kRows, kFeatures, Target::Regression);
  std::vector<float> exposure_values(kRows * 2);
  for (std::size_t i = 0; i < exposure_values.size(); ++i) {
    exposure_values[i] = static_cast<float>((i * 37) % 11) - 5.0f;
  }
  data.dataset.factor_exposures = core::FactorExposureMatrix::make(kRows, 2, std::move(exposure_values));
  core::TrainParams neutralized = small_params();
  neutralized.neutralization_config =
      core::NeutralizationConfig{core::NeutralizationKind::PerRoundGradient, 1.0f, 0.0f};
  Data plain_data = data;
  plain_data.dataset.factor_exposures.reset();

  auto fit = [&](const auto& objective, const core::TrainParams& params, const Data& d, bool switch_on) {
    const ScopedEnv refinement(kEnableLeafRefinementVariable,
                               switch_on ? std::optional<std::string>("on") : std::nullopt);
    const Trainer trainer = make_trainer(params);
    return run_fit(trainer, d, objective, trainer.default_iteration_controls(4));
  };
  auto expect_unchanged = [&](const auto& objective, const core::TrainParams& params, const Data& d) {
    const IterationRunSummary off = fit(objective, params, d, false);
    const IterationRunSummary on = fit(objective, params, d, true);
    EXPECT_EQ(on.model.to_artifact_bytes(), off.model.to_artifact_bytes());
    EXPECT_EQ(bits_of(on.train_loss), bits_of(off.train_loss));
  };
  expect_unchanged(objectives::SquaredErrorObjective{}, neutralized, data);
  expect_unchanged(objectives::QuantileObjective{0.4f}, small_params(), plain_data);
  Data binary = make_data(72, kRows, kFeatures, Target::Binary);
  expect_unchanged(objectives::BinaryCrossEntropyObjective{}, small_params(), binary);
  expect_unchanged(UserCodeObjective{}, small_params(), plain_data);
}

}  // namespace
}  // namespace kestrune::engine::trainer
