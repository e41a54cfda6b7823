#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/joint/predictor.hpp"
#include "engine/trained_model.hpp"
#include "joint_test_support.hpp"
#include "predictor/error.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::engine::joint {
namespace {

using testing_support::throws_joint_error;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TrainedStump joint_stump(std::uint32_t node_id, std::uint32_t feature, std::uint16_t split_bin, bool default_left,
                         std::vector<float> left, std::vector<float> right) {
  TrainedStump stump;
  stump.node_id = node_id;
  stump.feature_index = feature;
  stump.split_bin = split_bin;
  stump.default_left = default_left;
  stump.left = left[0];
  stump.right = right[0];
  stump.multi_output = MultiOutputValues{std::move(left), std::move(right)};
  return stump;
}

// Tree 0: root numeric on feature 0 at bin 2 (missing right); its left child (local id 1) splits
// feature 1 by categories {5} (missing left). Tree 1, weight 0.5: a numeric root on feature 2.
TrainedModel two_tree_model() {
  TrainedModel model;
  model.feature_count = 3;
  model.objective = "joint_multi_output[2]";
  model.stumps.push_back(joint_stump(0, 0, 2, false, {1.0f, 10.0f}, {2.0f, 20.0f}));
  TrainedStump categorical = joint_stump(1, 1, 0, true, {3.0f, 30.0f}, {4.0f, 40.0f});
  categorical.categorical = true;
  categorical.category_bitset = std::vector<std::uint8_t>{0x20};
  model.stumps.push_back(categorical);
  TrainedStump weighted = joint_stump(1u << 20, 2, 0, false, {100.0f, 1000.0f}, {-100.0f, -1000.0f});
  weighted.tree_weight = 0.5f;
  model.stumps.push_back(weighted);
  return model;
}

TEST(JointPredictor, RoutesRowsByTheBinRules) {
  const auto bytes = two_tree_model().to_artifact_bytes();
  const JointPredictor predictor = JointPredictor::from_artifact_bytes(bytes, {0.5f, -0.5f});
  ASSERT_EQ(predictor.n_outputs(), 2u);
  ASSERT_EQ(predictor.trees().size(), 2u);

  const std::vector<float> cat_left = {3.0f, 30.0f}, cat_right = {4.0f, 40.0f}, root_right = {2.0f, 20.0f};
  const std::vector<float> second_left = {100.0f, 1000.0f}, second_right = {-100.0f, -1000.0f};
  struct Case {
    const char* what;
    std::vector<float> row;
    const std::vector<float>& first_tree;
    const std::vector<float>& second_tree;
  };
  const std::vector<Case> cases = {
      {"2.7 truncates to the split bin 2 and goes left; 5.9 takes bit 5", {2.7f, 5.9f, 0.0f}, cat_left, second_left},
      {"-0.5 truncates to 0; category 4 is not in the set", {-0.5f, 4.0f, 1.0f}, cat_right, second_right},
      {"category 64 follows the missing side", {0.0f, 64.0f, 0.0f}, cat_left, second_left},
      {"category -1 follows the missing side", {0.0f, -1.0f, 0.0f}, cat_left, second_left},
      {"category 1e30 saturates and follows the missing side", {0.0f, 1e30f, 0.0f}, cat_left, second_left},
      {"a NaN category is missing", {0.0f, kNaN, 0.0f}, cat_left, second_left},
      {"bin 3 is above the split", {3.0f, 5.0f, 0.0f}, root_right, second_left},
      {"a numeric 1e30 saturates and goes right", {1e30f, 5.0f, 1e30f}, root_right, second_right},
      {"a NaN numeric value is missing", {kNaN, 5.0f, kNaN}, root_right, second_right},
      {"features beyond a short row are missing", {1.0f}, cat_left, second_right},
  };
  for (const Case& c : cases) {
    const std::vector<float> scores = predictor.predict_row(c.row);
    ASSERT_EQ(scores.size(), 2u);
    EXPECT_EQ(scores[0], 0.5f + c.first_tree[0] + 0.5f * c.second_tree[0]) << c.what;
    EXPECT_EQ(scores[1], -0.5f + c.first_tree[1] + 0.5f * c.second_tree[1]) << c.what;
  }

  // Batches: whole rows only, row-major scores, each row as predict_row scores it.
  const std::vector<float> values = {2.7f, 5.9f, 0.0f, 3.0f, 5.0f, 1.0f, 9.0f, 9.0f};
  const std::vector<float> batch = predictor.predict_batch(values, 3);
  ASSERT_EQ(batch.size(), 4u);
  EXPECT_EQ(std::vector<float>(batch.begin(), batch.begin() + 2), predictor.predict_row({values.data(), 3}));
  EXPECT_EQ(std::vector<float>(batch.begin() + 2, batch.end()), predictor.predict_row({values.data() + 3, 3}));
  EXPECT_EQ(predictor.predict_batch(std::vector<float>(10, 0.0f), 4).size(), 4u);
  EXPECT_TRUE(throws_joint_error([&] { predictor.predict_batch(values, 0); }, "feature_count must be > 0"));
}

TEST(JointPredictor, LoadingFailuresAndTheRegularPredictorsRefusal) {
  const auto bytes = two_tree_model().to_artifact_bytes();
  EXPECT_TRUE(throws_joint_error([&] { JointPredictor::from_artifact_bytes(bytes, {1.0f, 2.0f, 3.0f}); },
                                 "baselines length 3 != n_outputs 2"));
  TrainedModel plain = two_tree_model();
  for (TrainedStump& stump : plain.stumps) stump.multi_output.reset();
  EXPECT_TRUE(throws_joint_error([&] { JointPredictor::from_artifact_bytes(plain.to_artifact_bytes(), {}); },
                                 "artifact does not carry MultiOutputLeafValues"));
  EXPECT_TRUE(throws_joint_error(
      [&] { JointPredictor::from_artifact_bytes(std::vector<std::uint8_t>{1, 2, 3}, {}); },
      "Core(Serialization(\"artifact too small to contain model header\"))"));
  // The single-output predictor does not score joint artifacts.
  EXPECT_THROW(predictor::Predictor::from_artifact_bytes(bytes), predictor::PredictorError);
}

}  // namespace
}  // namespace kestrune::engine::joint
