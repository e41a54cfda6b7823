#include "engine/leaf_refinement.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "engine/objectives/quantile.hpp"
#include "engine/routing.hpp"
#include "engine_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_engine_error;

constexpr float kCap = 1e6f;

TrainedStump split(std::uint32_t node_id, std::uint32_t feature, std::uint16_t bin, float left, float right,
                   bool default_left = false) {
  TrainedStump stump;
  stump.node_id = node_id;
  stump.feature_index = feature;
  stump.split_bin = bin;
  stump.default_left = default_left;
  stump.left = left;
  stump.right = right;
  return stump;
}

TrainedStump categorical_split(std::uint32_t node_id, std::uint32_t feature, std::uint8_t bitset, float left,
                               float right) {
  TrainedStump stump = split(node_id, feature, 0, left, right);
  stump.categorical = true;
  stump.category_bitset = std::vector<std::uint8_t>{bitset};
  return stump;
}

// Three features, bins 0..9 with about one missing (255) cell in eight.
core::BinnedMatrix random_matrix(std::size_t rows, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bins(rows * 3);
  for (std::uint8_t& bin : bins) bin = rng() % 8 == 0 ? 255 : static_cast<std::uint8_t>(rng() % 10);
  return core::BinnedMatrix::make(rows, 3, 9, std::move(bins));
}

std::vector<float> random_values(std::size_t n, std::uint32_t seed, float low, float high) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(n);
  for (float& v : values) v = dist(rng);
  return values;
}

// Root on feature 0 (missing goes left); a categorical split below it whose bitset disagrees with
// any bin threshold; a right subtree two levels deep. Leaves: 3, 4, 6, 11, 12.
std::vector<TrainedStump> deep_tree(std::uint32_t tree_index = 0) {
  const std::uint32_t t = tree_index << 20;
  return {split(t | 0, 0, 4, 0.3f, -0.2f, true), categorical_split(t | 1, 1, 0b00100101, 0.1f, -0.4f),
          split(t | 2, 2, 6, 0.25f, 0.5f), split(t | 5, 0, 7, -0.15f, 0.05f)};
}

// ---- an independent reference: plain maps, recursion over ids ----

using StumpById = std::map<std::uint32_t, const TrainedStump*>;

StumpById by_local_id(const std::vector<TrainedStump>& stumps, bool mask = true) {
  StumpById map;
  for (const TrainedStump& s : stumps) map[mask ? (s.node_id & 0xFFFFFu) : s.node_id] = &s;
  return map;
}

std::uint32_t reference_leaf(const StumpById& map, const core::BinnedMatrix& binned, std::size_t row) {
  std::uint32_t id = 0;
  while (map.count(id) != 0) {
    const TrainedStump& s = *map.at(id);
    id = routes_left(s, binned.bins.at(row * binned.feature_count + s.feature_index), binned.missing_bin) ? 2 * id + 1
                                                                                                         : 2 * id + 2;
  }
  return id;
}

struct Fit {
  float value;
  float weight;
};

// New absolute outputs: leaves from `leaf_fit` (absent: keep the current output, weight 0),
// internal nodes the weighted mean of their children, everything bounded by the cap.
struct ReferenceRefiner {
  const StumpById& map;
  std::function<std::optional<Fit>(std::uint32_t leaf)> leaf_fit;  // absent for a leaf no row reaches
  float cap;
  std::map<std::uint32_t, float> refined{{0, 0.0f}};

  float current(std::uint32_t id) const {
    float sum = 0.0f;
    std::vector<std::pair<std::uint32_t, bool>> path;
    for (std::uint32_t n = id; n != 0; n = (n - 1) / 2) path.push_back({(n - 1) / 2, n % 2 == 1});
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      const TrainedStump& s = *map.at(it->first);
      sum += leaf_constant_or_intercept(it->second ? s.left : s.right);
    }
    return sum;
  }
  Fit fill(std::uint32_t id) {
    float value = 0.0f;
    float weight = 0.0f;
    if (map.count(id) == 0) {
      const std::optional<Fit> fit = leaf_fit(id);
      value = fit ? std::clamp(fit->value, -cap, cap) : current(id);
      weight = fit ? fit->weight : 0.0f;
    } else {
      const Fit left = fill(2 * id + 1);
      const Fit right = fill(2 * id + 2);
      weight = left.weight + right.weight;
      value = weight > 0.0f ? std::clamp((left.value + right.value) / weight, -cap, cap) : current(id);
    }
    refined[id] = value;
    return {weight * value, weight};
  }
  // (left, right) increments of every stump, in list order.
  std::vector<std::pair<float, float>> increments(const std::vector<TrainedStump>& stumps, bool mask = true) {
    fill(1);
    fill(2);
    std::vector<std::pair<float, float>> out;
    for (const TrainedStump& s : stumps) {
      const std::uint32_t id = mask ? (s.node_id & 0xFFFFFu) : s.node_id;
      out.push_back({refined.at(2 * id + 1) - refined.at(id), refined.at(2 * id + 2) - refined.at(id)});
    }
    return out;
  }
};

