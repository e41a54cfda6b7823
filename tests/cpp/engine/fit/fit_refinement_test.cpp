// Leaf refinement after the rounds: the regression objectives, behind the experiment switch, return a
// refined model whose reported losses are exactly its own.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/env.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::ScopedEnv;

constexpr std::size_t kRows = 200;
constexpr std::size_t kValidationRows = 60;
constexpr std::size_t kFeatures = 4;
constexpr std::size_t kRounds = 6;

Data weighted_data(std::uint64_t seed, std::size_t rows) {
  Data data = make_data(seed, rows, kFeatures, Target::Regression);
  data.dataset.sample_weights.emplace(rows);
  for (std::size_t r = 0; r < rows; ++r) (*data.dataset.sample_weights)[r] = 0.25f + static_cast<float>(r % 7);
  return data;
}

// With the switch on, the fit returns refined leaves and reports the losses of exactly that model;
// the best validation round and loss stay those the rounds found.
TEST(FitLeafRefinement, RegressionRefinementReportsTheReturnedModelsLosses) {
  const Data regression = make_data(61, kRows, kFeatures, Target::Regression);
  const Data validation = make_data(62, kValidationRows, kFeatures, Target::Regression);
  const Data weighted = weighted_data(63, kRows);
  const Data weighted_validation = weighted_data(64, kValidationRows);
  const objectives::SquaredErrorObjective objective;
  const auto loss = [&](const TrainedModel& model, const Data& d) {
    return objective.loss(fresh_predictions(model, d), d.dataset.targets, weights_of(d.dataset));
  };
  const Trainer plain_trainer = make_trainer(small_params());
  const WarmStartState warm =
      warm_start_from(run_fit(plain_trainer, regression, objective, plain_trainer.default_iteration_controls(3)).model);
  core::TrainParams dart = small_params();
  dart.boosting_mode = core::DartBoosting{0.4f, 2};
  dart.row_subsample = 0.8f;
  struct Case {
    core::TrainParams params;
    const Data* train;
    const Data* validation;
    std::optional<WarmStartState> warm_start;
  };
  const Case cases[] = {{small_params(), &regression, &validation, std::nullopt},
                        {dart, &regression, &validation, std::nullopt},
                        {small_params(), &weighted, &weighted_validation, std::nullopt},
                        {small_params(), &regression, &validation, warm}};
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
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
    // A residual mean is each leaf's best value given the other trees: the loss can only fall.
    EXPECT_LE(s.final_train_loss, loss(plain.model, *c.train) * (1.0f + 1e-5f));
    // An earlier model's trees are part of the starting point, not refined.
    for (std::size_t i = 0; c.warm_start && i < c.warm_start->stumps.size(); ++i) {
      EXPECT_EQ(s.model.stumps[i].left, warm.stumps[i].left);
      EXPECT_EQ(s.model.stumps[i].right, warm.stumps[i].right);
    }
    // The refinement fitted each DART tree at its weight and kept the weights.
    if (with_dart) {
      EXPECT_EQ(tree_weights_of(s.model), tree_weights_of(plain.model));
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
