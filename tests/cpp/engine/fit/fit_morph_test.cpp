// Morph fits end to end: the model records the statistics and schedule it ended with, predicts
// what the fit tracked, and a warm start from its artifact continues both.
#include <gtest/gtest.h>

#include <vector>

#include "engine/trainer/warm_start.hpp"
#include "fit_test_support.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;

constexpr std::size_t kFeatures = 4;

// The artifact without its morph section, which records per-fit round counters.
std::vector<std::uint8_t> trees_of(TrainedModel model) {
  model.morph_metadata.reset();
  return model.to_artifact_bytes();
}

WarmStartState warm_start_of(const TrainedModel& model) {
  return warm_start_from_artifact_bytes(model.to_artifact_bytes(), kFeatures);
}

TEST(MorphFit, WarmStartContinuesTheStatisticsAndTheSchedule) {
  const Data train = make_data(31, 160, kFeatures, Target::Regression);
  core::TrainParams params = small_params();
  params.row_subsample = 0.8f;
  params.seed = 7;
  core::MorphConfig morph;
  morph.morph_warmup_iters = 0;    // the averages steer every split from the first round
  morph.info_score_weight = 0.5f;
  // Progress through the schedule (its length differs between the fits compared) left out, a
  // paused and continued fit is the same fit as one straight run.
  morph.evolution_pressure = 0.0f;
  morph.morph_rate = 0.0f;
  params.morph_config = morph;
  const Trainer trainer = make_trainer(params);
  const objectives::SquaredErrorObjective objective;
  auto controls = [&](std::size_t rounds) { return trainer.default_iteration_controls(rounds); };

  const IterationRunSummary straight = run_fit(trainer, train, objective, controls(7));
  const IterationRunSummary first = run_fit(trainer, train, objective, controls(4));
  const IterationRunSummary resumed = run_fit(trainer, train, objective, controls(3), {nullptr, warm_start_of(first.model)});
  ASSERT_EQ(straight.rounds_completed, 7u);
  ASSERT_EQ(resumed.rounds_completed, 3u);
  EXPECT_EQ(trees_of(resumed.model), trees_of(straight.model));
  EXPECT_EQ(resumed.train_loss, std::vector<float>(straight.train_loss.begin() + 4, straight.train_loss.end()));

  // The counters: this fit's completed rounds, and the schedule length warm rounds + requested.
  const core::MorphMetadata& end = *resumed.model.morph_metadata;
  EXPECT_EQ(end.ema_stats, straight.model.morph_metadata->ema_stats);
  EXPECT_EQ(end.ema_stats.size(), 1u);
  EXPECT_EQ(end.rounds_completed, 3u);
  EXPECT_EQ(end.scheduled_iterations, 7u);
  EXPECT_EQ(first.model.morph_metadata->scheduled_iterations, 4u);
  EXPECT_EQ(end.config.info_score_weight, 0.5f);

  // The averages really are carried: restarted from fresh ones, the continued trees differ.
  WarmStartState fresh = warm_start_of(first.model);
  ASSERT_TRUE(fresh.morph_ema_stats.has_value());
  fresh.morph_ema_stats.reset();
  const IterationRunSummary restarted = run_fit(trainer, train, objective, controls(3), {nullptr, std::move(fresh)});
  EXPECT_NE(trees_of(restarted.model), trees_of(straight.model));
}

TEST(MorphFit, ModelsPredictWhatTheFitTracked) {
  // Every schedule kind and both growers, single-output and multiclass: the model recomputed from
  // its artifact's trees has the final training loss the fit reported.
  struct Case {
    const char* name;
    core::LrScheduleKind schedule;
    core::TreeGrowth growth;
  };
  const Case cases[] = {
      {"warm-up cosine, leaf-wise", core::LrScheduleKind::WarmupCosine, core::TreeGrowth::Leaf},
      {"constant, level-wise", core::LrScheduleKind::Constant, core::TreeGrowth::Level},
  };
  const Data train = make_data(32, 120, kFeatures, Target::Regression);
  const Data classes = multiclass_testing::make_multiclass_data(33, 150, kFeatures);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::TrainParams params = small_params();
    params.tree_growth = c.growth;
    params.max_leaves = 6;
    core::MorphConfig morph;
    morph.lr_schedule = {c.schedule, 0.3f};
    morph.morph_warmup_iters = 2;
    params.morph_config = morph;
    const Trainer trainer = make_trainer(params);

    const objectives::SquaredErrorObjective objective;
    const IterationRunSummary run = run_fit(trainer, train, objective, trainer.default_iteration_controls(8));
    ASSERT_GT(run.rounds_completed, 2u);
    const TrainedModel loaded = TrainedModel::from_artifact_bytes(run.model.to_artifact_bytes());
    EXPECT_EQ(objective.loss(fresh_predictions(loaded, train), train.dataset.targets, std::nullopt),
              run.final_train_loss);
    ASSERT_TRUE(loaded.morph_metadata.has_value());
    EXPECT_EQ(loaded.morph_metadata->config.lr_schedule.kind, c.schedule);
    EXPECT_EQ(loaded.morph_metadata->rounds_completed, run.rounds_completed);

    MultiClassIterationRunSummary multiclass =
        multiclass_testing::run_multiclass(trainer, classes, trainer.default_iteration_controls(6));
    ASSERT_GT(multiclass.rounds_completed, 2u);
    const MultiClassTrainedModel model = MultiClassTrainedModel::from_artifact_bytes(
        multiclass_trained_model(multiclass).to_artifact_bytes());
    const std::vector<std::vector<float>> margins =
        multiclass_testing::fresh_margins(model.class_baselines, model.class_stumps, classes);
    EXPECT_FLOAT_EQ(multiclass_testing::softmax().loss(margins, classes.dataset.targets, std::nullopt),
                    multiclass.final_train_loss);
    ASSERT_TRUE(model.morph_metadata.has_value());
    EXPECT_EQ(model.morph_metadata->ema_stats.size(), model.num_classes);
    EXPECT_EQ(model.morph_metadata->scheduled_iterations, 6u);
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
