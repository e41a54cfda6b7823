// The leaf-wise joint round: the open node with the largest gain splits next, until the leaf
// budget is spent, no node can split, or the depth limit stops growth.
#include <bit>
#include <utility>

#include "engine/joint/build_round.hpp"
#include "engine/joint/leaf_heap.hpp"
#include "engine/joint/node_split.hpp"

namespace kestrune::engine::joint {

std::vector<TrainedStump> build_joint_round_leafwise(const JointRoundRequest& request, std::size_t max_leaves) {
  check_gradient_lengths(request);
  std::optional<InteractionConstraintIndex> interactions = build_interaction_index(request);
  check_factor_exposures(request);
  JointNodeSplitter splitter(request, std::move(interactions));

  const std::uint32_t max_depth = request.params.max_depth > 0 ? request.params.max_depth : 1u;
  std::vector<TrainedStump> stumps;
  JointCandidateHeap heap;
  if (std::optional<JointLeafCandidate> root = splitter.evaluate(splitter.root_rows(), 0, splitter.root_mask())) {
    heap.push(std::move(*root));
  }
  if (max_leaves < 2) return stumps;
  for (std::size_t split = 1; split < max_leaves; ++split) {
    std::optional<JointLeafCandidate> next;
    std::uint32_t level = 0;
    while ((next = heap.pop())) {
      level = 32u - static_cast<std::uint32_t>(std::countl_zero(next->node_id + 1u));
      if (level <= max_depth) break;
    }
    if (!next) break;
    JointLeafCandidate& node = *next;
    stumps.push_back(JointNodeSplitter::stump_of(node));
    if (level >= max_depth) continue;
    const std::optional<std::uint64_t> mask = splitter.child_mask(node.interaction_mask, node.feature_index);
    if (auto left = splitter.evaluate(std::move(node.left_rows), 2u * node.node_id + 1u, mask)) {
      heap.push(std::move(*left));
    }
    if (auto right = splitter.evaluate(std::move(node.right_rows), 2u * node.node_id + 2u, mask)) {
      heap.push(std::move(*right));
    }
  }
  return stumps;
}

}  // namespace kestrune::engine::joint