// `pairs` holds (weight, weight x residual) per row of the leaf.
std::optional<Fit> mean_fit(const std::vector<float>& pairs) {
  float sum = 0.0f;
  float weight = 0.0f;
  for (std::size_t i = 0; i < pairs.size(); i += 2) {
    weight += pairs[i];
    sum += pairs[i + 1];
  }
  if (!(weight > 0.0f)) return std::nullopt;
  return Fit{sum / weight, weight};
}

std::vector<std::pair<float, float>> increments_of(const std::vector<TrainedStump>& stumps) {
  std::vector<std::pair<float, float>> out;
  for (const TrainedStump& s : stumps) {
    out.push_back({leaf_constant_or_intercept(s.left), leaf_constant_or_intercept(s.right)});
  }
  return out;
}

void expect_increments_near(const std::vector<TrainedStump>& stumps,
                            const std::vector<std::pair<float, float>>& expected, float tolerance) {
  ASSERT_EQ(stumps.size(), expected.size());
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    EXPECT_NEAR(leaf_constant_or_intercept(stumps[i].left), expected[i].first, tolerance) << "stump " << i;
    EXPECT_NEAR(leaf_constant_or_intercept(stumps[i].right), expected[i].second, tolerance) << "stump " << i;
  }
}

// ---- quantile ----

// Reference increments of a quantile refinement: each leaf at the (weighted) alpha-quantile of the
// residuals of its rows, before scaling.
std::vector<std::pair<float, float>> quantile_reference(const std::vector<TrainedStump>& tree,
                                                        const core::BinnedMatrix& binned,
                                                        const std::vector<float>& targets,
                                                        const std::vector<float>& before,
                                                        const std::vector<float>* weights, float alpha, float cap,
                                                        bool mask = true,
                                                        std::map<std::uint32_t, float>* outputs = nullptr) {
  const StumpById map = by_local_id(tree, mask);
  std::map<std::uint32_t, std::vector<float>> residuals;
  std::map<std::uint32_t, std::vector<float>> leaf_weights;
  for (std::size_t row = 0; row < binned.row_count; ++row) {
    const std::uint32_t leaf = reference_leaf(map, binned, row);
    residuals[leaf].push_back(targets[row] - before[row]);
    leaf_weights[leaf].push_back(weights ? (*weights)[row] : 1.0f);
  }
  ReferenceRefiner reference{map,
                             [&](std::uint32_t leaf) -> std::optional<Fit> {
                               if (residuals.count(leaf) == 0) return std::nullopt;
                               float total = 0.0f;
                               for (float w : leaf_weights[leaf]) total += w;
                               objectives::Weights w;
                               if (weights) w = std::span<const float>(leaf_weights[leaf]);
                               return Fit{objectives::weighted_quantile(residuals[leaf], w, alpha), total};
                             },
                             cap};
  std::vector<std::pair<float, float>> increments = reference.increments(tree, mask);
  if (outputs != nullptr) *outputs = reference.refined;
  return increments;
}


struct QuantileCase {
  bool weighted;
  float alpha;
  float cap;
  std::optional<float> depth_base;
};

class RefineQuantile : public ::testing::TestWithParam<QuantileCase> {};

