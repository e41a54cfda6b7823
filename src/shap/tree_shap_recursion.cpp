#include "shap/tree_shap_recursion.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "shap/linear_leaf.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

double expected_subtree_value(const StdTree& tree, std::int32_t position) {
  const StdTreeNode& node = tree.nodes[static_cast<std::size_t>(position)];
  if (node.stump == nullptr) return node.value;
  return node.left_fraction * expected_subtree_value(tree, node.left) +
         (1.0 - node.left_fraction) * expected_subtree_value(tree, node.right);
}

// The inner loops below multiply by reciprocals (`inv[k]` is 1/k) and by quotients hoisted out of
// the loop: a division per element would otherwise sit on each loop's dependency chain.

// EXTEND: element d joins the path, and every subset size's weight is carried forward.
void ts_extend_path(PathElement* path, std::size_t d, double zero, double one, std::int32_t feature, const double* inv) {
  path[d] = {feature, zero, one, d == 0 ? 1.0 : 0.0};
  const double zero_share = zero * inv[d + 1];
  const double one_share = one * inv[d + 1];
  for (std::size_t i = d; i-- > 0;) {
    const double w = path[i].weight;
    path[i + 1].weight += one_share * w * static_cast<double>(i + 1);
    path[i].weight = zero_share * w * static_cast<double>(d - i);
  }
}

// UNWIND: undoes the extension by element k of a path whose last element is l.
void ts_unextend_path(PathElement* path, std::size_t l, std::size_t k, const double* inv) {
  const double one = path[k].one_fraction;
  const double zero = path[k].zero_fraction;
  const auto n = static_cast<double>(l + 1);
  if (one != 0.0) {
    const double n_over_one = n / one;
    const double zero_over_n = zero * inv[l + 1];
    double next = path[l].weight;
    for (std::size_t j = l; j-- > 0;) {
      const double t = path[j].weight;
      path[j].weight = next * n_over_one * inv[j + 1];
      next = t - path[j].weight * zero_over_n * static_cast<double>(l - j);
    }
  } else {
    const double n_over_zero = n / zero;
    for (std::size_t j = l; j-- > 0;) path[j].weight = path[j].weight * n_over_zero * inv[l - j];
  }
  for (std::size_t i = k; i < l; ++i) {
    path[i].feature = path[i + 1].feature;
    path[i].zero_fraction = path[i + 1].zero_fraction;
    path[i].one_fraction = path[i + 1].one_fraction;
  }
}

// UNWOUND-PATH-SUM: the total weight of the path with element k unwound, without changing it.
double ts_unwound_path_sum(const PathElement* path, std::size_t l, std::size_t k, const double* inv) {
  const double one = path[k].one_fraction;
  const double zero = path[k].zero_fraction;
  const auto n = static_cast<double>(l + 1);
  double total = 0.0;
  if (one != 0.0) {
    const double n_over_one = n / one;
    const double zero_over_n = zero * inv[l + 1];
    double next = path[l].weight;
    for (std::size_t j = l; j-- > 0;) {
      const double t = next * n_over_one * inv[j + 1];
      total += t;
      next = path[j].weight - t * zero_over_n * static_cast<double>(l - j);
    }
  } else if (zero != 0.0) {
    const double n_over_zero = n / zero;
    for (std::size_t j = l; j-- > 0;) total += path[j].weight * n_over_zero * inv[l - j];
  }
  return total;
}

struct RowWalk {
  const StdTree& tree;
  std::span<const float> row;
  const BinningContext* binning;
  std::int32_t condition_feature;  // -1 for a plain pass
  PathElement* slabs;              // one slab of `width` elements per recursion level
  std::size_t width;
  const double* inv;               // 1/k for k in [0, width]
  std::span<double> phi;      // plain pass, or conditioned on
  std::span<double> phi_off;  // conditioned off
};

// The share of the row's weight that the condition leaves to a subtree, conditioned on and off.
struct ConditionFractions {
  double on = 1.0;
  double off = 1.0;
};

// What a plain pass carries instead: nothing, so that its recursion passes no unused arguments.
struct NoCondition {};

template <bool kConditioned>
using Fractions = std::conditional_t<kConditioned, ConditionFractions, NoCondition>;

