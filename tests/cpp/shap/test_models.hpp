// Small random models shared by the explainer tests (ragged trees of constant sides over a few
// features, some zero row counts, splits on whole bins 0..kTopBin) and the independent float64
// reference: the value v(S) of every feature subset, computed from the stored stumps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "engine/trained_model.hpp"

namespace kestrune::shap::test_models {

using engine::TrainedModel;
using engine::TrainedStump;
using Rows = std::vector<std::vector<float>>;
inline constexpr std::size_t kFeatures = 6;
inline constexpr int kTopBin = 9;

inline std::vector<TrainedStump> random_trees(std::mt19937& rng, int trees, int depth, std::uint32_t features) {
  std::uniform_int_distribution<int> value(-64, 64), count(0, 40), bin(0, kTopBin - 1);
  std::vector<TrainedStump> stumps;
  for (int t = 0; t < trees; ++t) {
    for (std::uint32_t local = 0; local + 1 < (1u << depth); ++local) {
      if (local > 0 && rng() % 5 == 0) continue;  // ragged trees: some subtrees end early
      TrainedStump s;
      s.node_id = (std::uint32_t(t) << 20) | local;
      s.feature_index = rng() % features;
      s.split_bin = std::uint16_t(bin(rng));
      s.default_left = rng() % 2;
      s.left = value(rng) / 64.0f;
      s.right = value(rng) / 64.0f;
      s.left_stats.count = count(rng);
      s.right_stats.count = rng() % 7 == 0 ? 0 : count(rng);
      stumps.push_back(s);
    }
  }
  return stumps;
}

inline core::LinearLeaf linear_leaf(std::mt19937& rng, float intercept) {
  core::LinearLeaf leaf;
  leaf.intercept = intercept;
  for (std::uint32_t f : {std::uint32_t(rng() % kFeatures), std::uint32_t(rng() % kFeatures)}) {
    leaf.feature_indices.push_back(f);
    leaf.coefficients.push_back(float(int(rng() % 33) - 16) / 32.0f);
  }
  return leaf;
}

inline TrainedModel single_model(std::vector<TrainedStump> stumps, std::uint32_t features = kFeatures) {
  TrainedModel m;
  m.stumps = std::move(stumps);
  m.feature_count = features;
  m.base_prediction = 0.25f;
  return m;
}

// Rows of whole bin numbers 0..kTopBin.
inline Rows random_rows(std::mt19937& rng, std::size_t count, std::size_t features) {
  Rows rows(count);
  for (auto& row : rows) {
    for (std::size_t f = 0; f < features; ++f) row.push_back(float(rng() % (kTopBin + 1)));
  }
  return rows;
}

// --- independent reference -------------------------------------------------------------------

struct RefInput {
  const std::vector<TrainedStump>* stumps;
  double base;
  std::optional<std::vector<float>> baseline;  // linear leaves are valued at the baseline
  std::optional<std::size_t> joint_output;     // stored node values of this output instead of increments
};

using RefTree = std::map<std::uint32_t, const TrainedStump*>;  // by local id

inline double side_at_baseline(const core::LeafValue& side, const std::optional<std::vector<float>>& baseline) {
  if (const float* c = std::get_if<float>(&side)) return *c;
  const auto& leaf = std::get<core::LinearLeaf>(side);
  double v = leaf.intercept;
  if (baseline) {
    for (std::size_t k = 0; k < leaf.coefficients.size(); ++k) v += double(leaf.coefficients[k]) * (*baseline)[leaf.feature_indices[k]];
  }
  return v;
}

// v(S) of one tree: the row decides the branches of known features, row counts weigh the others.
inline double ref_tree_value(const RefInput& in, const RefTree& tree, std::uint32_t id, const std::vector<float>& route,
                             unsigned known) {
  const auto it = tree.find(id);
  if (it == tree.end()) return 0.0;
  const TrainedStump& s = *it->second;
  auto side = [&](bool left) {
    const std::uint32_t child = 2 * id + (left ? 1 : 2);
    if (in.joint_output) {
      if (tree.count(child)) return ref_tree_value(in, tree, child, route, known);
      return double((left ? s.multi_output->left : s.multi_output->right)[*in.joint_output]);
    }
    return double(s.tree_weight) * side_at_baseline(left ? s.left : s.right, in.baseline) +
           ref_tree_value(in, tree, child, route, known);
  };
  if (known & (1u << s.feature_index)) return side(route[s.feature_index] <= s.split_bin);
  const double l = s.left_stats.count, r = s.right_stats.count;
  const double w = l + r > 0 ? l / (l + r) : 0.5;
  return w * side(true) + (1 - w) * side(false);
}

inline std::map<std::uint32_t, RefTree> ref_trees(const std::vector<TrainedStump>& stumps) {
  std::map<std::uint32_t, RefTree> trees;
  for (const TrainedStump& s : stumps) trees[s.node_id >> 20][s.node_id & 0xFFFFF] = &s;
  return trees;
}

// v(S) for every subset S of the row's features, indexed by bit mask.
inline std::vector<double> subset_values(const RefInput& in, const std::vector<float>& route) {
  const auto trees = ref_trees(*in.stumps);
  std::vector<double> v(std::size_t{1} << route.size(), in.base);
  for (unsigned s = 0; s < v.size(); ++s) {
    for (const auto& [index, tree] : trees) v[s] += ref_tree_value(in, tree, 0, route, s);
  }
  return v;
}

// |S|! (n - |S| - 1 - extra)! / (n - extra)!: the Shapley weight (extra 0) and, halved, the
// interaction index weight (extra 1).
inline double shapley_weight(unsigned size, unsigned n, unsigned extra = 0) {
  return std::tgamma(size + 1) * std::tgamma(n - size - extra) / std::tgamma(n + 1 - extra);
}

inline std::vector<double> shapley_values(const std::vector<double>& v, unsigned n) {
  std::vector<double> phi(n, 0.0);
  for (unsigned j = 0; j < n; ++j) {
    for (unsigned s = 0; s < v.size(); ++s) {
      if (!(s & (1u << j))) phi[j] += shapley_weight(__builtin_popcount(s), n) * (v[s | (1u << j)] - v[s]);
    }
  }
  return phi;
}

}  // namespace kestrune::shap::test_models
