#include <gtest/gtest.h>

#include <limits>

#include "predictor_test_support.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::Predictor;

constexpr float kEpsilon = std::numeric_limits<float>::epsilon();
constexpr float kFloatMax = std::numeric_limits<float>::max();

// Two features; tree 0 splits feature 0 at bin 10 then feature 1 at bin 3 on the left.
Predictor two_feature_model(std::uint32_t extra_feature = 1) {
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 10, 1.0f, 2.0f),
                                                    stump_at(0, 1, extra_feature, 3, 4.0f, 8.0f)};
  return load(trees_artifact(2, stumps));
}

float threshold_of(const Predictor& p, std::uint32_t local_id) {
  return predictor::find_node(p.trees, p.trees.trees.at(0), local_id)->threshold;
}

TEST(PredictorThresholds, MinMaxConversion) {
  Predictor p = two_feature_model();
  p.convert_bin_thresholds_to_float(std::vector<float>{0.0f, 5.0f}, std::vector<float>{254.0f, 5.0f}, 254);
  EXPECT_EQ(threshold_of(p, 0), 10.5f);
  EXPECT_EQ(threshold_of(p, 1), 5.0f + kEpsilon);  // constant feature
  // Strict comparison afterwards: 10.5 goes right, 10.49 left.
  const std::vector<std::vector<float>> rows = {{10.5f, 0.0f}, {10.49f, 4.0f}, {10.49f, 6.0f}};
  EXPECT_EQ(p.predict_batch(rows), (std::vector<float>{2.0f, 5.0f, 9.0f}));

  Predictor q = two_feature_model();
  q.convert_bin_thresholds_to_float(std::vector<float>{-1.0f, 3.0f}, std::vector<float>{1.0f, 2.0f}, 4);
  EXPECT_EQ(threshold_of(q, 0), -1.0f + 2.0f * ((10.0f + 0.5f) / 4.0f));
  EXPECT_EQ(threshold_of(q, 1), 3.0f + kEpsilon);  // max below min counts as constant
}

TEST(PredictorThresholds, QuantileConversion) {
  Predictor p = two_feature_model();
  std::vector<std::vector<float>> cuts = {std::vector<float>(11, 0.0f), {}};
  cuts[0][10] = 0.75f;
  p.convert_bin_thresholds_to_float_quantile(cuts);
  EXPECT_EQ(threshold_of(p, 0), 0.75f);
  EXPECT_EQ(threshold_of(p, 1), kFloatMax);  // empty cut list
  Predictor q = two_feature_model();
  q.convert_bin_thresholds_to_float_quantile(std::vector<std::vector<float>>{std::vector<float>(10, 1.0f), {1, 2, 3, 4}});
  EXPECT_EQ(threshold_of(q, 0), kFloatMax);  // bin 10 is past a 10-cut list
  EXPECT_EQ(threshold_of(q, 1), 4.0f);
  EXPECT_EQ(q.predict_batch(std::vector<std::vector<float>>{{3e38f, 3.9f}}), (std::vector<float>{5.0f}));
}

TEST(PredictorThresholds, PrebinnedConversionKeepsBinPredictions) {
  std::mt19937_64 rng(3);
  ModelShape shape;
  shape.trees = 25;
  shape.max_splits = 20;
  engine::MultiClassTrainedModel multi;
  multi.num_classes = 2;
  multi.feature_count = shape.feature_count;
  multi.class_baselines = {0.0f, 0.5f};
  multi.class_stumps = {random_stumps(rng, shape), random_stumps(rng, shape)};
  engine::TrainedModel single;
  single.feature_count = shape.feature_count;
  single.stumps = random_stumps(rng, shape);
  const auto rows = random_bin_rows(rng, 300, shape.feature_count, shape.max_bin);

  Predictor s = load(single.to_artifact_bytes());
  const std::vector<float> before = s.predict_batch(rows);
  s.convert_bin_thresholds_to_float_prebinned();
  EXPECT_TRUE(same_floats(s.predict_batch(rows), before));

  Predictor m = load(multi.to_artifact_bytes());
  const std::vector<float> multi_before = m.predict_batch_multiclass(rows);
  m.convert_bin_thresholds_to_float_prebinned();
  EXPECT_TRUE(same_floats(m.predict_batch_multiclass(rows), multi_before));

  // A second conversion works on the converted thresholds: 10 + 0.5 + 0.5.
  Predictor twice = two_feature_model();
  twice.convert_bin_thresholds_to_float_prebinned();
  twice.convert_bin_thresholds_to_float_prebinned();
  EXPECT_EQ(threshold_of(twice, 0), 11.0f);
}

TEST(PredictorThresholds, FailedChecksChangeNothing) {
  Predictor p = two_feature_model();
  const std::vector<float> two = {0.0f, 0.0f};
  const std::vector<float> one = {0.0f};
  EXPECT_TRUE(throws_invalid_input([&] { p.convert_bin_thresholds_to_float(two, one, 254); },
                                   "feature_mins/maxs length (2/1) must match feature_count 2"));
  EXPECT_TRUE(throws_invalid_input([&] { p.convert_bin_thresholds_to_float(one, two, 254); },
                                   "feature_mins/maxs length (1/2) must match feature_count 2"));
  EXPECT_TRUE(throws_invalid_input([&] { p.convert_bin_thresholds_to_float(two, two, 0); },
                                   "max_data_bin must be greater than 0"));
  EXPECT_TRUE(throws_invalid_input(
      [&] { p.convert_bin_thresholds_to_float_quantile(std::vector<std::vector<float>>(3)); },
      "feature_cuts length 3 must match feature_count 2"));
  EXPECT_FALSE(p.thresholds_are_float);
  EXPECT_EQ(threshold_of(p, 0), 10.0f);
  EXPECT_EQ(threshold_of(p, 1), 3.0f);
}

TEST(PredictorThresholds, NodesBeyondTheFeaturesReadNoList) {
  Predictor p = two_feature_model(7);
  p.convert_bin_thresholds_to_float(std::vector<float>{0.0f, 0.0f}, std::vector<float>{254.0f, 254.0f}, 254);
  EXPECT_EQ(threshold_of(p, 1), 3.0f);
  Predictor q = two_feature_model(7);
  q.convert_bin_thresholds_to_float_quantile(std::vector<std::vector<float>>(2));
  EXPECT_EQ(threshold_of(q, 1), 3.0f);
  EXPECT_TRUE(throws_invalid_model([&] { q.predict_batch(std::vector<std::vector<float>>{{0.0f, 0.0f}}); },
                                   "split feature_index 7 exceeds feature length 2"));
}

}  // namespace
}  // namespace kestrune
