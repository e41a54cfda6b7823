// DART in the multiclass rounds: the returned model, with its weights, is the model the run tracked
// and scored, and a continued fit starts from the weighted trees.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

core::TrainParams dart_params(core::DartNormalizeType normalize = core::DartNormalizeType::Tree) {
  core::TrainParams params = small_params();
  params.boosting_mode = core::DartBoosting{0.3f, 4, normalize, core::DartSampleType::Uniform};
  params.seed = 17;
  return params;
}

// The returned model, with its weights, scores the losses the run reported.
TEST(MulticlassDart, ReturnedModelWithItsWeightsIsTheTrackedOne) {
  const Data train = make_data(32, 160, 4, Target::Classes);
  const Data validation = make_data(33, 60, 4, Target::Classes);
  const auto objective = softmax();
  for (const auto normalize : {core::DartNormalizeType::Tree, core::DartNormalizeType::Forest}) {
    SCOPED_TRACE(static_cast<int>(normalize));
    core::TrainParams params = dart_params(normalize);
    params.row_subsample = 0.8f;
    const Trainer trainer = make_trainer(params);
    const MultiClassIterationRunSummary run =
        run_multiclass(trainer, train, trainer.default_iteration_controls(8), &validation);
    // Rescaling can raise the training loss, which ends a run early; either way some round dropped.
    ASSERT_GE(run.rounds_completed, 3u);
    bool rescaled = false;
    for (const auto& stumps : run.class_stumps) {
      for (const TrainedStump& stump : stumps) rescaled = rescaled || stump.tree_weight != 1.0f;
    }
    EXPECT_TRUE(rescaled);
    // Scaled updates round differently from a fresh weighted walk: float precision, not bits.
    EXPECT_NEAR(objective.loss(fresh_margins(run, train), train.dataset.targets, std::nullopt), run.final_train_loss,
                1e-5f);
    EXPECT_NEAR(objective.loss(fresh_margins(run, validation), validation.dataset.targets, std::nullopt),
                *run.final_validation_loss, 1e-5f);
  }
}

TEST(MulticlassDart, ContinuingADartModelStartsFromItsWeightedTrees) {
  const Data train = make_data(34, 120, 4, Target::Classes);
  const Trainer trainer = make_trainer(dart_params());
  MultiClassIterationRunSummary first = run_multiclass(trainer, train, trainer.default_iteration_controls(5));
  MultiClassWarmStartState warm = multiclass_warm_start_from_model(
      MultiClassTrainedModel::from_artifact_bytes(multiclass_trained_model(first).to_artifact_bytes()));
  ASSERT_TRUE(warm.initial_dart_tree_weights);
  EXPECT_EQ(warm.initial_dart_tree_weights->size(), 5 * kClasses);
  const MultiClassIterationRunSummary resumed =
      run_multiclass(trainer, train, trainer.default_iteration_controls(3), nullptr, warm);
  EXPECT_NEAR(resumed.initial_train_loss, first.final_train_loss, 1e-5f);
  EXPECT_EQ(resumed.rounds_completed, 3u);
  EXPECT_LT(resumed.final_train_loss, resumed.initial_train_loss);
  EXPECT_NEAR(softmax().loss(fresh_margins(resumed, train), train.dataset.targets, std::nullopt),
              resumed.final_train_loss, 1e-5f);
  // The stored weights must cover every round and class.
  warm.initial_dart_tree_weights->pop_back();
  EXPECT_TRUE(throws_engine_error([&] { run_multiclass(trainer, train, trainer.default_iteration_controls(1), nullptr, warm); },
                                  EngineErrorKind::ContractViolation,
                                  "warm-start initial_dart_tree_weights length 14 != initial_rounds_completed * K = "
                                  "5 * 3 = 15"));
}

}  // namespace
}  // namespace kestrune::engine::trainer