TEST_P(RefineQuantile, LeavesAreTheWeightedQuantilesOfTheirResiduals) {
  const QuantileCase& c = GetParam();
  const std::size_t rows = 80;
  const core::BinnedMatrix binned = random_matrix(rows, 3);
  const std::vector<float> targets = random_values(rows, 4, -2.0f, 3.0f);
  const std::vector<float> before = random_values(rows, 5, -0.5f, 0.5f);
  const std::vector<float> sample_weights = random_values(rows, 6, 0.1f, 2.0f);
  const objectives::Weights weights = c.weighted ? objectives::Weights(sample_weights) : std::nullopt;
  std::vector<TrainedStump> tree = deep_tree();
  const float learning_rate = 0.3f;

  const std::vector<TrainedStump> original = tree;
  std::vector<std::pair<float, float>> expected = quantile_reference(
      original, binned, targets, before, c.weighted ? &sample_weights : nullptr, c.alpha, c.cap);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    float scale = learning_rate;
    if (c.depth_base) {
      const float depth = static_cast<float>(std::bit_width((original[i].node_id & 0xFFFFFu) + 1u));
      scale = learning_rate * std::pow(*c.depth_base, depth / 3.0f);
    }
    expected[i] = {expected[i].first * scale, expected[i].second * scale};
  }

  refine_quantile_leaf_values(tree, binned, before, targets, weights, std::nullopt,
                              QuantileRefinementSettings{c.alpha, learning_rate, c.cap, c.depth_base});
  expect_increments_near(tree, expected, 1e-6f);
  for (std::size_t i = 0; i < tree.size(); ++i) EXPECT_EQ(tree[i].node_id, original[i].node_id);
}

INSTANTIATE_TEST_SUITE_P(Refine, RefineQuantile,
                         ::testing::Values(QuantileCase{false, 0.5f, kCap, std::nullopt},
                                           QuantileCase{true, 0.3f, kCap, std::nullopt},
                                           QuantileCase{false, 0.9f, 0.2f, std::nullopt},  // clamped
                                           QuantileCase{true, 0.5f, kCap, 0.5f}));         // depth factor

TEST(RefineQuantileLeaves, MedianTakesNoInterpolationAndUnreachedLeavesKeepTheirOutput) {
  // Rows 0..3 go left (bins <= 1); nothing reaches the right child of node 2 (bin 9 never occurs).
  const core::BinnedMatrix binned = core::BinnedMatrix::make(6, 1, 9, {0, 1, 0, 1, 5, 6});
  std::vector<TrainedStump> tree{split(0, 0, 1, 0.1f, 0.4f), split(2, 0, 8, 0.2f, -0.7f)};
  const std::vector<float> targets{1.0f, 2.0f, 3.0f, 10.0f, 4.0f, 6.0f};
  const std::vector<float> before(6, 0.0f);
  refine_quantile_leaf_values(tree, binned, before, targets, std::nullopt, std::nullopt,
                              QuantileRefinementSettings{0.5f, 0.5f, kCap, std::nullopt});
  // Left leaf: median of 1, 2, 3, 10 is 2. Node 2: only leaf 5 has rows (value 4), so node 2 = 4;
  // leaf 6 keeps its absolute output 0.4 - 0.7 and contributes no weight.
  EXPECT_FLOAT_EQ(std::get<float>(tree[0].left), 2.0f * 0.5f);
  EXPECT_FLOAT_EQ(std::get<float>(tree[0].right), 4.0f * 0.5f);
  EXPECT_FLOAT_EQ(std::get<float>(tree[1].left), 0.0f);
  EXPECT_FLOAT_EQ(std::get<float>(tree[1].right), ((0.4f + -0.7f) - 4.0f) * 0.5f);
}

TEST(RefineQuantileLeaves, LinearLeafKeepsItsCoefficientsAndItsTermsLeaveTheResidual) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 9, {0, 0, 1, 0, 7, 0, 8, 0});
  TrainedStump root = split(0, 0, 3, 0.0f, 0.5f);
  root.left = core::LinearLeaf{{2.0f}, {1}, 0.5f};
  std::vector<TrainedStump> tree{root};
  const std::vector<float> raw{0.0f, 1.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, 0.0f, 0.0f};
  const std::vector<float> targets{3.0f, 7.0f, 1.0f, 2.0f};
  refine_quantile_leaf_values(tree, binned, std::vector<float>(4, 0.0f), targets, std::nullopt,
                              RawFeatureRows{raw, 2}, QuantileRefinementSettings{0.5f, 1.0f, kCap, std::nullopt});
  // Left residuals: 3 - 2 * 1 = 1 and 7 (NaN term skipped); the lower median is 1.
  const core::LinearLeaf& leaf = core::linear_leaf(tree[0].left);
  EXPECT_EQ(leaf.coefficients, std::vector<float>{2.0f});
  EXPECT_EQ(leaf.feature_indices, std::vector<std::uint32_t>{1});
  EXPECT_FLOAT_EQ(leaf.intercept, 1.0f);
  EXPECT_FLOAT_EQ(std::get<float>(tree[0].right), 1.0f);
}

