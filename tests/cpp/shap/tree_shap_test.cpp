// TreeSHAP against the exact explainer on models small enough for both (same value function, so
// the same values up to float32 rounding), and through the dispatcher on a model too wide for the
// exact one, where each row must add up to an independently walked prediction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <variant>

#include "shap/exact.hpp"
#include "shap/explain.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/tree_shap.hpp"
#include "test_models.hpp"

namespace kestrune::shap {
namespace {

using namespace test_models;

TEST(ShapTreeShap, EqualsTheExactExplainer) {
  std::mt19937 rng(17);
  const QuantileBinning quantile{std::vector<std::vector<float>>(kFeatures, {0.5f, 2.5f, 4.5f, 6.5f, 8.5f})};
  const BinningContext quantile_context = quantile;
  struct Model {
    const char* name;
    TrainedModel model;
    const BinningContext* binning;
  };
  std::vector<Model> models;
  models.push_back({"shallow", single_model(random_trees(rng, 4, 3, kFeatures)), nullptr});
  // Deep trees over six features meet the same feature again on most paths.
  models.push_back({"deep_repeats", single_model(random_trees(rng, 3, 7, kFeatures)), nullptr});
  models.push_back({"quantile", single_model(random_trees(rng, 3, 4, kFeatures)), &quantile_context});
  TrainedModel linear = single_model(random_trees(rng, 3, 4, kFeatures));
  for (std::size_t i = 0; i < linear.stumps.size(); i += 2) linear.stumps[i].left = linear_leaf(rng, 0.5f);
  for (TrainedStump& s : linear.stumps) s.tree_weight = 0.75f;
  linear.feature_baseline = std::vector<float>{1.0f, 2.0f, 0.5f, 3.0f, 4.0f, 1.5f};
  models.push_back({"linear_dart", scale_model_by_tree_weight(linear), &quantile_context});
  for (const Model& m : models) {
    SCOPED_TRACE(m.name);
    const Rows rows = random_rows(rng, 20, kFeatures);
    const ShapExplanationBatch exact = explain_rows_brute_force(m.model, rows, m.binning);
    const ShapExplanationBatch tree = explain_rows_tree_shap(m.model, rows, m.binning);
    const auto near = [](float a, float b) { return std::fabs(a - b) <= 1e-5f * (1.0f + std::fabs(b)); };
    EXPECT_PRED2(near, tree.expected_value, exact.expected_value);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t f = 0; f < kFeatures; ++f) {
        EXPECT_PRED2(near, tree.values[r][f], exact.values[r][f]) << "row " << r << " feature " << f;
      }
    }
  }
}

TEST(ShapTreeShap, WideModelsAddUpThroughTheDispatcher) {
  constexpr std::uint32_t kWide = 30;
  std::mt19937 rng(23);
  TrainedModel model = single_model(random_trees(rng, 12, 5, kWide));
  model.feature_count = kWide;
  for (std::uint32_t f = 0; f < kWide; ++f) model.stumps[f].feature_index = f;  // every feature splits
  const Rows rows = random_rows(rng, 40, kWide);
  const ShapExplanationBatch batch = explain_rows_from_model(model, rows, nullptr);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    double prediction = model.base_prediction;
    for (const TrainedStump& root : model.stumps) {
      if ((root.node_id & 0xFFFFF) != 0) continue;
      for (std::uint32_t id = 0;;) {
        const auto it = std::find_if(model.stumps.begin(), model.stumps.end(), [&](const TrainedStump& s) {
          return s.node_id == ((root.node_id & ~0xFFFFFu) | id);
        });
        if (it == model.stumps.end()) break;
        const bool left = rows[r][it->feature_index] <= it->split_bin;
        prediction += std::get<float>(left ? it->left : it->right);
        id = 2 * id + (left ? 1 : 2);
      }
    }
    double sum = batch.expected_value;
    for (const float v : batch.values[r]) sum += v;
    EXPECT_NEAR(sum, prediction, 1e-4 * (1 + std::fabs(prediction))) << "row " << r;
  }
}

}  // namespace
}  // namespace kestrune::shap
