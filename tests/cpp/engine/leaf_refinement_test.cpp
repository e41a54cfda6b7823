// Backfitting against an independent reference: plain maps, recursion over node ids, the
// weighted mean of the children at every split, and the current output kept where no row goes.
#include "engine/leaf_refinement.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "engine/routing.hpp"

namespace kestrune::engine {
namespace {

constexpr float kCap = 1e6f;

TrainedStump split(std::uint32_t node_id, std::uint32_t feature, std::uint16_t bin, float left, float right,
                   bool default_left = false, std::optional<std::uint8_t> category_bits = std::nullopt) {
  TrainedStump stump;
  stump.node_id = node_id;
  stump.feature_index = feature;
  stump.split_bin = bin;
  stump.default_left = default_left;
  stump.left = left;
  stump.right = right;
  stump.categorical = category_bits.has_value();
  if (category_bits) stump.category_bitset = std::vector<std::uint8_t>{*category_bits};
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

// Tree 0: root on feature 0 (missing left), a categorical split below it, a right subtree two
// levels deep whose node 6 sends every row left (bin 9 is the largest, missing left), so leaf 14
// is never reached and keeps its output. Tree 1 (weight 0.5) has a categorical child; tree 2 a
// linear leaf.
std::vector<TrainedStump> three_trees() {
  std::vector<TrainedStump> stumps{split(0, 0, 4, 0.3f, -0.2f, true), split(1, 1, 0, 0.1f, -0.4f, false, 0b00100101),
                                   split(2, 2, 6, 0.25f, 0.5f), split(5, 0, 7, -0.15f, 0.05f),
                                   split(6, 1, 9, 0.2f, -0.6f, true), split(1u << 20, 1, 3, -0.3f, 0.2f, true),
                                   split((1u << 20) | 2, 0, 0, 0.15f, -0.05f, false, 0b01000010),
                                   split(2u << 20, 2, 0, 0.4f, -0.1f)};
  for (TrainedStump& stump : stumps) stump.tree_weight = stump.node_id >> 20 == 1 ? 0.5f : 1.0f;
  stumps.back().left = core::LinearLeaf{{1.5f}, {0}, 0.4f};
  return stumps;
}

using StumpById = std::map<std::uint32_t, const TrainedStump*>;
struct Fit {
  float sum = 0.0f;  // weight x value
  float weight = 0.0f;
};

// Fills `out` with the refined absolute output of node `id` and its subtree; `current` is the
// node's output before refinement.
Fit refine_node(const StumpById& map, const std::map<std::uint32_t, Fit>& leaves, float cap, std::uint32_t id,
                float current, std::map<std::uint32_t, float>& out) {
  float value = current;
  float weight = 0.0f;
  if (map.count(id) == 0) {
    const auto leaf = leaves.find(id);
    if (leaf != leaves.end() && leaf->second.weight > 0.0f) {
      weight = leaf->second.weight;
      value = std::clamp(leaf->second.sum / weight, -cap, cap);
    }
  } else {
    const TrainedStump& s = *map.at(id);
    const Fit left = refine_node(map, leaves, cap, 2 * id + 1, current + leaf_constant_or_intercept(s.left), out);
    const Fit right = refine_node(map, leaves, cap, 2 * id + 2, current + leaf_constant_or_intercept(s.right), out);
    weight = left.weight + right.weight;
    if (weight > 0.0f) value = std::clamp((left.sum + right.sum) / weight, -cap, cap);
  }
  out[id] = value;
  return {weight * value, weight};
}

// The sweep written out directly: tree by tree, every residual from the production walk over the
// current trees, each leaf at its rows' weighted mean residual; the root's output stays 0.
std::vector<TrainedStump> reference_regression(std::vector<TrainedStump> stumps, const std::vector<std::size_t>& counts,
                                               const core::BinnedMatrix& binned, const std::vector<float>& targets,
                                               const std::vector<float>& weights, float base, float cap) {
  std::size_t offset = 0;
  for (std::size_t count : counts) {
    if (count == 0) continue;
    std::vector<float> all(binned.row_count, 0.0f), tree(binned.row_count, 0.0f);
    apply_tree_to_binned_predictions(all, binned, stumps, std::nullopt);
    const std::span<TrainedStump> round = std::span(stumps).subspan(offset, count);
    apply_round_stumps_tree_walk(tree, binned, round, std::nullopt);
    StumpById map;
    for (const TrainedStump& s : round) map[s.node_id & 0xFFFFFu] = &s;
    std::map<std::uint32_t, Fit> leaves;
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      std::uint32_t id = 0;
      while (map.count(id) != 0) {
        const TrainedStump& s = *map.at(id);
        id = 2 * id + (routes_left(s, binned.bins.at(row * 3 + s.feature_index), binned.missing_bin) ? 1 : 2);
      }
      const float residual = ((targets[row] - base) - (all[row] - tree[row])) / round[0].tree_weight;
      leaves[id].sum += weights[row] * residual;
      leaves[id].weight += weights[row];
    }
    std::map<std::uint32_t, float> out{{0, 0.0f}};
    const TrainedStump& root = *map.at(0);
    refine_node(map, leaves, cap, 1, leaf_constant_or_intercept(root.left), out);
    refine_node(map, leaves, cap, 2, leaf_constant_or_intercept(root.right), out);
    for (TrainedStump& s : round) {
      const std::uint32_t id = s.node_id & 0xFFFFFu;
      s.left = out.at(2 * id + 1) - out.at(id);
      s.right = out.at(2 * id + 2) - out.at(id);
    }
    offset += count;
  }
  return stumps;
}

std::vector<std::pair<float, float>> increments_of(const std::vector<TrainedStump>& stumps) {
  std::vector<std::pair<float, float>> out;
  for (const TrainedStump& s : stumps) out.push_back({leaf_constant_or_intercept(s.left), leaf_constant_or_intercept(s.right)});
  return out;
}

TEST(RefineRegression, BackfittingMatchesADirectComputation) {
  const std::size_t rows = 90;
  const core::BinnedMatrix binned = random_matrix(rows, 11);
  const std::vector<float> targets = random_values(rows, 12, -1.0f, 2.0f);
  const std::vector<float> weights = random_values(rows, 13, 0.2f, 3.0f);
  const std::vector<float> unit(rows, 1.0f);
  const std::vector<std::size_t> counts{5, 0, 2, 1};
  for (float cap : {kCap, 0.3f}) {
    for (bool weighted : {false, true}) {
      std::vector<TrainedStump> stumps = three_trees();
      const auto expected = increments_of(
          reference_regression(stumps, counts, binned, targets, weighted ? weights : unit, 0.25f, cap));
      refine_regression_leaf_values(targets, weighted ? objectives::Weights(weights) : std::nullopt, binned, stumps,
                                    counts, 0.25f, cap);
      const auto got = increments_of(stumps);
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].first, expected[i].first, 2e-5f) << "stump " << i;
        EXPECT_NEAR(got[i].second, expected[i].second, 2e-5f) << "stump " << i;
      }
      EXPECT_TRUE(std::holds_alternative<float>(stumps[7].left));  // the linear leaf became a constant
    }
  }
  // A tree at weight zero contributes nothing to fit: it is left as it was.
  std::vector<TrainedStump> silent{split(0, 0, 2, 9.0f, 8.0f)};
  silent[0].tree_weight = 0.0f;
  refine_regression_leaf_values(targets, std::nullopt, binned, silent, std::vector<std::size_t>{1}, 0.5f, kCap);
  EXPECT_EQ(increments_of(silent), increments_of({split(0, 0, 2, 9.0f, 8.0f)}));
}