// ---- regression ----

// The sweep written out directly: every residual from the production walk over the current trees.
std::vector<TrainedStump> reference_regression(std::vector<TrainedStump> stumps, std::size_t first,
                                               const std::vector<std::size_t>& counts, const core::BinnedMatrix& binned,
                                               const std::vector<float>& targets, const std::vector<float>& weights,
                                               const std::vector<float>& start, float cap) {
  std::size_t offset = first;
  for (std::size_t count : counts) {
    if (count == 0) continue;
    std::vector<float> all(binned.row_count, 0.0f);
    apply_tree_to_binned_predictions(all, binned, std::span(stumps).subspan(first), std::nullopt);
    std::vector<float> tree(binned.row_count, 0.0f);
    const std::vector<TrainedStump> round(stumps.begin() + offset, stumps.begin() + offset + count);
    apply_round_stumps_tree_walk(tree, binned, round, std::nullopt);
    const float w_tree = round[0].tree_weight;
    const StumpById map = by_local_id(round);
    std::map<std::uint32_t, std::vector<float>> pairs;
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      const float residual = ((targets[row] - start[row]) - (all[row] - tree[row])) / w_tree;
      auto& leaf = pairs[reference_leaf(map, binned, row)];
      leaf.push_back(weights[row]);
      leaf.push_back(weights[row] * residual);
    }
    ReferenceRefiner reference{
        map, [&](std::uint32_t leaf) { return pairs.count(leaf) ? mean_fit(pairs[leaf]) : std::nullopt; }, cap};
    const auto increments = reference.increments(round);
    for (std::size_t i = 0; i < count; ++i) {
      stumps[offset + i].left = increments[i].first;
      stumps[offset + i].right = increments[i].second;
    }
    offset += count;
  }
  return stumps;
}

std::vector<TrainedStump> three_rounds() {
  std::vector<TrainedStump> stumps = deep_tree(0);
  stumps.push_back(split(1u << 20, 1, 3, -0.3f, 0.2f, true));
  stumps.push_back(categorical_split((1u << 20) | 2, 0, 0b01000010, 0.15f, -0.05f));
  for (TrainedStump& stump : stumps) stump.tree_weight = stump.node_id >> 20 == 1 ? 0.5f : 1.0f;
  stumps.push_back(split(2u << 20, 2, 0, 0.4f, -0.1f));
  stumps.back().left = core::LinearLeaf{{1.5f}, {0}, 0.4f};
  return stumps;
}

TEST(RefineRegression, BackfittingMatchesADirectComputation) {
  const std::size_t rows = 90;
  const core::BinnedMatrix binned = random_matrix(rows, 11);
  const std::vector<float> targets = random_values(rows, 12, -1.0f, 2.0f);
  const std::vector<float> weights = random_values(rows, 13, 0.2f, 3.0f);
  const std::vector<std::size_t> counts{4, 0, 2, 1};
  for (float cap : {kCap, 0.3f}) {
    for (bool weighted : {false, true}) {
      std::vector<TrainedStump> stumps = three_rounds();
      const std::vector<float> unit(rows, 1.0f);
      const std::vector<TrainedStump> expected = reference_regression(
          stumps, 0, counts, binned, targets, weighted ? weights : unit, std::vector<float>(rows, 0.25f), cap);
      refine_regression_leaf_values(targets, weighted ? objectives::Weights(weights) : std::nullopt, binned, stumps,
                                    counts, 0.25f, cap);
      expect_increments_near(stumps, increments_of(expected), 2e-5f);
      EXPECT_TRUE(std::holds_alternative<float>(stumps[6].left));  // the linear leaf became a constant
    }
  }
}

