#include "engine/leaf_refinement.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>

#include "engine/error.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/routing.hpp"
#include "engine/tree_node.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {

namespace {

constexpr int kLeft = 0;
constexpr int kRight = 1;
constexpr std::ptrdiff_t kLeaf = -1;

// ---- one tree, by local id ----

struct TreeNode {
  const TrainedStump* stump = nullptr;
  std::uint32_t id = 0;
  std::array<std::ptrdiff_t, 2> child{kLeaf, kLeaf};  // index of the child's node, or kLeaf
  std::array<std::uint32_t, 2> child_id{0, 0};
  std::array<bool, 2> child_id_overflows{false, false};
};

// The stumps of one tree keyed by local id (a later stump with the same id replaces an earlier
// one), with every node's children looked up once. Each child side of a node is a "slot",
// numbered 2 * node + side: a slot without a child node is a leaf, and the leaf's id is the slot's
// child id, so per-leaf data lives in flat per-slot arrays.
class StumpMap {
 public:
  StumpMap(std::span<const TrainedStump> stumps, bool mask_ids) : mask_ids_(mask_ids) {
    index_.reserve(stumps.size());
    for (const TrainedStump& stump : stumps) {
      const auto [found, inserted] = index_.try_emplace(key_of(stump), nodes_.size());
      if (inserted) {
        nodes_.push_back(TreeNode{.stump = &stump, .id = key_of(stump)});
      } else {
        nodes_[found->second].stump = &stump;
      }
    }
    for (TreeNode& node : nodes_) {
      // Ids whose children do not fit 32 bits are reported only when a walk or a fill needs them.
      node.child_id_overflows = {node.id >= (1u << 31), node.id > 0x7FFFFFFEu};
      for (int side : {kLeft, kRight}) {
        if (node.child_id_overflows[side]) continue;
        node.child_id[side] = 2 * node.id + 1 + static_cast<std::uint32_t>(side);
        const auto child = index_.find(node.child_id[side]);
        if (child != index_.end()) node.child[side] = static_cast<std::ptrdiff_t>(child->second);
      }
    }
    const auto root = index_.find(0);
    if (root != index_.end()) root_ = root->second;
  }

  std::uint32_t key_of(const TrainedStump& stump) const {
    return mask_ids_ ? local_id_of(stump.node_id) : stump.node_id;
  }
  std::size_t index_of(const TrainedStump& stump) const {
    const auto found = index_.find(key_of(stump));
    support::invariant(found != index_.end(), "stump missing from its own tree map");
    return found->second;
  }
  std::optional<std::size_t> root() const { return root_; }
  const TreeNode& node(std::size_t i) const { return nodes_[i]; }
  std::size_t size() const { return nodes_.size(); }
  std::size_t slot_count() const { return 2 * nodes_.size(); }

  // The child-id overflow errors of node i, left side first.
  void check_child_ids(std::size_t i) const {
    if (nodes_[i].child_id_overflows[kLeft]) (void)left_child_node_id(nodes_[i].id);
    if (nodes_[i].child_id_overflows[kRight]) (void)right_child_node_id(nodes_[i].id);
  }
  void check_child_id(std::size_t i, int side) const {
    if (!nodes_[i].child_id_overflows[side]) return;
    if (side == kLeft) {
      (void)left_child_node_id(nodes_[i].id);
    } else {
      (void)right_child_node_id(nodes_[i].id);
    }
  }