// The joint pass refines only the quantile outputs' entries of multi-output stumps, as the
// single-output pass refines a tree, but without learning rate or bound.
TEST(RefineJoint, QuantileEntriesAreRefinedAsASingleOutputTreeWithoutBound) {
  const core::BinnedMatrix binned = random_matrix(50, 51);
  std::vector<TrainedStump> tree = three_trees();
  tree.resize(5);
  for (TrainedStump& s : tree) {
    s.multi_output = MultiOutputValues{{0.1f, leaf_constant_or_intercept(s.left)}, {-0.3f, leaf_constant_or_intercept(s.right)}};
  }
  const std::vector<float> t0 = random_values(50, 52, -1.0f, 1.0f), t1 = random_values(50, 53, 2e6f, 4e6f);
  const std::vector<std::vector<float>> predictions{random_values(50, 54, -1.0f, 1.0f), random_values(50, 55, -1.0f, 1.0f)};
  std::vector<TrainedStump> single = tree;
  refine_quantile_leaf_values(single, binned, predictions[1], t1, std::nullopt, std::nullopt,
                              {0.9f, 1.0f, std::numeric_limits<float>::infinity(), std::nullopt});
  const std::vector<TrainedStump> before = tree;
  refine_joint_quantile_leaves(tree, binned, predictions, std::vector<std::span<const float>>{t0, t1},
                               std::vector{joint::JointObjective{}, joint::JointObjective::quantile(0.9f)});
  for (std::size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(increments_of({tree[i]}), increments_of({before[i]}));  // the scalar sides stay
    EXPECT_EQ(tree[i].multi_output->left[0], 0.1f);
    EXPECT_NEAR(tree[i].multi_output->left[1], leaf_constant_or_intercept(single[i].left), 1.0f) << i;
    EXPECT_NEAR(tree[i].multi_output->right[1], leaf_constant_or_intercept(single[i].right), 1.0f) << i;
  }
  EXPECT_GT(std::fabs(tree[0].multi_output->left[1]), 1e6f);
}

}  // namespace
}  // namespace kestrune::engine