// Node 6 sends every row left (bin 9 is the largest, missing left): leaf 14 keeps its output and
// weighs nothing in its parent's mean. So does a leaf whose rows all weigh 0.
TEST(RefineRegression, ALeafNoRowReachesKeepsItsOutput) {
  const std::size_t rows = 90;
  const core::BinnedMatrix binned = random_matrix(rows, 11);
  const std::vector<float> targets = random_values(rows, 12, -1.0f, 2.0f);
  std::vector<TrainedStump> tree = deep_tree();
  tree.push_back(split(6, 1, 9, 0.2f, -0.6f, true));
  const std::uint32_t weightless_leaf = reference_leaf(by_local_id(tree), binned, 0);
  for (const bool weightless : {false, true}) {
    std::vector<float> weights = random_values(rows, 13, 0.2f, 3.0f);
    if (weightless) {
      for (std::size_t row = 0; row < rows; ++row) {
        if (reference_leaf(by_local_id(tree), binned, row) == weightless_leaf) weights[row] = 0.0f;
      }
    }
    std::vector<TrainedStump> stumps = tree;
    const std::vector<std::size_t> counts{stumps.size()};
    const std::vector<TrainedStump> expected =
        reference_regression(stumps, 0, counts, binned, targets, weights, std::vector<float>(rows, 0.25f), kCap);
    refine_regression_leaf_values(targets, objectives::Weights(weights), binned, stumps, counts, 0.25f, kCap);
    expect_increments_near(stumps, increments_of(expected), 2e-5f);
  }
}

TEST(RefineRegression, ATreeAtWeightZeroIsLeftAsItWas) {
  // It contributes nothing to fit: its leaves cannot be solved for.
  const core::BinnedMatrix binned = core::BinnedMatrix::make(5, 1, 9, {0, 1, 2, 7, 255});
  std::vector<TrainedStump> silent{split(0, 0, 2, 9.0f, 8.0f)};
  silent[0].tree_weight = 0.0f;
  refine_regression_leaf_values(std::vector<float>{1.0f, 2.0f, 6.0f, -1.0f, -3.0f}, std::nullopt, binned, silent,
                                std::vector<std::size_t>{1}, 0.5f, kCap);
  EXPECT_EQ(std::get<float>(silent[0].left), 9.0f);
}

TEST(RefineRegression, ContinuedFitRefinesOnlyItsOwnTreesFromTheStartingPredictions) {
  const std::size_t rows = 70;
  const core::BinnedMatrix binned = random_matrix(rows, 21);
  const std::vector<float> targets = random_values(rows, 22, -1.0f, 2.0f);
  std::vector<TrainedStump> stumps{split(0, 1, 5, 0.7f, -0.6f)};  // the earlier model's tree
  for (TrainedStump s : three_rounds()) {
    s.node_id += 1u << 20;
    stumps.push_back(s);
  }
  std::vector<float> start(rows, 0.1f);
  apply_tree_to_binned_predictions(start, binned, std::span(stumps).first(1), std::nullopt);
  const std::vector<std::size_t> counts{4, 2, 1};
  const std::vector<TrainedStump> expected =
      reference_regression(stumps, 1, counts, binned, targets, std::vector<float>(rows, 1.0f), start, kCap);
  refine_regression_leaf_values_from(targets, std::nullopt, binned, stumps, 1, start, counts, kCap);
  expect_increments_near(stumps, increments_of(expected), 2e-5f);
  EXPECT_EQ(std::get<float>(stumps[0].left), 0.7f);
  EXPECT_EQ(std::get<float>(stumps[0].right), -0.6f);

  const auto call = [&](std::size_t first, std::size_t start_length) {
    return [&, first, start_length] {
      refine_regression_leaf_values_from(targets, std::nullopt, binned, stumps, first,
                                         std::span(start).first(start_length), counts, kCap);
    };
  };
  EXPECT_TRUE(throws_engine_error(call(9, rows), EngineErrorKind::ContractViolation,
                                  "first refined stump 9 exceeds trained stump count 8"));
  EXPECT_TRUE(throws_engine_error(call(1, 3), EngineErrorKind::ContractViolation,
                                  "starting predictions length 3 does not match binned row_count 70"));
  EXPECT_TRUE(throws_engine_error(call(0, rows), EngineErrorKind::ContractViolation,
                                  "round stump counts do not cover all trained stumps"));
}