 private:
  bool mask_ids_;
  std::unordered_map<std::uint32_t, std::size_t> index_;
  std::vector<TreeNode> nodes_;
  std::optional<std::size_t> root_;
};

std::size_t slot_of(std::size_t node, int side) { return 2 * node + static_cast<std::size_t>(side); }

const core::LeafValue& side_value(const TrainedStump& stump, int side) {
  return side == kLeft ? stump.left : stump.right;
}

// ---- the row walk ----

// Routes `row` from the root to the terminal node it ends in, calling on_step(node, side) at
// every stump passed. The terminal is returned as its slot (its local id is the slot's child id),
// which indexes the per-leaf data directly.
template <typename Code, typename OnStep>
std::size_t terminal_local_node_id_for_row(std::size_t row, const core::BinnedMatrix& binned,
                                           std::span<const Code> codes, const StumpMap& map, OnStep&& on_step) {
  const std::optional<std::size_t> root = map.root();
  if (!root) throw EngineError::contract_violation("tree is missing split for local node 0");
  const std::size_t features = binned.feature_count;
  const std::optional<std::size_t> row_base = support::checked_mul(row, features);
  std::size_t current = *root;
  for (;;) {
    const TreeNode& node = map.node(current);
    const TrainedStump& stump = *node.stump;
    if (stump.feature_index >= features) {
      throw EngineError::contract_violation("split feature_index " + std::to_string(stump.feature_index) +
                                            " exceeds feature_count " + std::to_string(features));
    }
    const std::optional<std::size_t> cell =
        row_base ? support::checked_add(*row_base, stump.feature_index) : std::nullopt;
    if (!cell) throw EngineError::contract_violation("binned cell index overflow");
    if (*cell >= codes.size()) {
      throw EngineError::contract_violation("binned cell index " + std::to_string(*cell) +
                                            " is out of bounds for bins length " + std::to_string(codes.size()));
    }
    const int side = routes_left(stump, codes[*cell], binned.missing_bin) ? kLeft : kRight;
    map.check_child_id(current, side);
    on_step(node, side);
    if (node.child[side] == kLeaf) return slot_of(current, side);
    current = static_cast<std::size_t>(node.child[side]);
  }
}

// ---- absolute outputs and their refinement ----

// Outputs by node and by slot; absent for what the tree walk from the root never reaches.
struct NodeOutputs {
  explicit NodeOutputs(const StumpMap& map) : node(map.size()), slot(map.slot_count()) {}
  std::vector<std::optional<float>> node;
  std::vector<std::optional<float>> slot;
};

// Enters the current absolute outputs of node i's children and of everything below them;
// child_output(stump, side, parent output) reads a side's current output.
template <typename ChildOutput>
void populate_child_absolute_outputs(const StumpMap& map, std::size_t i, NodeOutputs& outputs,
                                     const ChildOutput& child_output) {
  map.check_child_ids(i);
  const TreeNode& node = map.node(i);
  const float parent = outputs.node[i].value_or(0.0f);
  for (int side : {kLeft, kRight}) {
    const float value = child_output(*node.stump, side, parent);
    outputs.slot[slot_of(i, side)] = value;
    if (node.child[side] != kLeaf) outputs.node[static_cast<std::size_t>(node.child[side])] = value;
  }
  for (int side : {kLeft, kRight}) {
    if (node.child[side] != kLeaf) {
      populate_child_absolute_outputs(map, static_cast<std::size_t>(node.child[side]), outputs, child_output);
    }
  }
}

// Outputs holding only the root's, 0, when the tree has a root.
NodeOutputs outputs_with_root(const StumpMap& map) {
  NodeOutputs outputs(map);
  if (const std::optional<std::size_t> root = map.root()) outputs.node[*root] = 0.0f;
  return outputs;
}

float single_output_increment(const TrainedStump& stump, int side) {
  return leaf_constant_or_intercept(side_value(stump, side));
}

// A single-output side is an increment along the path: the child's output is its parent's plus it.
float single_output_child(const TrainedStump& stump, int side, float parent) {
  return parent + single_output_increment(stump, side);
}

// Entry k of a side's multi-output values (an entry beyond them is a bug). Unlike single-output
// sides, these are the child's own values, not increments: a row scores the K-vector of the last
// stump on its path, and so does every refinement of them.
float joint_value(const TrainedStump& stump, int side, std::size_t output) {
  const std::vector<float>& values = side == kLeft ? stump.multi_output->left : stump.multi_output->right;
  support::invariant(output < values.size(), "output index beyond a stump's multi-output values");
  return values[output];
}

void populate_child_absolute_outputs_joint(const StumpMap& map, std::size_t i, std::size_t output,
                                           NodeOutputs& outputs) {
  populate_child_absolute_outputs(map, i, outputs, [output](const TrainedStump& s, int side, float parent) {
    return s.multi_output ? joint_value(s, side, output) : single_output_child(s, side, parent);
  });
}

// The current absolute outputs of the whole tree, from the root's 0.
NodeOutputs single_output_absolute_outputs(const StumpMap& map) {
  NodeOutputs outputs = outputs_with_root(map);
  if (const std::optional<std::size_t> root = map.root()) {
    populate_child_absolute_outputs(map, *root, outputs, single_output_child);
  }
  return outputs;
}

// Bounds to [-cap, cap]; NaN passes through.
float clamp_to_cap(float value, float cap) {
  if (value < -cap) return -cap;
  if (value > cap) return cap;
  return value;
}

// What a leaf's rows say about its new output: a value (bounded afterwards) with its weight, or
// no value (the leaf keeps its current output) with the weight it passes upwards.
struct LeafFit {
  std::optional<float> value;
  float weight = 0.0f;
};

struct WeightedValue {
  float weighted = 0.0f;  // weight x value
  float weight = 0.0f;
};

// Fills the refined output of the child on `side` of node i and of everything below it; each
// terminal's fit comes from fit_leaf(slot). Returns (weight x value, weight) of the child.
template <typename FitLeaf>
WeightedValue fill_refined_subtree(const StumpMap& map, std::size_t i, int side, const NodeOutputs& absolute,
                                   NodeOutputs& refined, float cap, const FitLeaf& fit_leaf) {
  const std::size_t slot = slot_of(i, side);
  const std::ptrdiff_t child = map.node(i).child[side];
  float value = 0.0f;
  float weight = 0.0f;
  if (child == kLeaf) {
    const LeafFit fit = fit_leaf(slot);
    value = fit.value ? clamp_to_cap(*fit.value, cap) : absolute.slot[slot].value_or(0.0f);
    weight = fit.weight;
  } else {
    const std::size_t c = static_cast<std::size_t>(child);
    map.check_child_ids(c);
    const WeightedValue left = fill_refined_subtree(map, c, kLeft, absolute, refined, cap, fit_leaf);
    const WeightedValue right = fill_refined_subtree(map, c, kRight, absolute, refined, cap, fit_leaf);
    weight = left.weight + right.weight;
    value = weight > 0.0f ? clamp_to_cap((left.weighted + right.weighted) / weight, cap)
                          : absolute.node[c].value_or(0.0f);
    refined.node[c] = value;
  }
  refined.slot[slot] = value;
  return {weight * value, weight};
}

// ---- the mean fill (regression) ----

struct LeafSums {
  bool present = false;
  float sum = 0.0f;     // of weight x residual
  float weight = 0.0f;
};

// A terminal with rows of positive weight takes their weighted mean residual; one without keeps
// its current output and passes up the weight it has (0 when no row reached it).
WeightedValue fill_refined_subtree_absolute_output(const StumpMap& map, std::size_t i, int side,
                                                   std::span<const LeafSums> stats, const NodeOutputs& absolute,
                                                   NodeOutputs& refined, float cap) {
  return fill_refined_subtree(map, i, side, absolute, refined, cap, [&](std::size_t slot) {
    const LeafSums& leaf = stats[slot];
    if (leaf.present && leaf.weight > 0.0f) return LeafFit{leaf.sum / leaf.weight, leaf.weight};
    return LeafFit{std::nullopt, leaf.present ? leaf.weight : 0.0f};
  });
}

// ---- the quantile fill ----

struct LeafResiduals {
  std::vector<float> residuals;
  std::vector<float> weights;  // filled only when the rows are weighted
};

// The alpha-quantile fit of one leaf's residuals; errors of weighted_quantile pass unchanged.
LeafFit quantile_leaf_fit(const LeafResiduals& leaf, bool weighted, float alpha) {
  if (leaf.residuals.empty()) return {std::nullopt, 0.0f};
  if (!weighted) {
    return {objectives::weighted_quantile(leaf.residuals, std::nullopt, alpha),
            static_cast<float>(leaf.residuals.size())};
  }
  float total = 0.0f;
  for (float w : leaf.weights) total = total + w;
  if (!(total > 0.0f)) return {std::nullopt, 0.0f};
  return {objectives::weighted_quantile(leaf.residuals, std::span<const float>(leaf.weights), alpha), total};
}

WeightedValue fill_refined_subtree_quantile_absolute_output(const StumpMap& map, std::size_t i, int side,
                                                            std::span<const LeafResiduals> lists, bool weighted,
                                                            const NodeOutputs& absolute, NodeOutputs& refined,
                                                            float alpha, float cap) {
  return fill_refined_subtree(map, i, side, absolute, refined, cap,
                              [&](std::size_t slot) { return quantile_leaf_fit(lists[slot], weighted, alpha); });
}

// Fills below the root, left child first; the sums of the two children's pairs, (0, 0) for a
// tree without a root.
WeightedValue fill_refined_child_quantile_absolute_outputs(const StumpMap& map, std::span<const LeafResiduals> lists,
                                                           bool weighted, const NodeOutputs& absolute,
                                                           NodeOutputs& refined, float alpha, float cap) {
  const std::optional<std::size_t> root = map.root();
  if (!root) return {};
  const WeightedValue left =
      fill_refined_subtree_quantile_absolute_output(map, *root, kLeft, lists, weighted, absolute, refined, alpha, cap);
  const WeightedValue right =
      fill_refined_subtree_quantile_absolute_output(map, *root, kRight, lists, weighted, absolute, refined, alpha, cap);
  return {left.weighted + right.weighted, left.weight + right.weight};
}

// A single-output stump's new (left, right) increments: its children's refined outputs minus its
// own. A child outside the refined outputs keeps the stump's current increment over the stump's
// output.
std::pair<float, float> new_increments(const StumpMap& map, const TrainedStump& stump, const NodeOutputs& refined) {
  const std::size_t i = map.index_of(stump);
  const float parent = refined.node[i].value_or(0.0f);
  const std::optional<float> left = refined.slot[slot_of(i, kLeft)];
  const std::optional<float> right = refined.slot[slot_of(i, kRight)];
  const float l = left ? *left : single_output_child(stump, kLeft, parent);
  const float r = right ? *right : single_output_child(stump, kRight, parent);
  return {l - parent, r - parent};
}

// ---- shared checks ----

void check_target_and_weight_lengths(std::span<const float> targets, const objectives::Weights& weights,
                                     const core::BinnedMatrix& binned) {
  if (targets.size() != binned.row_count) {
    throw EngineError::contract_violation("targets length " + std::to_string(targets.size()) +
                                          " does not match binned row_count " + std::to_string(binned.row_count));
  }
  if (weights && weights->size() != targets.size()) {
    throw EngineError::contract_violation("weights length " + std::to_string(weights->size()) +
                                          " does not match targets length " + std::to_string(targets.size()));
  }
}

void check_cap(float cap) { support::invariant(cap >= 0.0f, "leaf refinement cap must be >= 0"); }

// ---- regression ----

// The base every residual starts from: one score for all rows, or one per row.
using RegressionStart = std::variant<float, std::span<const float>>;

float start_of(const RegressionStart& start, std::size_t row) {
  if (const float* base = std::get_if<float>(&start)) return *base;
  return std::get<std::span<const float>>(start)[row];
}

// The prediction walks take a bin read outside the matrix for a bug. Here the trees come from
// the caller: every row's walk is checked first, so that a malformed tree or matrix is reported
// as the caller's error before anything changes.
template <typename Code>
void check_row_walks(const StumpMap& map, std::span<const Code> codes, const core::BinnedMatrix& binned) {
  if (!map.root()) return;
  for (std::size_t row = 0; row < binned.row_count; ++row) {
    terminal_local_node_id_for_row(row, binned, codes, map, [](const TreeNode&, int) {});
  }
}

// Re-fits the tree `stumps` (a copy the caller will install) in place; `all` holds every refined
// tree's current contribution and is updated to the refined one.
template <typename Code>
void refine_regression_tree(std::vector<TrainedStump>& stumps, std::span<const Code> codes,
                            const core::BinnedMatrix& binned, std::span<const float> targets,
                            const objectives::Weights& weights, const RegressionStart& start, std::span<float> all,
                            float cap) {
  const StumpMap map(stumps, true);
  // The tree counts at its weight: its leaves are fitted so that weight x leaf meets the residuals.
  const float tree_weight = map.root() ? map.node(*map.root()).stump->tree_weight : 1.0f;
  if (!(std::isfinite(tree_weight) && tree_weight > 0.0f)) return;

  const std::size_t rows = binned.row_count;
  const std::vector<float> tree = tree_predictions_for_binned_rows(binned, stumps);
  const NodeOutputs absolute = single_output_absolute_outputs(map);
  std::vector<LeafSums> leaves(map.slot_count());
  for (std::size_t row = 0; row < rows; ++row) {
    const std::size_t slot = terminal_local_node_id_for_row(row, binned, codes, map, [](const TreeNode&, int) {});
    float residual = (targets[row] - start_of(start, row)) - (all[row] - tree[row]);
    if (tree_weight != 1.0f) residual = residual / tree_weight;
    const float w = weights ? (*weights)[row] : 1.0f;
    LeafSums& leaf = leaves[slot];
    leaf.present = true;
    leaf.sum = leaf.sum + w * residual;
    leaf.weight = leaf.weight + w;
  }
  NodeOutputs refined = outputs_with_root(map);
  if (const std::optional<std::size_t> root = map.root()) {
    fill_refined_subtree_absolute_output(map, *root, kLeft, leaves, absolute, refined, cap);
    fill_refined_subtree_absolute_output(map, *root, kRight, leaves, absolute, refined, cap);
  }

  for (TrainedStump& stump : stumps) {
    const auto [left, right] = new_increments(map, stump, refined);
    stump.left = left;
    stump.right = right;
  }
  const std::vector<float> refitted = tree_predictions_for_binned_rows(binned, stumps);
  for (std::size_t row = 0; row < rows; ++row) all[row] = all[row] + (refitted[row] - tree[row]);
}

void refine_regression(std::span<const float> targets, const objectives::Weights& weights,
                       const core::BinnedMatrix& binned, std::span<TrainedStump> stumps, std::size_t first,
                       const RegressionStart& start, std::span<const std::size_t> round_stump_counts, float cap) {
  check_cap(cap);
  std::size_t end = first;
  for (std::size_t count : round_stump_counts) {
    const std::optional<std::size_t> next = support::checked_add(end, count);
    if (!next) throw EngineError::contract_violation("round stump count overflow");
    if (*next > stumps.size()) throw EngineError::contract_violation("round stump counts exceed trained stump count");
    end = *next;
  }
  if (end != stumps.size()) throw EngineError::contract_violation("round stump counts do not cover all trained stumps");

  binned.bins.visit([&](auto codes) {
    std::vector<float> all(binned.row_count, 0.0f);
    std::size_t offset = first;
    for (std::size_t count : round_stump_counts) {
      const std::span<const TrainedStump> round = stumps.subspan(offset, count);
      check_row_walks(StumpMap(round, true), codes, binned);
      apply_tree_to_binned_predictions(all, binned, round, std::nullopt);
      offset += count;
    }
    offset = first;
    for (std::size_t count : round_stump_counts) {
      if (count > 0) {
        const std::span<TrainedStump> round = stumps.subspan(offset, count);
        // A copy, so a failing round leaves its stumps as they were.
        std::vector<TrainedStump> copy(round.begin(), round.end());
        refine_regression_tree(copy, codes, binned, targets, weights, start, all, cap);
        std::move(copy.begin(), copy.end(), round.begin());
      }
      offset += count;
    }
  });
}

// ---- quantile ----

// The coefficient terms of a linear side for `row`: its value minus its intercept.
float linear_terms(const core::LeafValue& value, const std::optional<RawFeatureRows>& raw, std::size_t row) {
  const core::LinearLeaf* leaf = core::linear_leaf_if(value);
  if (leaf == nullptr || !raw) return 0.0f;
  const std::optional<std::size_t> offset = support::checked_mul(row, raw->width);
  if (!offset) return 0.0f;  // every term would lie outside the values
  return linear_leaf_value_at(*leaf, raw->values, *offset) - leaf->intercept;
}

void write_increment(core::LeafValue& value, float increment) {
  if (core::LinearLeaf* leaf = core::linear_leaf_if(value)) {
    leaf->intercept = increment;
  } else {
    value = increment;
  }
}

}  // namespace

