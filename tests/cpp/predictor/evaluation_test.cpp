#include "predictor/evaluation.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "predictor_test_support.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using core::ModelSectionKind;
using predictor::OutputTransform;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One tree of one node on feature 0: left adds 1, right adds 2.
predictor::Predictor single_node(bool categorical, bool default_left, std::optional<std::vector<std::uint8_t>> bitset,
                                 std::uint16_t bin = 4) {
  engine::TrainedModel model;
  model.feature_count = 2;
  engine::TrainedStump stump = stump_at(0, 0, 0, bin, 1.0f, 2.0f);
  stump.categorical = categorical;
  stump.default_left = default_left;
  if (bitset) stump.category_bitset = std::move(*bitset);
  model.stumps = {stump};
  return load(model.to_artifact_bytes());
}

float score(const predictor::Predictor& p, float value) {
  return p.predict_batch(std::vector<std::vector<float>>{{value, 0.0f}})[0];
}

TEST(PredictorEvaluation, NodeTests) {
  const auto numeric_left = single_node(false, true, std::nullopt);
  const auto numeric_right = single_node(false, false, std::nullopt);
  // Category 2 is the only left category (bit 2 of byte 0); the bitset has one byte.
  const auto categorical = single_node(true, false, std::vector<std::uint8_t>{0x04});
  const auto categorical_high = single_node(true, false, std::vector<std::uint8_t>(8192, 0x80));  // 7, 15, ..., 65535
  const auto categorical_unset = single_node(true, true, std::nullopt);
  struct Case {
    const char* name;
    const predictor::Predictor* model;
    float value;
    float expected;
  };
  const std::vector<Case> cases = {
      {"equal to the bin goes left", &numeric_right, 4.0f, 1.0f},
      {"just above the bin goes right", &numeric_right, 4.0001f, 2.0f},
      {"-inf goes left", &numeric_right, -kInf, 1.0f},
      {"NaN follows default left", &numeric_left, kNaN, 1.0f},
      {"NaN follows default right", &numeric_right, kNaN, 2.0f},
      {"category in the bitset", &categorical, 2.9f, 1.0f},
      {"category not in the bitset", &categorical, 3.0f, 2.0f},
      {"negative value is category 0", &categorical, -3.7f, 2.0f},
      {"byte past the bitset goes right", &categorical, 10.0f, 2.0f},
      {"NaN at a categorical node", &categorical, kNaN, 2.0f},
      {"huge value is category 65535", &categorical_high, 1e10f, 1.0f},
      {"+inf is category 65535", &categorical_high, kInf, 1.0f},
      {"category 65534 is not set", &categorical_high, 65534.0f, 2.0f},
      {"no bitset: default side", &categorical_unset, 2.0f, 1.0f},
  };
  for (const Case& c : cases) EXPECT_EQ(score(*c.model, c.value), c.expected) << c.name;
}

TEST(PredictorEvaluation, LinearLeafSkipsMissingAndOutOfRowTerms) {
  core::LinearLeafEntry entry;
  entry.stump_index = 0;
  // Terms on features 0, 1 and 7 (beyond the row), and a coefficient without a feature index.
  entry.left = core::LinearLeaf{{2.0f, 3.0f, 5.0f}, {0, 1, 7}, 0.5f};
  const auto p = load(trees_artifact(
      2, {stump_at(0, 0, 0, 100, 9.0f, 9.0f)}, 0.0f,
      {{ModelSectionKind::LinearLeafCoefficients, core::encode_linear_leaf_coefficients_payload(std::vector{entry})}}));
  const std::vector<std::vector<float>> rows = {{1.0f, 10.0f}, {1.0f, kNaN}};
  EXPECT_EQ(p.predict_batch(rows), (std::vector<float>{32.5f, 2.5f}));

  predictor::LinearLeafCompact leaf{1.0f, {0, 1}, {2.0f}};  // lists of different lengths: the shorter counts
  EXPECT_EQ(predictor::linear_leaf_value(leaf, std::vector<float>{3.0f, 100.0f}), 7.0f);
}

