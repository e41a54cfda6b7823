// The level-wise joint round: every node of one depth is tried, in frontier order, before the next
// depth starts.
#include <string>
#include <utility>

#include "engine/joint/build_round.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/node_split.hpp"

namespace kestrune::engine::joint {
namespace {

struct FrontierNode {
  std::vector<std::uint32_t> rows;
  std::uint32_t id = 0;
  std::optional<std::uint64_t> mask;
};

}  // namespace

std::vector<TrainedStump> build_joint_round_inner(const JointRoundRequest& request) {
  if (request.gradients.size() != request.n_outputs) {
    throw JointError("expected " + std::to_string(request.n_outputs) + " gradient vectors, got " +
                     std::to_string(request.gradients.size()));
  }
  check_gradient_lengths(request);
  check_factor_exposures(request);
  JointNodeSplitter splitter(request, build_interaction_index(request));

  const std::size_t max_depth = request.params.max_depth > 0 ? request.params.max_depth : 1;
  std::vector<TrainedStump> stumps;
  std::vector<FrontierNode> frontier;
  frontier.push_back(FrontierNode{splitter.root_rows(), 0, splitter.root_mask()});
  for (std::size_t depth = 1; !frontier.empty(); ++depth) {
    std::vector<FrontierNode> next;
    for (FrontierNode& node : frontier) {
      std::optional<JointLeafCandidate> split = splitter.evaluate(std::move(node.rows), node.id, node.mask);
      if (!split) continue;
      stumps.push_back(JointNodeSplitter::stump_of(*split));
      const std::optional<std::uint64_t> mask = splitter.child_mask(node.mask, split->feature_index);
      next.push_back(FrontierNode{std::move(split->left_rows), 2u * node.id + 1u, mask});
      next.push_back(FrontierNode{std::move(split->right_rows), 2u * node.id + 2u, mask});
    }
    if (depth >= max_depth) break;
    frontier = std::move(next);
  }
  return stumps;
}

}  // namespace kestrune::engine::joint