void refine_regression_leaf_values(std::span<const float> targets, objectives::Weights weights,
                                   const core::BinnedMatrix& binned, std::span<TrainedStump> stumps,
                                   std::span<const std::size_t> round_stump_counts, float base_prediction, float cap) {
  if (stumps.empty() || round_stump_counts.empty()) return;
  check_target_and_weight_lengths(targets, weights, binned);
  refine_regression(targets, weights, binned, stumps, 0, base_prediction, round_stump_counts, cap);
}

void refine_regression_leaf_values_from(std::span<const float> targets, objectives::Weights weights,
                                        const core::BinnedMatrix& binned, std::span<TrainedStump> stumps,
                                        std::size_t first_refined_stump, std::span<const float> starting_predictions,
                                        std::span<const std::size_t> round_stump_counts, float cap) {
  if (first_refined_stump > stumps.size()) {
    throw EngineError::contract_violation("first refined stump " + std::to_string(first_refined_stump) +
                                          " exceeds trained stump count " + std::to_string(stumps.size()));
  }
  if (first_refined_stump == stumps.size() || round_stump_counts.empty()) return;
  check_target_and_weight_lengths(targets, weights, binned);
  if (starting_predictions.size() != binned.row_count) {
    throw EngineError::contract_violation("starting predictions length " + std::to_string(starting_predictions.size()) +
                                          " does not match binned row_count " + std::to_string(binned.row_count));
  }
  refine_regression(targets, weights, binned, stumps, first_refined_stump, starting_predictions, round_stump_counts,
                    cap);
}

