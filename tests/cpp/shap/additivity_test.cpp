// The additivity check on trained models whose path values are large beside their predictions
// (signed targets of scale 1e3 to 1e5): every correct explanation passes, while moving one value
// by 1e-4 of the row's largest value is still refused where those values cancel. On a long model
// of ordinary scale the tolerance must not grow with the square of its many path terms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "../engine/fit/fit_test_support.hpp"
#include "engine/objectives/squared.hpp"
#include "shap/additivity.hpp"
#include "shap/error.hpp"
#include "shap/explain.hpp"

namespace kestrune::shap {
namespace {

using namespace engine::trainer::fit_testing;

// Signed targets of the given scale over features uniform in [-1, 1], binned linearly into
// 0..254; the features past the fourth are noise.
Data large_valued_data(std::size_t rows, std::size_t features, float scale) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> values(rows * features);
  std::vector<std::uint8_t> bins(values.size());
  std::vector<float> targets(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* x = &values[r * features];
    for (std::size_t f = 0; f < features; ++f) {
      values[r * features + f] = unit(rng);
      bins[r * features + f] = static_cast<std::uint8_t>(std::lround((values[r * features + f] + 1.0f) * 127.0f));
    }
    targets[r] = scale * (x[0] - x[1] + 0.3f * x[2] * x[3] + noise(rng));
  }
  Data data;
  data.dataset.matrix = core::DatasetMatrix::make(rows, features, std::move(values));
  data.dataset.targets = std::move(targets);
  data.binned = core::BinnedMatrix::make(rows, features, 254, std::move(bins));
  return data;
}

// A squared-error model of the data, and the training rows as bin numbers.
std::pair<engine::TrainedModel, std::vector<std::vector<float>>> fit_squared_error(const Data& train,
                                                                                   float learning_rate, std::uint16_t depth,
                                                                                   std::size_t rounds) {
  core::TrainParams params;
  params.learning_rate = learning_rate;
  params.max_depth = depth;
  const engine::trainer::Trainer trainer = make_trainer(params);
  engine::TrainedModel model =
      run_fit(trainer, train, engine::objectives::SquaredErrorObjective{}, trainer.default_iteration_controls(rounds))
          .model;
  const std::size_t features = train.binned.feature_count;
  std::vector<std::vector<float>> rows(train.binned.row_count, std::vector<float>(features));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t f = 0; f < features; ++f) rows[r][f] = train.binned.bins.at(r * features + f);
  }
  return {std::move(model), std::move(rows)};
}

TEST(ShapAdditivity, LargeValuedModelsAddUpAndAMovedValueIsRefused) {
  for (const float scale : {1e3f, 1e4f, 1e5f}) {
    for (const std::size_t features : {std::size_t{6}, std::size_t{30}}) {  // exact, then TreeSHAP
      SCOPED_TRACE(testing::Message() << "scale " << scale << ", " << features << " features");
      const auto [model, rows] = fit_squared_error(large_valued_data(5000, features, scale), 0.1f, 4, 100);
      ShapExplanationBatch batch;
      ASSERT_NO_THROW(batch = explain_rows_from_model(model, rows, nullptr));

      const StumpIndex index = index_stumps(model);
      std::size_t checked = 0;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<float> values = batch.values[r];
        double total = batch.expected_value;
        std::size_t largest = 0;
        for (std::size_t f = 0; f < values.size(); ++f) {
          total += values[f];
          if (std::fabs(values[f]) > std::fabs(values[largest])) largest = f;
        }
        const float top = std::fabs(values[largest]);
        // Values of the target's scale that cancel to a prediction well below them.
        if (top < 0.5f * scale || std::fabs(total) > 0.1 * top) continue;
        values[largest] += 1e-4f * top;
        EXPECT_THROW(verify_additivity(model, index, rows[r], values, r, nullptr, batch.expected_value, false),
                     ShapError)
            << "row " << r;
        ++checked;
      }
      EXPECT_GE(checked, 20u);
    }
  }
}

TEST(ShapAdditivity, LongModelsRefuseAValueMovedByOnePercent) {
  const auto [model, rows] = fit_squared_error(large_valued_data(300, 6, 1.0f), 0.01f, 6, 4096);
  ShapExplanationBatch batch;
  ASSERT_NO_THROW(batch = explain_rows_from_model(model, rows, nullptr));
  const StumpIndex index = index_stumps(model);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::vector<float> values = batch.values[r];
    double predicted = batch.expected_value;
    double scale = std::fabs(batch.expected_value);
    std::size_t largest = 0;
    for (std::size_t f = 0; f < values.size(); ++f) {
      predicted += values[f];
      scale = std::max<double>(scale, std::fabs(values[f]));
      if (std::fabs(values[f]) > std::fabs(values[largest])) largest = f;
    }
    values[largest] += static_cast<float>(0.01 * std::max(scale, std::fabs(predicted)));
    EXPECT_THROW(verify_additivity(model, index, rows[r], values, r, nullptr, batch.expected_value, false), ShapError)
        << "row " << r;
  }
}

// One tree whose path terms cancel at a far larger scale than their sum, so that a float32 sum of
// the path loses it: that rounding is the explainers' or the predictor's own and must pass.
// - constant sides 1e8, 3, -1e8: a float32 sum from the leaf up gets 0, the prediction is 3; the
//   exact explainer sums each leaf's path in float64 and gets 3 too;
// - sides -1e8 and a linear 1e8 + 3 x (x = 1, no baseline): the float32 evaluation of the linear
//   side gives 1e8, so the prediction is 0, while the explainer adds the term 3 x apart.
TEST(ShapAdditivity, PathSumsThatRoundAtTheScaleOfTheirTermsPass) {
  core::LinearLeaf linear;
  linear.intercept = 1e8f;
  linear.feature_indices = {0};
  linear.coefficients = {3.0f};
  const BinningContext prebinned = PreBinned{};
  struct Case {
    const char* name;
    std::vector<std::tuple<std::uint32_t, core::LeafValue, core::LeafValue>> nodes;  // local id, left, right
    const BinningContext* binning;
    float reconstructed;  // E plus the values
  };
  const std::vector<Case> cases{
      {"constant", {{0u, 1e8f, 0.0f}, {1u, 3.0f, 3.0f}, {3u, -1e8f, -1e8f}}, nullptr, 3.0f},
      {"linear", {{0u, -1e8f, 0.0f}, {1u, linear, 1e8f}}, &prebinned, 3.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine::TrainedModel model;
    model.feature_count = 1;
    for (const auto& [local, left, right] : c.nodes) {
      engine::TrainedStump stump;
      stump.node_id = local;
      stump.split_bin = 5;
      stump.left = left;
      stump.right = right;
      stump.left_stats.count = 1;
      stump.right_stats.count = 1000;
      model.stumps.push_back(stump);
    }
    const std::vector<std::vector<float>> rows{{1.0f}};
    ShapExplanationBatch batch;
    ASSERT_NO_THROW(batch = explain_rows_from_model(model, rows, c.binning));
    EXPECT_LT(std::fabs(batch.expected_value + batch.values[0][0] - c.reconstructed), 1.0f);
  }
}

}  // namespace
}  // namespace kestrune::shap
