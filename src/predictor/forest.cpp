#include "predictor/forest.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "predictor/error.hpp"
#include "support/panic.hpp"

namespace kestrune::predictor {
namespace {

constexpr std::uint32_t kTreeShift = 20;
constexpr std::uint32_t kLocalMask = (1u << kTreeShift) - 1;

struct LocalRecord {
  std::uint32_t local_id;
  std::uint32_t order;  // position among the tree's records, in payload order
  std::uint32_t stump;  // position in the stump list
};

PredictorTreeNode make_node(const PredictorStump& stump, std::size_t feature_count, Forest& forest) {
  PredictorTreeNode node;
  node.threshold = static_cast<float>(stump.split_bin);
  node.feature_index = stump.feature_index;
  node.step[kLeft] = stump.left_value;
  node.step[kRight] = stump.right_value;
  if (stump.default_left) node.flags |= kDefaultLeft;
  if (stump.categorical) node.flags |= kCategorical;
  if (stump.feature_index >= feature_count) node.flags |= kFeatureOutOfRange;
  if (stump.left_linear) node.flags |= kLeftLinear;
  if (stump.right_linear) node.flags |= kRightLinear;
  if (stump.left_linear || stump.right_linear) forest.has_linear_leaves = true;
  if (stump.categorical) forest.has_categorical_splits = true;
  // The bitset only matters at a categorical node; linear leaves replace a side's constant.
  const bool keeps_bitset = stump.categorical && stump.category_bitset.has_value();
  if (keeps_bitset || stump.left_linear || stump.right_linear) {
    NodeExtras extras;
    if (keeps_bitset) extras.category_bitset = stump.category_bitset;
    extras.left_linear = stump.left_linear;
    extras.right_linear = stump.right_linear;
    support::invariant(forest.extras.size() < kNoExtras, "node extras index fits 32 bits");
    node.extras = static_cast<std::uint32_t>(forest.extras.size());
    forest.extras.push_back(std::move(extras));
  }
  return node;
}

// The first record, in payload order, whose local id an earlier record of the tree already has.
std::optional<std::uint32_t> first_duplicate_id(const std::vector<LocalRecord>& sorted) {
  std::optional<LocalRecord> first;
  for (std::size_t k = 1; k < sorted.size(); ++k) {
    if (sorted[k].local_id != sorted[k - 1].local_id) continue;
    if (!first || sorted[k].order < first->order) first = sorted[k];
  }
  if (!first) return std::nullopt;
  return first->local_id;
}

const LocalRecord* lookup(const std::vector<LocalRecord>& sorted, std::uint64_t local_id) {
  if (local_id > kLocalMask) return nullptr;
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), local_id,
                                   [](const LocalRecord& r, std::uint64_t id) { return r.local_id < id; });
  if (it == sorted.end() || it->local_id != local_id) return nullptr;
  return &*it;
}

// Appends the nodes reachable from local id 0 in depth-first order, left before right, so that
// a walk moves forward through memory.
void place_tree(std::span<const PredictorStump> stumps, const std::vector<LocalRecord>& sorted,
                std::size_t feature_count, Forest& forest, PredictorTree& tree) {
  struct Pending {
    std::uint32_t local_id;
    std::uint32_t depth;
    std::uint32_t parent;  // node index, kEndNode for the root
    bool is_left;
  };
  tree.first_node = static_cast<std::uint32_t>(forest.nodes.size());
  const LocalRecord* root = lookup(sorted, 0);
  if (root == nullptr) return;
  std::vector<Pending> stack = {{0, 1, kEndNode, false}};
  while (!stack.empty()) {
    const Pending pending = stack.back();
    stack.pop_back();
    const LocalRecord* record = lookup(sorted, pending.local_id);
    support::invariant(record != nullptr, "only stored ids are queued");
    support::invariant(forest.nodes.size() < std::numeric_limits<std::uint32_t>::max(), "node index fits 32 bits");
    const auto index = static_cast<std::uint32_t>(forest.nodes.size());
    const PredictorStump& stump = stumps[record->stump];
    forest.nodes.push_back(make_node(stump, feature_count, forest));
    forest.origins.push_back({pending.local_id, stump.left_value, stump.right_value});
    if (pending.parent == kEndNode) {
      tree.root = index;
    } else {
      forest.nodes[pending.parent].child[pending.is_left ? kLeft : kRight] = index;
    }
    tree.depth = std::max(tree.depth, pending.depth);
    const std::uint64_t left_id = 2 * static_cast<std::uint64_t>(pending.local_id) + 1;
    if (lookup(sorted, left_id + 1) != nullptr) {
      stack.push_back({static_cast<std::uint32_t>(left_id + 1), pending.depth + 1, index, false});
    }
    if (lookup(sorted, left_id) != nullptr) {
      stack.push_back({static_cast<std::uint32_t>(left_id), pending.depth + 1, index, true});
    }
  }
  tree.node_count = static_cast<std::uint32_t>(forest.nodes.size() - tree.first_node);
}

}  // namespace