TEST(PredictorEvaluation, OutputTransforms) {
  struct Case {
    std::string objective;
    float x;
    float expected;
  };
  // Extremes must neither overflow nor give NaN; objective names compare exactly.
  const std::vector<Case> cases = {
      {"binary_crossentropy", 0.0f, 0.5f},      {"binary_crossentropy", -200.0f, 0.0f},
      {"binary_crossentropy", 200.0f, 1.0f},    {"gamma", 80.0f, std::exp(50.0f)},
      {"tweedie", -80.0f, std::exp(-50.0f)},    {"Poisson", 1.0f, 1.0f},
      {"quantile", 7.0f, 7.0f},
  };
  for (const Case& c : cases) {
    const float actual = predictor::apply_output_transform(predictor::output_transform_for(c.objective), c.x);
    EXPECT_TRUE(same_bits(actual, c.expected)) << c.objective << " " << c.x << ": " << actual;
  }
  for (const std::string objective : {"binary_crossentropy", "poisson", "squared_error"}) {
    EXPECT_TRUE(std::isnan(predictor::apply_output_transform(predictor::output_transform_for(objective), kNaN)));
  }
}

TEST(PredictorEvaluation, Softmax) {
  std::vector<float> equal = {3.0f, 3.0f, 3.0f, 3.0f};
  predictor::softmax_in_place(equal);
  EXPECT_EQ(equal, std::vector<float>(4, 0.25f));
  std::vector<float> with_nan = {1.0f, kNaN, 2.0f};
  predictor::softmax_in_place(with_nan);
  EXPECT_TRUE(std::isnan(with_nan[0]) && std::isnan(with_nan[1]) && std::isnan(with_nan[2]));
  std::vector<float> all_minus_inf = {-kInf, -kInf};
  predictor::softmax_in_place(all_minus_inf);  // max -inf: exp(NaN) everywhere, divided by NaN
  EXPECT_TRUE(std::isnan(all_minus_inf[0]));
  std::vector<float> none;
  predictor::softmax_in_place(none);
}

TEST(PredictorEvaluation, OutOfRangeFeatureFailsOnlyWhenReached) {
  // Root on feature 0; its right child splits on feature 5 of a 2-feature model.
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 3, 1.0f, 2.0f), stump_at(0, 2, 5, 3, 4.0f, 8.0f)};
  const auto p = load(trees_artifact(2, stumps));
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>{{1.0f, 0.0f}}), (std::vector<float>{1.0f}));
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch(std::vector<std::vector<float>>{{1.0f, 0.0f}, {9.0f, 0.0f}}); },
                                   "split feature_index 5 exceeds feature length 2"));
  EXPECT_EQ(p.predict_row_with_feature_count(std::vector<float>{9.0f, 0, 0, 0, 0, 1.0f}, 6), 6.0f);
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_row_dense_unchecked(std::vector<float>{9.0f, 0.0f}, 2); },
                                   "split feature_index 5 exceeds feature length 2"));
}

// Bin thresholds are compared with the independent stump walk in the batch tests; after a
// conversion to raw-value thresholds the blocked batch walk must still equal the row walk.
TEST(PredictorEvaluation, RawThresholdBatchEqualsTheRowWalk) {
  std::mt19937_64 rng(11);
  ModelShape shape;
  shape.trees = 30;
  shape.max_splits = 40;
  shape.dart = true;
  engine::TrainedModel model;
  model.feature_count = shape.feature_count;
  model.stumps = random_stumps(rng, shape);
  predictor::Predictor raw = load(model.to_artifact_bytes());
  raw.convert_bin_thresholds_to_float(std::vector<float>(shape.feature_count, -3.0f),
                                      std::vector<float>(shape.feature_count, 5.0f), 40);
  std::uniform_real_distribution<float> value(-4.0f, 6.0f);
  std::vector<std::vector<float>> raw_rows(300, std::vector<float>(shape.feature_count));
  for (auto& row : raw_rows) {
    for (float& v : row) v = rng() % 13 == 0 ? kNaN : value(rng);
  }
  const std::vector<float> scores = raw.predict_batch(raw_rows);
  for (std::size_t i = 0; i < raw_rows.size(); ++i) {
    EXPECT_TRUE(same_bits(scores[i], predictor::walk_forest<true>(raw.trees, raw_rows[i], shape.feature_count, 0.0f)));
  }
}

}  // namespace
}  // namespace kestrune