void refine_quantile_leaf_values(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                                 std::span<const float> predictions_before, std::span<const float> targets,
                                 objectives::Weights weights, std::optional<RawFeatureRows> raw,
                                 const QuantileRefinementSettings& settings) {
  if (tree.empty()) return;
  check_target_and_weight_lengths(targets, weights, binned);
  check_cap(settings.cap);
  support::invariant(predictions_before.size() >= binned.row_count, "fewer predictions than binned rows");
  if (raw && raw->values.empty()) raw.reset();

  const StumpMap map(tree, true);
  const NodeOutputs absolute = single_output_absolute_outputs(map);
  std::vector<LeafResiduals> leaves(map.slot_count());
  binned.bins.visit([&](auto codes) {
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      float linear = 0.0f;
      const std::size_t slot =
          terminal_local_node_id_for_row(row, binned, codes, map, [&](const TreeNode& node, int side) {
            linear = linear + linear_terms(side_value(*node.stump, side), raw, row);
          });
      leaves[slot].residuals.push_back((targets[row] - predictions_before[row]) - linear);
      if (weights) leaves[slot].weights.push_back((*weights)[row]);
    }
  });
  NodeOutputs refined = outputs_with_root(map);
  fill_refined_child_quantile_absolute_outputs(map, leaves, weights.has_value(), absolute, refined, settings.alpha,
                                               settings.cap);

  // Every new value is known before the first write: a failure above leaves the tree untouched.
  std::vector<std::pair<float, float>> increments;
  increments.reserve(tree.size());
  for (const TrainedStump& stump : tree) {
    const auto [left, right] = new_increments(map, stump, refined);
    float scale = settings.learning_rate;
    if (settings.depth_penalty_base) {
      // Depth counted from 1 at the root: the bit length of (local id + 1).
      const int depth = std::bit_width(local_id_of(stump.node_id) + 1u);
      scale = settings.learning_rate * std::pow(*settings.depth_penalty_base, static_cast<float>(depth) / 3.0f);
    }
    increments.emplace_back(left * scale, right * scale);
  }
  for (std::size_t i = 0; i < tree.size(); ++i) {
    write_increment(tree[i].left, increments[i].first);
    write_increment(tree[i].right, increments[i].second);
  }
}

