#include "shap/tree_shap.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "parallel/parallel.hpp"
#include "shap/additivity.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

constexpr std::size_t kRowsPerChunk = 8;

// One node of a tree form: a split (stump set) or a leaf carrying the sum of the side values on
// its path. Children come after their parent in the tree's node list.
struct TsNode {
  const engine::TrainedStump* stump = nullptr;
  std::int32_t left = -1;
  std::int32_t right = -1;
  double value = 0.0;          // leaves only
  double left_fraction = 0.5;  // splits only: the left side's share of the training rows
};

struct TsTree {
  std::vector<TsNode> nodes;  // pre-order from the root
  std::size_t depth = 0;      // splits on the longest path
};

struct PathElement {
  std::int32_t feature = -1;
  double zero_fraction = 0.0;
  double one_fraction = 0.0;
  double weight = 0.0;
};

TsTree build_tree(const StumpIndex& index, std::uint32_t tree, const engine::TrainedModel& model) {
  TsTree out;
  auto visit = [&](auto& self, std::uint64_t local_id, double path_value, std::size_t depth) -> std::int32_t {
    const auto position = static_cast<std::int32_t>(out.nodes.size());
    const engine::TrainedStump* stump = index.find(tree, local_id);
    out.nodes.emplace_back();
    if (stump == nullptr) {
      out.nodes.back().value = path_value;
      return position;
    }
    out.depth = std::max(out.depth, depth + 1);
    // The same cover rule as the exact explainer, equal halves where no training row was counted.
    const auto l = static_cast<double>(stump->left_stats.count);
    const auto r = static_cast<double>(stump->right_stats.count);
    out.nodes.back().stump = stump;
    out.nodes.back().left_fraction = l + r > 0.0 ? l / (l + r) : 0.5;
    const double left_value = side_value_at_baseline(stump->left, model.feature_baseline);
    const double right_value = side_value_at_baseline(stump->right, model.feature_baseline);
    const std::int32_t left = self(self, 2 * local_id + 1, path_value + left_value, depth + 1);
    const std::int32_t right = self(self, 2 * local_id + 2, path_value + right_value, depth + 1);
    out.nodes[static_cast<std::size_t>(position)].left = left;
    out.nodes[static_cast<std::size_t>(position)].right = right;
    return position;
  };
  visit(visit, 0, 0.0, 0);
  return out;
}

double expected_tree_value(const TsTree& tree, std::int32_t position) {
  const TsNode& node = tree.nodes[static_cast<std::size_t>(position)];
  if (node.stump == nullptr) return node.value;
  return node.left_fraction * expected_tree_value(tree, node.left) +
         (1.0 - node.left_fraction) * expected_tree_value(tree, node.right);
}

// EXTEND: element d joins the path, and every subset size's weight is carried forward.
void extend_path(PathElement* path, std::size_t d, double zero, double one, std::int32_t feature) {
  path[d] = {feature, zero, one, d == 0 ? 1.0 : 0.0};
  const auto n = static_cast<double>(d + 1);
  for (std::size_t i = d; i-- > 0;) {
    path[i + 1].weight += one * path[i].weight * static_cast<double>(i + 1) / n;
    path[i].weight = zero * path[i].weight * static_cast<double>(d - i) / n;
  }
}

// UNWIND: undoes the extension by element k of a path whose last element is l.
void unwind_path(PathElement* path, std::size_t l, std::size_t k) {
  const double one = path[k].one_fraction;
  const double zero = path[k].zero_fraction;
  const auto n = static_cast<double>(l + 1);
  double next = path[l].weight;
  for (std::size_t j = l; j-- > 0;) {
    if (one != 0.0) {
      const double t = path[j].weight;
      path[j].weight = next * n / (static_cast<double>(j + 1) * one);
      next = t - path[j].weight * zero * static_cast<double>(l - j) / n;
    } else {
      path[j].weight = path[j].weight * n / (zero * static_cast<double>(l - j));
    }
  }
  for (std::size_t i = k; i < l; ++i) {
    path[i].feature = path[i + 1].feature;
    path[i].zero_fraction = path[i + 1].zero_fraction;
    path[i].one_fraction = path[i + 1].one_fraction;
  }
}

// UNWOUND-PATH-SUM: the total weight of the path with element k unwound, without changing it.
double unwound_path_sum(const PathElement* path, std::size_t l, std::size_t k) {
  const double one = path[k].one_fraction;
  const double zero = path[k].zero_fraction;
  const auto n = static_cast<double>(l + 1);
  double next = path[l].weight;
  double total = 0.0;
  for (std::size_t j = l; j-- > 0;) {
    if (one != 0.0) {
      const double t = next * n / (static_cast<double>(j + 1) * one);
      total += t;
      next = path[j].weight - t * zero * (static_cast<double>(l - j) / n);
    } else if (zero != 0.0) {
      total += path[j].weight / (zero * (static_cast<double>(l - j) / n));
    }
  }
  return total;
}