TEST(RefineRegression, CountAndLengthChecksComeBeforeAnyChange) {
  const core::BinnedMatrix binned = random_matrix(10, 31);
  const std::vector<float> targets(10, 1.0f);
  const std::vector<float> short_weights(3, 1.0f);
  const std::vector<TrainedStump> original{split(0, 0, 4, 0.1f, 0.2f), split(1u << 20, 1, 4, 0.3f, 0.4f),
                                           split((1u << 20) | 1, 2, 4, 0.5f, 0.6f)};
  struct Case {
    std::vector<std::size_t> counts;
    std::vector<float> targets;
    objectives::Weights weights;
    const char* message;
  };
  const std::vector<Case> cases{
      {{2, 0}, targets, std::nullopt, "round stump counts do not cover all trained stumps"},
      {{2, 2}, targets, std::nullopt, "round stump counts exceed trained stump count"},
      {{1, std::numeric_limits<std::size_t>::max()}, targets, std::nullopt, "round stump count overflow"},
      {{1, 2}, std::vector<float>(4, 0.0f), std::nullopt, "targets length 4 does not match binned row_count 10"},
      {{1, 2}, targets, short_weights, "weights length 3 does not match targets length 10"},
  };
  for (const Case& c : cases) {
    std::vector<TrainedStump> stumps = original;
    EXPECT_TRUE(throws_engine_error(
        [&] { refine_regression_leaf_values(c.targets, c.weights, binned, stumps, c.counts, 0.0f, kCap); },
        EngineErrorKind::ContractViolation, c.message));
    EXPECT_EQ(increments_of(stumps), increments_of(original));
  }
  // Nothing to refine: no check at all.
  std::vector<TrainedStump> none;
  refine_regression_leaf_values(std::vector<float>(2, 0.0f), std::nullopt, binned, none, std::vector<std::size_t>{1},
                                0.0f, kCap);
  std::vector<TrainedStump> stumps = original;
  refine_regression_leaf_values(std::vector<float>(2, 0.0f), std::nullopt, binned, stumps, {}, 0.0f, kCap);
  EXPECT_EQ(increments_of(stumps), increments_of(original));
}

// ---- row walk errors, through each entry point ----

TEST(RefineRowWalk, MalformedTreesAndMatricesAreReported) {
  core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 9, {0, 1, 2, 3, 4, 5, 6, 7});
  struct Case {
    std::vector<TrainedStump> tree;
    std::size_t claimed_rows;
    const char* message;
  };
  const std::vector<Case> cases{
      {{split(1, 0, 3, 1.0f, 2.0f)}, 4, "tree is missing split for local node 0"},
      {{split(0, 2, 3, 1.0f, 2.0f)}, 4, "split feature_index 2 exceeds feature_count 2"},
      {{split(0, 1, 3, 1.0f, 2.0f)}, 5, "binned cell index 9 is out of bounds for bins length 8"},
  };
  for (const Case& c : cases) {
    binned.row_count = c.claimed_rows;
    const std::vector<float> targets(c.claimed_rows, 1.0f);
    std::vector<TrainedStump> tree = c.tree;
    EXPECT_TRUE(throws_engine_error(
        [&] {
          refine_quantile_leaf_values(tree, binned, targets, targets, std::nullopt, std::nullopt,
                                      QuantileRefinementSettings{});
        },
        EngineErrorKind::ContractViolation, c.message));
    EXPECT_TRUE(throws_engine_error(
        [&] {
          refine_regression_leaf_values(targets, std::nullopt, binned, tree, std::vector<std::size_t>{1}, 0.0f, kCap);
        },
        EngineErrorKind::ContractViolation, c.message));
    EXPECT_EQ(increments_of(tree), increments_of(c.tree));
  }
}

TEST(RefineQuantileLeaves, QuantileErrorsPassUnchangedAndLeaveTheTreeAlone) {
  const core::BinnedMatrix binned = random_matrix(12, 41);
  std::vector<float> targets(12, 1.0f);
  targets[5] = std::numeric_limits<float>::infinity();
  std::vector<TrainedStump> tree = deep_tree();
  EXPECT_TRUE(throws_engine_error(
      [&] {
        refine_quantile_leaf_values(tree, binned, std::vector<float>(12, 0.0f), targets, std::nullopt, std::nullopt,
                                    QuantileRefinementSettings{});
      },
      EngineErrorKind::ContractViolation, "values must be finite"));
  EXPECT_EQ(increments_of(tree), increments_of(deep_tree()));
  // Predictions shorter than the matrix are a caller's bug.
  EXPECT_THROW(refine_quantile_leaf_values(tree, binned, std::vector<float>(11, 0.0f), targets, std::nullopt,
                                           std::nullopt, QuantileRefinementSettings{}),
               support::Panic);
}

// ---- joint ----

