#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <random>

#include "predictor/evaluation.hpp"
#include "predictor_test_support.hpp"
#include "quantization/bin_rules.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::Predictor;

constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Two features; tree 0 splits feature 0 at bin 10 then feature 1 at bin 3 on the left.
Predictor two_feature_model(std::uint32_t extra_feature = 1) {
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 10, 1.0f, 2.0f),
                                                    stump_at(0, 1, extra_feature, 3, 4.0f, 8.0f)};
  return load(trees_artifact(2, stumps));
}

float threshold_of(const Predictor& p, std::uint32_t local_id) {
  return predictor::find_node(p.trees, p.trees.trees.at(0), local_id)->threshold;
}

// One root split per tree, the trees cycling through `thresholds` feature by feature: tree
// f x K + k splits feature f at bin-space threshold thresholds[k] (K thresholds).
Predictor split_per_threshold(std::uint32_t feature_count, const std::vector<float>& thresholds) {
  std::vector<engine::TrainedStump> stumps;
  std::uint32_t tree = 0;
  for (std::uint32_t f = 0; f < feature_count; ++f) {
    for (std::size_t k = 0; k < thresholds.size(); ++k) stumps.push_back(stump_at(tree++, 0, f, 0, 1.0f, 2.0f));
  }
  Predictor p = load(trees_artifact(feature_count, stumps));
  for (const predictor::PredictorTree& t : p.trees.trees) {
    p.trees.nodes[t.root].threshold = thresholds[t.tree_index % thresholds.size()];
  }
  return p;
}

// Every bin 0 .. top + 1 as a threshold, and thresholds no split bin holds.
std::vector<float> bin_thresholds(std::size_t top) {
  std::vector<float> thresholds = {-1.0f, -0.5f, 2.5f, kNaN, 1e9f};
  for (std::size_t b = 0; b <= top + 1; ++b) thresholds.push_back(static_cast<float>(b));
  return thresholds;
}

void push_with_neighbours(std::vector<float>& values, float x) {
  if (std::isnan(x)) return;
  float down = x;
  float up = x;
  values.push_back(x);
  for (int step = 0; step < 2; ++step) {
    down = std::nextafter(down, -kInfinity);
    up = std::nextafter(up, kInfinity);
    values.push_back(down);
    values.push_back(up);
  }
}

