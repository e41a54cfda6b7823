// A warm start takes an artifact only when the predictor loads it too, and a fit continued from
// any artifact it takes yields a model the predictor loads. Checked over deterministic mutations
// of trained single-output and multiclass artifacts, and over every way of giving one stored
// record the node key of another (the repeated node ids that byte mutations rarely produce).
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <type_traits>
#include <vector>

#include "../artifact_test_support.hpp"
#include "../fit/fit_test_support.hpp"
#include "../fit/multiclass_test_support.hpp"
#include "core/artifact/container.hpp"
#include "engine/error.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/trainer/multiclass_warm_start.hpp"
#include "engine/trainer/warm_start.hpp"
#include "predictor/error.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::engine::trainer {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fit_testing::Data;

constexpr std::size_t kFeatures = 4;
constexpr std::size_t kRecordSize = 32;

bool predictor_loads(const Bytes& artifact) {
  try {
    static_cast<void>(predictor::Predictor::from_artifact_bytes(artifact));
    return true;
  } catch (const predictor::PredictorError&) {
    return false;
  }
}

// Copies of `artifact` in which record i carries record j's node key, for every i != j. The
// records of the section of `kind` start `header` bytes into its payload.
std::vector<Bytes> with_copied_keys(const Bytes& artifact, core::ModelSectionKind kind, std::size_t header) {
  std::vector<Bytes> copies;
  for (const core::ModelArtifactSection& section : core::deserialize_model_artifact_v1(artifact).sections) {
    if (section.kind != kind) continue;
    const std::size_t first = section.offset + header;
    const std::size_t count = (section.length - header) / kRecordSize;
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t j = 0; j < count; ++j) {
        if (i == j) continue;
        Bytes copy = artifact;
        std::copy_n(artifact.begin() + first + j * kRecordSize, 4, copy.begin() + first + i * kRecordSize);
        copies.push_back(std::move(copy));
      }
    }
  }
  return copies;
}

struct Tally {
  std::size_t cases = 0;
  std::size_t refused_by_predictor = 0;
  std::size_t continued = 0;
};

// Runs `warm_start` then `continue_fit` on one candidate artifact. Either may refuse with the
// documented errors; whatever the warm start takes must load in the predictor, and so must the
// model the continued fit writes.
template <typename WarmStart, typename ContinueFit>
void check_candidate(const Bytes& artifact, WarmStart warm_start, ContinueFit continue_fit, Tally& tally) {
  const std::size_t case_index = tally.cases++;
  std::optional<std::invoke_result_t<WarmStart, const Bytes&>> state;
  try {
    state = warm_start(artifact);
  } catch (const EngineError&) {
    return;
  } catch (const predictor::PredictorError&) {
    ++tally.refused_by_predictor;
    return;
  }
  EXPECT_TRUE(predictor_loads(artifact)) << "case " << case_index << ": the warm start took an unloadable artifact";
  // A continued fit per accepted artifact would dominate the suite's time: every fourth one.
  if (case_index % 4 != 0) return;
  Bytes written;
  try {
    written = continue_fit(std::move(*state));
  } catch (const EngineError&) {
    return;  // the fit's own checks (feature indices, tree index range) refused it
  }
  ++tally.continued;
  EXPECT_TRUE(predictor_loads(written)) << "case " << case_index << ": the continued model does not load";
}

template <typename Check>
void for_each_candidate(const Bytes& seed, core::ModelSectionKind kind, std::size_t header, Check check) {
  std::mt19937_64 rng(0x7761726du);
  artifact_testing::for_each_mutation(seed, rng, check);
  for (const Bytes& copy : with_copied_keys(seed, kind, header)) check(copy);
}

