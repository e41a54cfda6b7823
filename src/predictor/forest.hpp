// How the predictor holds trees: one contiguous array of fixed-size split nodes per ensemble
// (a forest), each node naming its two children by index. Only nodes that exist are stored, so
// memory follows the records of the artifact, never the range of local ids they name.
//
// A row's walk through a tree starts at the node with local id 0 and moves to local id 2i + 1
// (left) or 2i + 2 (right) after the node with id i; it ends at the first id that has no node.
// Every node on the path adds the value of the side the row takes, times the tree's weight.
// Here the child links already hold the node of id 2i + 1 / 2i + 2 when one exists, and node
// index 0 otherwise: index 0 is a shared end node that routes to itself and adds -0.0f, which
// leaves every float32 sum bit-for-bit unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "predictor/payload.hpp"

namespace kestrune::predictor {

inline constexpr std::uint32_t kEndNode = 0;
inline constexpr std::uint32_t kNoExtras = 0xFFFFFFFFu;

// Node flag bits.
inline constexpr std::uint16_t kDefaultLeft = 1u << 0;
inline constexpr std::uint16_t kCategorical = 1u << 1;
inline constexpr std::uint16_t kLeftLinear = 1u << 2;
inline constexpr std::uint16_t kRightLinear = 1u << 3;
// The split feature is not below the model's feature count: a row reaching the node fails.
inline constexpr std::uint16_t kFeatureOutOfRange = 1u << 4;
// Nodes the branch-free numeric step cannot decide.
inline constexpr std::uint16_t kNeedsFullTest = kCategorical | kLeftLinear | kRightLinear | kFeatureOutOfRange;

// Side indices of a node's two-element arrays: indexing by the test's outcome (1 = left) lets
// the walk pick the next node and the addend without a branch.
inline constexpr std::size_t kRight = 0;
inline constexpr std::size_t kLeft = 1;

// One split node as evaluated; 32 bytes, so two share a cache line.
struct PredictorTreeNode {
  float threshold = 0.0f;  // split bin as f32 after loading; raw-value space after a conversion
  std::uint32_t feature_index = 0;
  std::uint32_t child[2] = {kEndNode, kEndNode};  // [kRight], [kLeft]
  // What a row adds on each side: the side value times the tree weight (the same float32
  // product the walk would form). Not used for a side that has a linear leaf.
  float step[2] = {-0.0f, -0.0f};  // [kRight], [kLeft]
  std::uint32_t extras = kNoExtras;  // index into Forest::extras
  std::uint16_t flags = 0;
  std::uint16_t reserved = 0;
};
static_assert(sizeof(PredictorTreeNode) == 32);

// The rarely needed parts of a node, kept out of the hot array.
struct NodeExtras {
  std::optional<std::vector<std::uint8_t>> category_bitset;
  std::optional<LinearLeafCompact> left_linear;
  std::optional<LinearLeafCompact> right_linear;
};

// Where a node came from, for inspection: its local heap id and its unweighted side values.
struct NodeOrigin {
  std::uint32_t local_id = 0;
  float left_value = 0.0f;
  float right_value = 0.0f;
};

struct PredictorTree {
  std::uint32_t tree_index = 0;    // from the node keys; trees are stored in ascending index
  std::uint32_t root = kEndNode;   // node of local id 0, or kEndNode when the tree has none
  std::uint32_t first_node = 0;    // the tree's reachable nodes are [first_node, first_node + node_count)
  std::uint32_t node_count = 0;
  std::uint32_t depth = 0;         // nodes on the longest path from the root (at most 21)
  float weight = 1.0f;
};

struct Forest {
  std::vector<PredictorTreeNode> nodes;  // nodes[0] is the end node
  std::vector<NodeOrigin> origins;       // parallel to nodes
  std::vector<NodeExtras> extras;
  std::vector<PredictorTree> trees;      // ascending tree index
  std::size_t feature_count = 0;         // the count kFeatureOutOfRange was decided against
  bool has_linear_leaves = false;        // some stored node has a linear leaf on a side
  bool has_categorical_splits = false;   // some stored node is a categorical split

  std::size_t tree_count() const { return trees.size(); }
};

// Groups the stumps into trees by the high 12 bits of their keys, in ascending tree index.
// Fails with "tree {} contains duplicate local node_id {}" for the first repeated key of the
// lowest such tree. Records that no path from the root reaches (a parent id without a node) take
// no part in any walk and are not stored. `feature_count` marks the nodes whose feature lies
// beyond it. Tree weights start at 1.0.
Forest build_predictor_trees(std::span<const PredictorStump> stumps, std::size_t feature_count);

// Gives each tree the weight at the position of its first stump in `stumps`; fails with
// "DartTreeWeights length {} != stump count {}" unless there is one weight per stump.
void apply_dart_tree_weights(Forest& forest, std::span<const PredictorStump> stumps, std::span<const float> weights);

// The node of `local_id` in `tree`, or nullptr when the tree stores none there.
const PredictorTreeNode* find_node(const Forest& forest, const PredictorTree& tree, std::uint32_t local_id);

}  // namespace kestrune::predictor