// A multi-output side holds the child's own output, a scalar side what it adds to its node's. The
// single-output tree whose increments lead to the outputs of entry k (stumps listed parents first).
std::vector<TrainedStump> as_increments(std::vector<TrainedStump> tree, std::size_t k) {
  std::map<std::uint32_t, float> output{{0, 0.0f}};
  for (TrainedStump& s : tree) {
    const float node = output.at(s.node_id);
    const float left = s.multi_output ? s.multi_output->left[k] : node + leaf_constant_or_intercept(s.left);
    const float right = s.multi_output ? s.multi_output->right[k] : node + leaf_constant_or_intercept(s.right);
    output[2 * s.node_id + 1] = left;
    output[2 * s.node_id + 2] = right;
    s.left = left - node;
    s.right = right - node;
  }
  return tree;
}

// Each stump's (left, right) children's outputs: the sums of the increments from the root.
std::vector<std::pair<float, float>> child_outputs(const std::vector<TrainedStump>& tree) {
  std::map<std::uint32_t, float> output{{0, 0.0f}};
  std::vector<std::pair<float, float>> out;
  for (const TrainedStump& s : tree) {
    const float node = output.at(s.node_id);
    out.emplace_back(node + leaf_constant_or_intercept(s.left), node + leaf_constant_or_intercept(s.right));
    output[2 * s.node_id + 1] = out.back().first;
    output[2 * s.node_id + 2] = out.back().second;
  }
  return out;
}

TEST(RefineJoint, OnlyQuantileEntriesOfMultiOutputStumpsChangeWithoutBound) {
  const std::size_t rows = 50;
  const core::BinnedMatrix binned = random_matrix(rows, 51);
  std::vector<TrainedStump> tree = deep_tree();
  for (std::size_t i = 0; i < tree.size(); ++i) {
    if (i == 1) continue;  // node 1 carries no multi-output values
    const float f = static_cast<float>(i);
    tree[i].multi_output = MultiOutputValues{{0.1f * f, 0.2f}, {-0.3f, 0.05f * f}};
  }
  const std::vector<float> targets0 = random_values(rows, 52, -1.0f, 1.0f);
  const std::vector<float> targets1 = random_values(rows, 53, 2e6f, 4e6f);  // far beyond any cap
  const std::vector<std::vector<float>> predictions{random_values(rows, 54, -1.0f, 1.0f),
                                                    random_values(rows, 55, -1.0f, 1.0f)};
  const std::vector<std::span<const float>> targets{targets0, targets1};
  const std::vector<joint::JointObjective> objectives{{joint::JointObjectiveKind::SquaredError, 0.0f},
                                                      joint::JointObjective::quantile(0.9f)};

  // Reference for output 1: every child's refined output itself; ids as given.
  std::map<std::uint32_t, float> refined;
  quantile_reference(as_increments(tree, 1), binned, targets1, predictions[1], nullptr, 0.9f,
                     std::numeric_limits<float>::infinity(), false, &refined);

  const std::vector<TrainedStump> original = tree;
  refine_joint_quantile_leaves(tree, binned, predictions, targets, objectives);
  for (std::size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(increments_of({tree[i]}), increments_of({original[i]}));  // scalar sides untouched
    if (!original[i].multi_output) {
      EXPECT_FALSE(tree[i].multi_output.has_value());
      continue;
    }
    const std::uint32_t id = tree[i].node_id;
    EXPECT_EQ(tree[i].multi_output->left[0], original[i].multi_output->left[0]);
    EXPECT_EQ(tree[i].multi_output->right[0], original[i].multi_output->right[0]);
    EXPECT_NEAR(tree[i].multi_output->left[1], refined.at(2 * id + 1), 1.0f) << i;
    EXPECT_NEAR(tree[i].multi_output->right[1], refined.at(2 * id + 2), 1.0f) << i;
  }
  // Not clamped, and a child of the root's child holds its own quantile, not that minus its parent's.
  EXPECT_GT(std::fabs(tree[0].multi_output->left[1]), 1e6f);
  EXPECT_GT(std::fabs(tree[2].multi_output->left[1]), 1e6f);
}

