// Continuing a multiclass model: the state decoded from its artifact, and a resumed fit that
// equals an uninterrupted one.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

core::TrainParams sampled_params() {
  core::TrainParams params = small_params();
  params.row_subsample = 0.7f;
  params.col_subsample = 0.75f;
  params.seed = 41;
  return params;
}

TEST(MulticlassWarmStart, NewTreesFollowTheLastRoundOfAnyClass) {
  // Class 0 has nothing at tree 1; the new round must not reuse index 1 in class 1.
  const Data train = make_data(23, 90, 4, Target::Classes);
  const Trainer trainer = make_trainer(small_params());
  MultiClassTrainedModel model;
  model.num_classes = kClasses;
  model.feature_count = 4;
  model.class_baselines.assign(kClasses, 0.0f);
  model.class_stumps.resize(kClasses);
  model.class_stumps[0] = stump_tree(0, 0.2f, -0.2f);
  model.class_stumps[1] = stump_tree(0, -0.1f, 0.1f);
  model.class_stumps[1].push_back(stump_tree(1, -0.1f, 0.1f)[0]);
  const MultiClassIterationRunSummary run =
      run_multiclass(trainer, train, trainer.default_iteration_controls(1), nullptr, multiclass_warm_start_from_model(model));
  EXPECT_EQ(tree_indices(run.class_stumps[1]).back(), 2u);
  EXPECT_EQ(tree_indices(run.class_stumps[0]).back(), 2u);
  const auto objective = softmax();
  EXPECT_EQ(run.initial_train_loss,
            objective.loss(fresh_margins(model.class_baselines, model.class_stumps, train), train.dataset.targets,
                           std::nullopt));
}

}  // namespace
}  // namespace kestrune::engine::trainer
