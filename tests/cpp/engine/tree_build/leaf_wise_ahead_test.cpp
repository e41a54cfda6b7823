// The leaf-wise grower works on nodes ahead of their turn, children of uncommitted nodes
// included. Whatever ran ahead, a tree grown under a leaf budget must be the start of the tree
// grown without one (growth commits nodes in one fixed order), and a failure is the tree's only
// when growth reaches its node.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/round.hpp"
#include "grow_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

using testing_support::grow;
using testing_support::Growth;
using testing_support::GrowScenario;
using testing_support::random_scenario;

std::uint32_t local_of(std::uint32_t node_id) { return node_id & 0xFFFFF; }

// The CPU backend, except that partitioning a `slow` node takes a while (its job finishes late,
// so the grower waits on it while the workers run the nodes behind it) and partitioning a
// `failing` node throws.
class AheadBackend : public testing_support::CpuForwardingBackend {
 public:
  std::set<std::uint32_t> slow;
  std::set<std::uint32_t> failing;

  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const SplitCandidate& split) const {
    const std::uint32_t local = local_of(node.node_id);
    if (slow.contains(local)) std::this_thread::sleep_for(std::chrono::milliseconds(15));
    if (failing.contains(local)) throw std::runtime_error("node " + std::to_string(local));
    return cpu_.apply_split_with_stats(binned, gradients, node, split);
  }
};
static_assert(BackendOps<AheadBackend>);

TEST(GrowLeafWiseAhead, BudgetedTreesStartTheUnbudgetedOneAndOnlyReachedFailuresCount) {
  struct Case {
    const char* name;
    bool constrained;        // interaction constraints: children's masks are set ahead too
    std::size_t budget;      // max_leaves
    std::size_t slow_split;  // the node of this split of the full tree is slow
    // The node of this split of the full tree fails (none when past the tree): the tree fails
    // when the budget reaches it.
    std::size_t failing_split;
  };
  const Case cases[] = {
      {"budget 2", false, 2, 0, 99},
      {"budget 3, second split slow", false, 3, 1, 99},
      {"budget 9, second split slow", false, 9, 1, 99},
      {"budget 30, third split slow", false, 30, 2, 99},
      {"constrained, budget 12, second split slow", true, 12, 1, 99},
      {"failure past the budget", false, 6, 1, 6},
      {"failure just past the budget", false, 6, 1, 5},
      {"failure within the budget", false, 6, 1, 4},
      {"constrained, failure past the budget", true, 10, 1, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(7);
    GrowScenario s = random_scenario(rng, 4000, 6, 31);
    s.params.max_depth = 12;
    s.controls.min_rows_per_leaf = 5;
    if (c.constrained) s.params.interaction_constraints = {{0, 1}, {1, 2}, {3, 4, 5}};
    s.params.max_leaves = 64;
    s.controls.max_leaves = 64;
    std::vector<float> full_predictions(4000, 0.25f);
    const GrownTree full = grow(s, Growth::Leaf, full_predictions);
    ASSERT_GT(full.stumps.size(), 40u);

    AheadBackend backend;
    backend.slow.insert(local_of(full.stumps.at(c.slow_split).node_id));
    if (c.failing_split < full.stumps.size()) backend.failing.insert(local_of(full.stumps[c.failing_split].node_id));
    s.params.max_leaves = c.budget;
    s.controls.max_leaves = c.budget;
    std::vector<float> predictions(4000, 0.25f);
    if (c.failing_split + 1 < c.budget) {
      EXPECT_THROW(grow(s, Growth::Leaf, predictions, 0, backend), std::runtime_error);
      continue;
    }
    const GrownTree tree = grow(s, Growth::Leaf, predictions, 0, backend);
    ASSERT_EQ(tree.stumps.size(), c.budget - 1);
    for (std::size_t i = 0; i < tree.stumps.size(); ++i) {
      EXPECT_EQ(tree.stumps[i].node_id, full.stumps[i].node_id) << i;
      EXPECT_EQ(tree.stumps[i].feature_index, full.stumps[i].feature_index) << i;
      EXPECT_EQ(tree.stumps[i].split_bin, full.stumps[i].split_bin) << i;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(tree.stumps[i].gain), std::bit_cast<std::uint32_t>(full.stumps[i].gain)) << i;
      EXPECT_EQ(tree.stumps[i].left_stats.count, full.stumps[i].left_stats.count) << i;
    }
    // Every row got exactly its leaf's path: what a fresh walk of the records adds.
    std::vector<float> walked(4000, 0.25f);
    apply_tree_to_binned_predictions(walked, s.binned, tree.stumps, std::nullopt);
    for (std::size_t r = 0; r < walked.size(); ++r) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(predictions[r]), std::bit_cast<std::uint32_t>(walked[r])) << r;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build