// After a conversion, every node of `p` must route each value by `x < threshold` exactly as the
// bin-space test `bin_of(f, x) <= bin threshold` routes its bin. `values[f]` are the values tried
// on feature f; each converted threshold and its neighbours are added. +inf cannot pass a strict
// threshold: at a node where its bin goes left, the threshold must be +inf (all finite values left).
template <typename BinOf>
void expect_raw_routes_match_bins(const Predictor& p, const std::vector<float>& thresholds,
                                  std::vector<std::vector<float>> values, BinOf bin_of) {
  ASSERT_TRUE(p.thresholds_are_float);
  for (const predictor::PredictorTree& t : p.trees.trees) {
    push_with_neighbours(values[t.tree_index / thresholds.size()], p.trees.nodes[t.root].threshold);
  }
  std::size_t mismatches = 0;
  for (const predictor::PredictorTree& t : p.trees.trees) {
    const std::size_t f = t.tree_index / thresholds.size();
    const float bin_threshold = thresholds[t.tree_index % thresholds.size()];
    const float raw_threshold = p.trees.nodes[t.root].threshold;
    for (const float x : values[f]) {
      const bool bin_left = predictor::numeric_goes_left<false>(static_cast<float>(bin_of(f, x)), bin_threshold);
      const bool ok = x == kInfinity && bin_left ? raw_threshold == kInfinity
                                                 : predictor::numeric_goes_left<true>(x, raw_threshold) == bin_left;
      if (!ok && ++mismatches <= 5) {
        ADD_FAILURE() << "feature " << f << ", bin threshold " << bin_threshold << ", raw threshold "
                      << std::setprecision(9) << raw_threshold << ", value " << x << " of bin " << bin_of(f, x);
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

std::vector<float> special_values() {
  std::vector<float> values;
  for (const float x : {0.0f, kFloatMax, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
                        1.0f, kInfinity}) {
    push_with_neighbours(values, x);
    push_with_neighbours(values, -x);
  }
  return values;
}

// Values of each feature: the special ones, random ones over [low, high], and `edges` with their
// neighbours.
std::vector<float> feature_values(std::mt19937_64& rng, float low, float high, const std::vector<float>& edges) {
  std::vector<float> values = special_values();
  if (std::isfinite(low) && std::isfinite(high) && low < high) {
    std::uniform_real_distribution<float> draw(low, high);
    for (int i = 0; i < 3000; ++i) values.push_back(draw(rng));
  }
  for (const float edge : edges) push_with_neighbours(values, edge);
  return values;
}

TEST(PredictorThresholds, RawValuesRouteAsTheirTrainingBins) {
  std::mt19937_64 rng(29);
  struct Bounds {
    float lo;
    float hi;
  };
  struct LinearCase {
    std::uint16_t max_bin;
    std::vector<Bounds> features;
  };
  const std::vector<LinearCase> linear_cases = {
      {254,
       {{0.0f, 254.0f},                   // edges exactly half-way between bins
        {0.0247f, 9.8765f},               // a skewed positive feature
        {-3.1415894f, 3.1415873f},        // an angle
        {0.001742592f, 69.16081f},        // a mass
        {1.0f, 1.0000005f},               // span below the constant-feature limit
        {5.0f, 5.0f},                     // constant
        {3.0f, 2.0f}}},                   // max below min
      {510,
       {{1.0f, 1.00001f},                 // fewer floats than bins: most bins hold no value
        {-1000.0f, 1e-3f},
        {kInfinity, -kInfinity},          // a feature that had no training value
        {-3e38f, 3e38f}}},                // the span overflows
      {1, {{0.0f, 1.0f}, {-2.0f, 7.0f}}},
  };
  for (const LinearCase& c : linear_cases) {
    const auto count = static_cast<std::uint32_t>(c.features.size());
    const std::vector<float> thresholds = bin_thresholds(c.max_bin);
    std::vector<float> mins;
    std::vector<float> maxs;
    std::vector<std::vector<float>> values;
    for (const Bounds& b : c.features) {
      mins.push_back(b.lo);
      maxs.push_back(b.hi);
      // Independent edges: where the scaled value reaches bin + 0.5, computed in float64.
      std::vector<float> edges = {b.lo, b.hi};
      for (std::size_t bin = 0; bin <= c.max_bin; ++bin) {
        const double span = static_cast<double>(b.hi) - static_cast<double>(b.lo);
        edges.push_back(static_cast<float>(b.lo + span * ((static_cast<double>(bin) + 0.5) / c.max_bin)));
      }
      const float margin = (b.hi - b.lo) / 4.0f;
      values.push_back(feature_values(rng, b.lo - margin, b.hi + margin, edges));
    }
    Predictor p = split_per_threshold(count, thresholds);
    p.convert_bin_thresholds_to_float(mins, maxs, c.max_bin);
    SCOPED_TRACE(c.max_bin);
    expect_raw_routes_match_bins(p, thresholds, values, [&](std::size_t f, float x) {
      return quantization::linear_code(x, mins[f], maxs[f], c.max_bin);
    });
  }

  std::vector<float> drawn;
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (int i = 0; i < 254; ++i) drawn.push_back(normal(rng));
  std::sort(drawn.begin(), drawn.end());
  drawn.erase(std::unique(drawn.begin(), drawn.end()), drawn.end());
  const std::vector<std::vector<float>> cuts = {
      {}, {0.0f}, {-0.0f, 1.0f}, {2.0f, 5.0f}, {-kInfinity, 0.0f, kInfinity}, {kFloatMax}, drawn};
  const std::vector<float> thresholds = bin_thresholds(drawn.size());
  std::vector<std::vector<float>> values;
  for (const std::vector<float>& c : cuts) {
    values.push_back(feature_values(rng, c.empty() ? -1.0f : c.front() - 1.0f, c.empty() ? 1.0f : c.back() + 1.0f, c));
  }
  Predictor p = split_per_threshold(static_cast<std::uint32_t>(cuts.size()), thresholds);
  p.convert_bin_thresholds_to_float_quantile(cuts);
  expect_raw_routes_match_bins(p, thresholds, values,
                               [&](std::size_t f, float x) { return quantization::quantile_code(x, cuts[f]); });
}

TEST(PredictorThresholds, ConversionExamples) {
  Predictor p = two_feature_model();
  p.convert_bin_thresholds_to_float(std::vector<float>{0.0f, 5.0f}, std::vector<float>{254.0f, 5.0f}, 254);
  EXPECT_EQ(threshold_of(p, 0), 10.5f);
  EXPECT_EQ(threshold_of(p, 1), std::nextafter(5.0f, kInfinity));  // constant: only 5 itself is bin 0
  const std::vector<std::vector<float>> rows = {{10.5f, 0.0f}, {10.49f, 5.0f}, {10.49f, 6.0f}};
  EXPECT_EQ(p.predict_batch(rows), (std::vector<float>{2.0f, 5.0f, 9.0f}));

  // A bin past the cut list: every finite value goes left, the largest float included.
  Predictor q = two_feature_model();
  q.convert_bin_thresholds_to_float_quantile(std::vector<std::vector<float>>{std::vector<float>{0.75f}, {1, 2, 3, 4}});
  EXPECT_EQ(threshold_of(q, 0), kInfinity);
  EXPECT_EQ(threshold_of(q, 1), 4.0f);
  EXPECT_EQ(q.predict_batch(std::vector<std::vector<float>>{{kFloatMax, 3.9f}}), (std::vector<float>{5.0f}));
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