Forest build_predictor_trees(std::span<const PredictorStump> stumps, std::size_t feature_count) {
  support::invariant(stumps.size() < std::numeric_limits<std::uint32_t>::max(), "stump positions fit 32 bits");
  std::map<std::uint32_t, std::vector<LocalRecord>> groups;
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    std::vector<LocalRecord>& group = groups[stumps[i].node_key >> kTreeShift];
    group.push_back({stumps[i].node_key & kLocalMask, static_cast<std::uint32_t>(group.size()),
                     static_cast<std::uint32_t>(i)});
  }
  Forest forest;
  forest.feature_count = feature_count;
  forest.nodes.emplace_back();  // the end node: routes to itself and adds -0.0f
  forest.origins.emplace_back();
  for (auto& [tree_index, records] : groups) {
    std::sort(records.begin(), records.end(), [](const LocalRecord& a, const LocalRecord& b) {
      return a.local_id != b.local_id ? a.local_id < b.local_id : a.order < b.order;
    });
    if (const auto duplicate = first_duplicate_id(records)) {
      throw PredictorError::invalid_model("tree " + std::to_string(tree_index) + " contains duplicate local node_id " +
                                          std::to_string(*duplicate));
    }
    PredictorTree tree;
    tree.tree_index = tree_index;
    place_tree(stumps, records, feature_count, forest, tree);
    forest.trees.push_back(tree);
  }
  return forest;
}

void apply_dart_tree_weights(Forest& forest, std::span<const PredictorStump> stumps, std::span<const float> weights) {
  if (weights.size() != stumps.size()) {
    throw PredictorError::invalid_model("DartTreeWeights length " + std::to_string(weights.size()) +
                                        " != stump count " + std::to_string(stumps.size()));
  }
  std::vector<bool> seen(forest.trees.size(), false);
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    const std::uint32_t tree_index = stumps[i].node_key >> kTreeShift;
    const auto it = std::lower_bound(forest.trees.begin(), forest.trees.end(), tree_index,
                                     [](const PredictorTree& t, std::uint32_t v) { return t.tree_index < v; });
    support::invariant(it != forest.trees.end() && it->tree_index == tree_index, "every stump's tree was built");
    const auto position = static_cast<std::size_t>(it - forest.trees.begin());
    if (seen[position]) continue;
    seen[position] = true;
    it->weight = weights[i];
  }
  // Each constant side adds value x weight; forming the product once here gives the same float32.
  for (const PredictorTree& tree : forest.trees) {
    for (std::uint32_t n = tree.first_node; n < tree.first_node + tree.node_count; ++n) {
      forest.nodes[n].step[kLeft] = forest.origins[n].left_value * tree.weight;
      forest.nodes[n].step[kRight] = forest.origins[n].right_value * tree.weight;
    }
  }
}

const PredictorTreeNode* find_node(const Forest& forest, const PredictorTree& tree, std::uint32_t local_id) {
  for (std::uint32_t n = tree.first_node; n < tree.first_node + tree.node_count; ++n) {
    if (forest.origins[n].local_id == local_id) return &forest.nodes[n];
  }
  return nullptr;
}

}  // namespace kestrune::predictor