TEST(WarmStartArtifact, SingleOutputWarmStartsTakeOnlyLoadableArtifacts) {
  const Data train = fit_testing::make_data(31, 96, kFeatures, fit_testing::Target::Regression);
  const Trainer trainer = fit_testing::make_trainer(fit_testing::small_params());
  const objectives::SquaredErrorObjective objective;
  TrainedModel seed_model =
      fit_testing::run_fit(trainer, train, objective, trainer.default_iteration_controls(3)).model;
  for (TrainedStump& stump : seed_model.stumps) {
    if (tree_index_of(stump.node_id) == 1) stump.tree_weight = 0.5f;  // a DartTreeWeights section too
  }
  const Bytes seed = seed_model.to_artifact_bytes();
  ASSERT_TRUE(predictor_loads(seed));

  Tally tally;
  const auto warm_start = [](const Bytes& artifact) { return warm_start_from_artifact_bytes(artifact, kFeatures); };
  const auto continue_fit = [&](WarmStartState state) {
    fit_testing::FitOptions options;
    options.warm_start = std::move(state);
    return fit_testing::run_fit(trainer, train, objective, trainer.default_iteration_controls(1), std::move(options))
        .model.to_artifact_bytes();
  };
  for_each_candidate(seed, core::ModelSectionKind::Trees, 16,
                     [&](const Bytes& artifact) { check_candidate(artifact, warm_start, continue_fit, tally); });
  EXPECT_GT(tally.cases, 3000u);
  EXPECT_GT(tally.continued, 75u);
  EXPECT_GT(tally.refused_by_predictor, 100u);
}

TEST(WarmStartArtifact, MulticlassWarmStartsTakeOnlyLoadableArtifacts) {
  using multiclass_testing::kClasses;
  const Data train = multiclass_testing::make_multiclass_data(32, 90, kFeatures);
  const Trainer trainer = fit_testing::make_trainer(fit_testing::small_params());
  MultiClassIterationRunSummary first =
      multiclass_testing::run_multiclass(trainer, train, trainer.default_iteration_controls(2));
  const Bytes seed = multiclass_trained_model(first).to_artifact_bytes();
  ASSERT_TRUE(predictor_loads(seed));

  Tally tally;
  const auto warm_start = [](const Bytes& artifact) {
    return multiclass_warm_start_from_artifact_bytes(artifact, kFeatures, kClasses);
  };
  const auto continue_fit = [&](MultiClassWarmStartState state) {
    MultiClassIterationRunSummary run = multiclass_testing::run_multiclass(
        trainer, train, trainer.default_iteration_controls(1), nullptr, std::move(state));
    return multiclass_trained_model(run).to_artifact_bytes();
  };
  for_each_candidate(seed, core::ModelSectionKind::MultiClassTrees, 12 + 8 * kClasses,
                     [&](const Bytes& artifact) { check_candidate(artifact, warm_start, continue_fit, tally); });
  EXPECT_GT(tally.cases, 3000u);
  EXPECT_GT(tally.continued, 75u);
  EXPECT_GT(tally.refused_by_predictor, 100u);
}

// A fit continuing a model keeps its raw rows exactly when that model's linear leaves will read
// them: in a single-output or a multiclass artifact, and never for one that does not parse.
TEST(WarmStartArtifact, FindsLinearLeavesInEitherModelsArtifact) {
  TrainedModel single;
  single.feature_count = kFeatures;
  single.objective = "squared_error";
  single.stumps = {artifact_testing::numeric_stump(0, 1, 2, 0.5f, -0.5f)};
  MultiClassTrainedModel multiclass;
  multiclass.num_classes = 2;
  multiclass.feature_count = kFeatures;
  multiclass.objective = "multiclass_softmax";
  multiclass.class_baselines = {0.0f, 0.0f};
  multiclass.class_stumps = {single.stumps, single.stumps};
  EXPECT_FALSE(artifact_has_linear_leaves(single.to_artifact_bytes()));
  EXPECT_FALSE(artifact_has_linear_leaves(multiclass.to_artifact_bytes()));
  single.stumps[0].right = core::LinearLeaf{{2.0f}, {3}, -0.5f};
  multiclass.class_stumps[1][0].left = core::LinearLeaf{{2.0f}, {3}, 0.5f};
  const Bytes linear = single.to_artifact_bytes();
  EXPECT_TRUE(artifact_has_linear_leaves(linear));
  EXPECT_TRUE(artifact_has_linear_leaves(multiclass.to_artifact_bytes()));
  EXPECT_FALSE(artifact_has_linear_leaves(Bytes(linear.begin(), linear.end() - 1)));
  EXPECT_FALSE(artifact_has_linear_leaves(Bytes{'K', 'S', 'T', 'R'}));
}

}  // namespace
}  // namespace kestrune::engine::trainer