void refine_joint_quantile_leaves(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                                  std::span<const std::vector<float>> predictions,
                                  std::span<const std::span<const float>> targets,
                                  std::span<const joint::JointObjective> objectives) {
  if (tree.empty()) return;
  const std::size_t outputs = targets.size();
  if (objectives.size() != outputs) {
    throw EngineError::contract_violation("per_output_objective length " + std::to_string(objectives.size()) +
                                          " != n_outputs " + std::to_string(outputs));
  }
  std::vector<std::size_t> quantile_outputs;
  for (std::size_t k = 0; k < outputs; ++k) {
    if (objectives[k].quantile_alpha()) quantile_outputs.push_back(k);
  }
  if (quantile_outputs.empty()) return;
  support::invariant(predictions.size() >= outputs, "fewer prediction lists than outputs");

  // The joint trainer refines before it combines the ids with the tree index: ids are local as given.
  const StumpMap map(tree, false);
  std::vector<NodeOutputs> absolute;
  for (std::size_t k : quantile_outputs) {
    absolute.push_back(outputs_with_root(map));
    if (const std::optional<std::size_t> root = map.root()) {
      populate_child_absolute_outputs_joint(map, *root, k, absolute.back());
    }
  }
  std::vector<std::vector<std::size_t>> leaf_rows(map.slot_count());
  binned.bins.visit([&](auto codes) {
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      leaf_rows[terminal_local_node_id_for_row(row, binned, codes, map, [](const TreeNode&, int) {})].push_back(row);
    }
  });

  std::vector<NodeOutputs> refined;
  for (std::size_t q = 0; q < quantile_outputs.size(); ++q) {
    const std::size_t k = quantile_outputs[q];
    const std::span<const float> target = targets[k];
    const std::span<const float> prediction = predictions[k];
    support::invariant(target.size() >= binned.row_count && prediction.size() >= binned.row_count,
                       "an output's targets or predictions are shorter than the binned rows");
    std::vector<LeafResiduals> leaves(map.slot_count());
    for (std::size_t slot = 0; slot < leaf_rows.size(); ++slot) {
      for (std::size_t row : leaf_rows[slot]) leaves[slot].residuals.push_back(target[row] - prediction[row]);
    }
    refined.push_back(outputs_with_root(map));
    fill_refined_child_quantile_absolute_outputs(map, leaves, false, absolute[q], refined.back(),
                                                 *objectives[k].quantile_alpha(),
                                                 std::numeric_limits<float>::infinity());
  }

  struct EntryWrite {
    std::size_t stump;
    std::size_t output;
    float left;
    float right;
  };
  std::vector<EntryWrite> writes;
  for (std::size_t s = 0; s < tree.size(); ++s) {
    const TrainedStump& stump = tree[s];
    if (!stump.multi_output) continue;
    const std::size_t i = map.index_of(stump);
    map.check_child_ids(i);
    for (std::size_t q = 0; q < quantile_outputs.size(); ++q) {
      // The children's refined outputs themselves; a child outside them keeps its current value.
      const std::size_t k = quantile_outputs[q];
      const std::optional<float> left = refined[q].slot[slot_of(i, kLeft)];
      const std::optional<float> right = refined[q].slot[slot_of(i, kRight)];
      writes.push_back(
          {s, k, left.value_or(joint_value(stump, kLeft, k)), right.value_or(joint_value(stump, kRight, k))});
    }
  }
  for (const EntryWrite& write : writes) {
    MultiOutputValues& values = *tree[write.stump].multi_output;
    values.left[write.output] = write.left;
    values.right[write.output] = write.right;
  }
}

}  // namespace kestrune::engine
