// Native categorical features through whole fits: category ids in the bin codes, a target that
// depends on them in no monotone way. Set splits must beat the same column split by thresholds on
// held-out rows, and the artifacts, reloaded by the predictor, must route every training row as
// the fit's own tracked predictions did.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <span>
#include <vector>

#include "multiclass_test_support.hpp"
#include "predictor/evaluation.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using multiclass_testing::kClasses;
using multiclass_testing::run_multiclass;

constexpr std::size_t kCategories = 12;
constexpr std::size_t kFeatures = 3;
// The category effects, in no order a threshold could follow.
constexpr float kEffect[kCategories] = {2.0f, -1.5f, 0.5f, -2.0f, 1.5f, -0.5f, 2.5f, -2.5f, 1.0f, 0.0f, -1.0f, 3.0f};

// Feature 1 holds the category id (one row in twenty missing); features 0 and 2 are uniform
// noise in 16 bins. The regression target is the category's effect plus noise; the class label is
// the effect's rank in thirds.
Data categorical_data(std::uint64_t seed, std::size_t rows, bool classes) {
  Data data = make_data(seed, rows, kFeatures, Target::Regression);
  std::mt19937_64 rng(seed * 31 + 7);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<std::uint8_t> bins(rows * kFeatures);
  std::vector<float>& values = data.dataset.matrix.values;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t f = 0; f < kFeatures; ++f) bins[r * kFeatures + f] = data.binned.bins.at(r * kFeatures + f);
    const bool missing = rng() % 20 == 0;
    const std::size_t category = rng() % kCategories;
    bins[r * kFeatures + 1] = missing ? 255 : static_cast<std::uint8_t>(category);
    values[r * kFeatures + 1] = missing ? kNaN : static_cast<float>(category);
    const float effect = missing ? 0.0f : kEffect[category];
    data.dataset.targets[r] = classes ? static_cast<float>(effect < -0.75f ? 0 : effect < 1.25f ? 1 : 2)
                                      : effect + noise(rng);
  }
  data.binned = core::BinnedMatrix::make(rows, kFeatures, 255, std::move(bins));
  return data;
}

core::TrainParams categorical_params() {
  core::TrainParams params = small_params();
  params.max_depth = 2;
  params.max_leaves = 4;
  return params;
}

// The training predictions (or one class's margins) each grower call left behind.
struct CapturingHooks : GrowerHooks {
  mutable std::vector<std::vector<float>> after_call;

  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    const std::span<float> predictions = request.predictions;
    tree_build::GrownTree tree = GrowerHooks::build_tree(backend, std::move(request));
    after_call.emplace_back(predictions.begin(), predictions.end());
    return tree;
  }
};

// A binned row as the predictor reads it: bin codes, the missing bin as NaN.
std::vector<float> predictor_row(const Data& data, std::size_t row) {
  std::vector<float> values(kFeatures);
  for (std::size_t f = 0; f < kFeatures; ++f) {
    const std::uint8_t code = data.binned.bins.at(row * kFeatures + f);
    values[f] = code == 255 ? kNaN : static_cast<float>(code);
  }
  return values;
}

double mean_squared_error(std::span<const float> predictions, std::span<const float> targets) {
  double sum = 0.0;
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const double d = static_cast<double>(predictions[i]) - static_cast<double>(targets[i]);
    sum += d * d;
  }
  return sum / static_cast<double>(predictions.size());
}

std::size_t categorical_stumps(std::span<const TrainedStump> stumps) {
  std::size_t count = 0;
  for (const TrainedStump& stump : stumps) count += stump.categorical && stump.category_bitset.has_value();
  return count;
}

TEST(FitCategorical, SetSplitsBeatThresholdsAndTheArtifactRoutesAsTracked) {
  const Data train = categorical_data(5, 600, false);
  const Data held_out = categorical_data(6, 400, false);
  for (const core::TreeGrowth growth : {core::TreeGrowth::Level, core::TreeGrowth::Leaf}) {
    SCOPED_TRACE(growth == core::TreeGrowth::Level ? "level-wise" : "leaf-wise");
    core::TrainParams params = categorical_params();
    params.tree_growth = growth;
    const Trainer numeric = make_trainer(params);
    const Trainer native = make_trainer(params).with_categorical_features({{1, kCategories}});
    const IterationControls controls = native.default_iteration_controls(8);
    CapturingHooks hooks;
    const IterationRunSummary native_fit =
        run_fit(native, train, objectives::SquaredErrorObjective{}, controls, {}, hooks);
    const IterationRunSummary numeric_fit = run_fit(numeric, train, objectives::SquaredErrorObjective{}, controls);
    ASSERT_EQ(native_fit.rounds_completed, 8u);
    EXPECT_GT(categorical_stumps(native_fit.model.stumps), 4u);
    EXPECT_EQ(categorical_stumps(numeric_fit.model.stumps), 0u);

    const double native_error = mean_squared_error(fresh_predictions(native_fit.model, held_out), held_out.dataset.targets);
    const double numeric_error =
        mean_squared_error(fresh_predictions(numeric_fit.model, held_out), held_out.dataset.targets);
    EXPECT_LT(native_error, 0.5 * numeric_error) << native_error << " vs " << numeric_error;

    const predictor::Predictor loaded = predictor::Predictor::from_artifact_bytes(native_fit.model.to_artifact_bytes());
    const std::vector<float>& tracked = hooks.after_call.back();
    for (std::size_t r = 0; r < train.binned.row_count; ++r) {
      const float predicted = loaded.predict_row_with_feature_count(predictor_row(train, r), kFeatures);
      ASSERT_EQ(bits_of(std::span(&predicted, 1)), bits_of(std::span(&tracked[r], 1))) << "row " << r;
    }
  }
}

TEST(FitCategorical, MulticlassArtifactRoutesAsTracked) {
  const Data train = categorical_data(8, 450, true);
  core::TrainParams params = categorical_params();
  const Trainer trainer = make_trainer(params).with_categorical_features({{1, kCategories}});
  CapturingHooks hooks;
  MultiClassIterationRunSummary run =
      run_multiclass(trainer, train, trainer.default_iteration_controls(5), nullptr, std::nullopt, hooks);
  ASSERT_EQ(run.rounds_completed, 5u);
  for (const auto& stumps : run.class_stumps) EXPECT_GT(categorical_stumps(stumps), 0u);

  const predictor::Predictor loaded =
      predictor::Predictor::from_artifact_bytes(multiclass_trained_model(run).to_artifact_bytes());
  ASSERT_TRUE(loaded.class_trees.has_value());
  ASSERT_GE(hooks.after_call.size(), kClasses);
  for (std::size_t k = 0; k < kClasses; ++k) {
    const std::vector<float>& tracked = hooks.after_call[hooks.after_call.size() - kClasses + k];
    for (std::size_t r = 0; r < train.binned.row_count; ++r) {
      const float margin = predictor::walk_forest<false>((*loaded.class_trees)[k], predictor_row(train, r), kFeatures,
                                                         (*loaded.class_baselines)[k]);
      ASSERT_EQ(bits_of(std::span(&margin, 1)), bits_of(std::span(&tracked[r], 1))) << "class " << k << " row " << r;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::trainer