// The same refinement through the production single-output pass at learning rate 1 and no bound:
// each quantile entry is the output that pass gives the child, in the tree whose increments lead
// to the entries. Node 6 sends every row left (bin 9 is the largest, missing left), so leaf 14 is
// never reached and keeps its output.
TEST(RefineJoint, QuantileEntriesAreTheChildOutputsOfTheSingleOutputRefinementWithoutBound) {
  const core::BinnedMatrix binned = random_matrix(50, 51);
  std::vector<TrainedStump> tree = deep_tree();
  tree.push_back(split(6, 1, 9, 0.2f, -0.6f, true));
  for (TrainedStump& s : tree) {
    s.multi_output = MultiOutputValues{{0.1f, leaf_constant_or_intercept(s.left)}, {-0.3f, leaf_constant_or_intercept(s.right)}};
  }
  const std::vector<float> t0 = random_values(50, 52, -1.0f, 1.0f), t1 = random_values(50, 53, 2e6f, 4e6f);
  const std::vector<std::vector<float>> predictions{random_values(50, 54, -1.0f, 1.0f), random_values(50, 55, -1.0f, 1.0f)};
  std::vector<TrainedStump> single = as_increments(tree, 1);
  refine_quantile_leaf_values(single, binned, predictions[1], t1, std::nullopt, std::nullopt,
                              {0.9f, 1.0f, std::numeric_limits<float>::infinity(), std::nullopt});
  const std::vector<std::pair<float, float>> expected = child_outputs(single);
  const std::vector<TrainedStump> before = tree;
  refine_joint_quantile_leaves(tree, binned, predictions, std::vector<std::span<const float>>{t0, t1},
                               std::vector{joint::JointObjective{}, joint::JointObjective::quantile(0.9f)});
  for (std::size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(increments_of({tree[i]}), increments_of({before[i]}));  // the scalar sides stay
    EXPECT_EQ(tree[i].multi_output->left[0], 0.1f);
    EXPECT_NEAR(tree[i].multi_output->left[1], expected[i].first, 1.0f) << i;
    EXPECT_NEAR(tree[i].multi_output->right[1], expected[i].second, 1.0f) << i;
  }
  EXPECT_EQ(tree[4].multi_output->right[1], -0.6f);  // leaf 14: no row, its own value kept
  EXPECT_GT(std::fabs(tree[0].multi_output->left[1]), 1e6f);
}

TEST(RefineJoint, ChecksAndNoOps) {
  const core::BinnedMatrix binned = random_matrix(8, 61);
  std::vector<TrainedStump> tree{split(0, 0, 4, 0.1f, 0.2f)};
  tree[0].multi_output = MultiOutputValues{{0.1f, 0.2f}, {0.3f, 0.4f}};
  const std::vector<float> t(8, 1.0f);
  const std::vector<std::vector<float>> predictions(2, std::vector<float>(8, 0.0f));
  const std::vector<std::span<const float>> targets{t, t};
  const MultiOutputValues before = *tree[0].multi_output;

  EXPECT_TRUE(throws_engine_error(
      [&] {
        refine_joint_quantile_leaves(tree, binned, predictions, targets,
                                     std::vector<joint::JointObjective>{joint::JointObjective::quantile(0.5f)});
      },
      EngineErrorKind::ContractViolation, "per_output_objective length 1 != n_outputs 2"));
  // No quantile output: nothing changes.
  const std::vector<joint::JointObjective> none_quantile{joint::JointObjective{}, joint::JointObjective::tweedie(1.5f)};
  refine_joint_quantile_leaves(tree, binned, predictions, targets, none_quantile);
  EXPECT_EQ(*tree[0].multi_output, before);

  // Ids are used as given: a stump keyed with a tree index is not a root.
  std::vector<TrainedStump> global = tree;
  global[0].node_id = 1u << 20;
  const std::vector<joint::JointObjective> quantiles{joint::JointObjective::quantile(0.5f),
                                                     joint::JointObjective::quantile(0.5f)};
  const auto refine_global = [&] { refine_joint_quantile_leaves(global, binned, predictions, targets, quantiles); };
  EXPECT_TRUE(throws_engine_error(refine_global, EngineErrorKind::ContractViolation,
                                  "tree is missing split for local node 0"));

  // A failing output leaves every stump as it was, including entries refined before it.
  std::vector<float> bad = t;
  bad[3] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::span<const float>> bad_targets{t, bad};
  const auto refine_bad = [&] { refine_joint_quantile_leaves(tree, binned, predictions, bad_targets, quantiles); };
  EXPECT_TRUE(throws_engine_error(refine_bad, EngineErrorKind::ContractViolation, "values must be finite"));
  EXPECT_EQ(*tree[0].multi_output, before);
}

}  // namespace
}  // namespace kestrune::engine