struct RowWalk {
  const TsTree& tree;
  std::span<const float> row;
  const BinningContext* binning;
  PathElement* slabs;  // one slab of `width` elements per recursion level
  std::size_t width;
  std::span<double> phi;
};

void recurse(const RowWalk& walk, std::int32_t position, std::size_t level, std::size_t d, double zero, double one,
             std::int32_t feature) {
  PathElement* path = walk.slabs + level * walk.width;
  if (level > 0) std::copy_n(path - walk.width, d, path);
  extend_path(path, d, zero, one, feature);
  const TsNode& node = walk.tree.nodes[static_cast<std::size_t>(position)];
  if (node.stump == nullptr) {
    for (std::size_t i = 1; i <= d; ++i) {
      const double w = unwound_path_sum(path, d, i);
      walk.phi[static_cast<std::size_t>(path[i].feature)] +=
          w * (path[i].one_fraction - path[i].zero_fraction) * node.value;
    }
    return;
  }
  const engine::TrainedStump& stump = *node.stump;
  const float x = stump.feature_index < walk.row.size() ? walk.row[stump.feature_index]
                                                        : std::numeric_limits<float>::quiet_NaN();
  const bool go_left = stump_goes_left(stump, walk.binning, x);
  const std::int32_t hot = go_left ? node.left : node.right;
  const std::int32_t cold = go_left ? node.right : node.left;
  const double hot_fraction = go_left ? node.left_fraction : 1.0 - node.left_fraction;
  const double cold_fraction = 1.0 - hot_fraction;
  const auto split_feature = static_cast<std::int32_t>(stump.feature_index);
  double incoming_zero = 1.0;
  double incoming_one = 1.0;
  std::size_t k = 1;
  while (k <= d && path[k].feature != split_feature) ++k;
  if (k <= d) {
    // A feature met again on the path is counted once: its earlier element is taken out and its
    // fractions carried into this split's children.
    incoming_zero = path[k].zero_fraction;
    incoming_one = path[k].one_fraction;
    unwind_path(path, d, k);
    --d;
  }
  // A child that neither the row nor any training row reaches weighs nothing in any subset; its
  // zero weights could not be unwound again, so it is skipped.
  if (hot_fraction * incoming_zero != 0.0 || incoming_one != 0.0) {
    recurse(walk, hot, level + 1, d + 1, hot_fraction * incoming_zero, incoming_one, split_feature);
  }
  if (cold_fraction * incoming_zero != 0.0) {
    recurse(walk, cold, level + 1, d + 1, cold_fraction * incoming_zero, 0.0, split_feature);
  }
}

}  // namespace

ShapExplanationBatch explain_rows_tree_shap(const engine::TrainedModel& model,
                                            std::span<const std::vector<float>> rows, const BinningContext* binning,
                                            std::span<const std::vector<float>> value_rows) {
  support::invariant(value_rows.empty() || value_rows.size() == rows.size(), "one value row per explained row");
  check_split_features(model);
  const StumpIndex index = index_stumps(model);
  std::vector<TsTree> trees;
  std::size_t max_depth = 0;
  double expected = model.base_prediction;
  for (const std::uint32_t tree : index.root_trees) {
    trees.push_back(build_tree(index, tree, model));
    max_depth = std::max(max_depth, trees.back().depth);
    expected += expected_tree_value(trees.back(), 0);
  }
  const bool linear = has_linear_leaves(model);
  ShapExplanationBatch batch;
  batch.expected_value = static_cast<float>(expected);
  batch.values.resize(rows.size());
  // A path holds at most one element per split plus the root's; a level per split plus the leaf's.
  const std::size_t width = max_depth + 2;
  parallel::parallel_for_chunks(rows.size(), kRowsPerChunk, [&](std::size_t first, std::size_t last) {
    std::vector<PathElement> slabs(width * width);
    std::vector<double> phi(model.feature_count);
    for (std::size_t r = first; r < last; ++r) {
      const std::span<const float> row = rows[r];
      const std::span<const float> value_row = value_rows.empty() ? row : std::span<const float>(value_rows[r]);
      std::fill(phi.begin(), phi.end(), 0.0);
      for (const TsTree& tree : trees) recurse({tree, row, binning, slabs.data(), width, phi}, 0, 0, 0, 1.0, 1.0, -1);
      if (linear) distribute_linear_terms_for_row(index, row, value_row, model.feature_baseline, binning, phi);
      std::vector<float> values(phi.size());
      for (std::size_t j = 0; j < phi.size(); ++j) values[j] = static_cast<float>(phi[j]);
      verify_additivity(model, index, row, value_row, values, r, binning, batch.expected_value);
      batch.values[r] = std::move(values);
    }
  });
  return batch;
}

}  // namespace kestrune::shap