// One level of the recursion. Conditioned passes carry the shares the condition leaves to this
// subtree: the conditioned feature never enters the path (its value is known, or unknown, for
// every subset alike), and at its splits the share follows the row's side (on) or the training
// rows (off) instead. A share of exactly 0 adds nothing; a subtree is left once both are 0.
template <bool kConditioned>
void ts_recurse(const RowWalk& walk, std::int32_t position, std::size_t level, std::size_t d, double zero, double one,
             std::int32_t feature, Fractions<kConditioned> condition) {
  if constexpr (kConditioned) {
    if (condition.on == 0.0 && condition.off == 0.0) return;
  }
  PathElement* path = walk.slabs + level * walk.width;
  const bool extend = !kConditioned || feature != walk.condition_feature;
  if (level > 0) std::copy_n(path - walk.width, extend ? d : d + 1, path);
  if (extend) ts_extend_path(path, d, zero, one, feature, walk.inv);
  const StdTreeNode& node = walk.tree.nodes[static_cast<std::size_t>(position)];
  if (node.stump == nullptr) {
    for (std::size_t i = 1; i <= d; ++i) {
      const double w = ts_unwound_path_sum(path, d, i, walk.inv);
      const double contribution = w * (path[i].one_fraction - path[i].zero_fraction) * node.value;
      const auto f = static_cast<std::size_t>(path[i].feature);
      if constexpr (kConditioned) {
        walk.phi[f] += contribution * condition.on;
        walk.phi_off[f] += contribution * condition.off;
      } else {
        walk.phi[f] += contribution;
      }
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
    ts_unextend_path(path, d, k, walk.inv);
    --d;
  }
  std::size_t child_d = d + 1;
  Fractions<kConditioned> hot_condition = condition;
  Fractions<kConditioned> cold_condition = condition;
  if constexpr (kConditioned) {
    if (split_feature == walk.condition_feature) {
      // The children keep this path as it is (no element for the conditioned feature).
      child_d = d;
      cold_condition.on = 0.0;
      hot_condition.off *= hot_fraction;
      cold_condition.off *= cold_fraction;
    }
  }
  // A child that neither the row nor any training row reaches weighs nothing in any subset; its
  // zero weights could not be unwound again, so it is skipped.
  if (hot_fraction * incoming_zero != 0.0 || incoming_one != 0.0) {
    ts_recurse<kConditioned>(walk, hot, level + 1, child_d, hot_fraction * incoming_zero, incoming_one, split_feature,
                          hot_condition);
  }
  if (cold_fraction * incoming_zero != 0.0) {
    ts_recurse<kConditioned>(walk, cold, level + 1, child_d, cold_fraction * incoming_zero, 0.0, split_feature,
                          cold_condition);
  }
}

}  // namespace

PathScratch::PathScratch(std::size_t max_depth)
    : width_(max_depth + 2), slabs_(width_ * width_), reciprocals_(width_ + 1, 0.0) {
  for (std::size_t k = 1; k <= width_; ++k) reciprocals_[k] = 1.0 / static_cast<double>(k);
}

StdTree build_std_tree(const StumpIndex& index, std::uint32_t tree, const engine::TrainedModel& model) {
  StdTree out;
  auto visit = [&](auto& self, std::uint64_t local_id, double path_value, std::size_t depth) -> std::int32_t {
    const auto position = static_cast<std::int32_t>(out.nodes.size());
    const engine::TrainedStump* stump = index.find(tree, local_id);
    out.nodes.emplace_back();
    if (stump == nullptr) {
      out.nodes.back().value = path_value;
      return position;
    }
    out.depth = std::max(out.depth, depth + 1);
    out.features.push_back(stump->feature_index);
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
  std::sort(out.features.begin(), out.features.end());
  out.features.erase(std::unique(out.features.begin(), out.features.end()), out.features.end());
  return out;
}

double expected_tree_value(const StdTree& tree) { return expected_subtree_value(tree, 0); }

ModelTreeForms build_model_tree_forms(const StumpIndex& index, const engine::TrainedModel& model) {
  ModelTreeForms forms;
  double expected = model.base_prediction;
  for (const std::uint32_t tree : index.root_trees) {
    forms.trees.push_back(build_std_tree(index, tree, model));
    forms.max_depth = std::max(forms.max_depth, forms.trees.back().depth);
    expected += expected_tree_value(forms.trees.back());
  }
  forms.expected_value = static_cast<float>(expected);
  return forms;
}

void add_tree_shap(const StdTree& tree, std::span<const float> row, const BinningContext* binning, PathScratch& scratch,
                   std::span<double> phi) {
  support::invariant(tree.depth + 2 <= scratch.width(), "path scratch holds the deepest tree");
  const RowWalk walk{tree, row, binning, -1, scratch.data(), scratch.width(), scratch.reciprocals(), phi, {}};
  ts_recurse<false>(walk, 0, 0, 0, 1.0, 1.0, -1, {});
}

void tree_shap_row(const ModelTreeForms& forms, std::span<const float> row, const BinningContext* binning,
                   PathScratch& scratch, std::span<double> phi) {
  std::fill(phi.begin(), phi.end(), 0.0);
  for (const StdTree& tree : forms.trees) add_tree_shap(tree, row, binning, scratch, phi);
}

void add_tree_shap_conditioned(const StdTree& tree, std::span<const float> row, const BinningContext* binning,
                               std::uint32_t feature, PathScratch& scratch, std::span<double> phi_on,
                               std::span<double> phi_off) {
  support::invariant(tree.depth + 2 <= scratch.width(), "path scratch holds the deepest tree");
  support::invariant(feature < phi_on.size() && phi_on.size() == phi_off.size(), "one entry per model feature");
  const RowWalk walk{tree, row, binning, static_cast<std::int32_t>(feature), scratch.data(), scratch.width(),
                     scratch.reciprocals(), phi_on, phi_off};
  ts_recurse<true>(walk, 0, 0, 0, 1.0, 1.0, -1, {});
}

}  // namespace kestrune::shap
