// Level-wise tree growth: every node of a depth is searched and, when it passes every check,
// split before any node of the next depth is looked at. The caller's predictions include the
// tree when the call returns: each final leaf's path increments are added to its rows once the
// tree is grown (leaf_updates.hpp).
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/error.hpp"
#include "engine/round.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "engine/tree_build/leaf_updates.hpp"
#include "engine/tree_build/node_search.hpp"
#include "engine/tree_build/node_split.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::tree_build {

// One node waiting at the current depth.
struct FrontierNode {
  std::uint32_t local_id = 0;
  std::vector<std::uint32_t> rows;
  core::HistogramBundle histograms;  // full, unfiltered
  float value = 0.0f;                // the node's full value (0.0 at the root)
  std::optional<core::LinearLeaf> linear_leaf;
};

// Grows one tree depth by depth. Records come in level order, and within a level in frontier
// order (left child before right, parents in order). On an error the records made so far are
// dropped and the predictions are left as they are (the driver abandons the fit).
template <BackendOps Backend>
GrownTree build_tree_level_wise(const Backend& backend, TreeGrowthRequest request) {
  const core::BinnedMatrix& binned = request.binned;
  const IterationControls& controls = request.controls;
  const core::TrainParams& params = request.params;
  GrownTree tree;
  IterationStopReason last_reason = IterationStopReason::NoSplitCandidate;
  TreePredictionUpdates updates(request);

  const std::uint32_t root_key = encode_tree_node_id(request.tree_index, 0);
  core::NodeSlice root = node_slice(root_key, std::move(request.root_rows));
  core::HistogramBundle root_histograms =
      backend.build_histograms(binned, request.gradients, root, request.feature_tiles);
  InteractionMasks masks = InteractionMasks::for_tree(params, binned.feature_count);

  std::vector<FrontierNode> frontier;
  frontier.push_back(FrontierNode{0, std::move(root.row_indices), std::move(root_histograms), 0.0f, std::nullopt});

  const float learning_rate = request.morph ? request.morph->learning_rate : params.learning_rate;
  const std::vector<std::uint32_t> linear_terms = linear_leaf_terms(binned.feature_count);

  for (std::size_t depth = 1; depth <= params.max_depth && !frontier.empty(); ++depth) {
    std::vector<FrontierNode> next;
    for (FrontierNode& node : frontier) {
      const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
      const std::optional<SplitCandidate> candidate =
          search_node(backend, request, masks, node.histograms, node.local_id, node.rows);
      if (!candidate) {
        updates.leaf(node.local_id, std::move(node.rows));
        continue;
      }
      if (!gain_passes(*candidate, controls.min_split_gain)) {
        last_reason = IterationStopReason::GainBelowThreshold;
        updates.leaf(node.local_id, std::move(node.rows));
        continue;
      }
      const std::size_t node_row_count = node.rows.size();
      core::PartitionResult partition;
      {
        core::NodeSlice slice = node_slice(key, std::move(node.rows));
        partition = backend.apply_split_with_stats(binned, request.gradients, slice, *candidate);
      }
      const std::uint32_t feature = candidate->feature_index;
      const float depth_scale = split_depth_scale(request.morph, depth);
      const SplitAssessment assessment =
          assess_applied_split(partition, node_row_count, node.value, feature, learning_rate, depth_scale,
                               request.options, controls, params.monotone_constraints);
      if (assessment.refusal) {
        last_reason = *assessment.refusal;
        updates.leaf(node.local_id, std::move(partition));
        continue;
      }
      // The tree would have (records + 2) leaves after this split.
      if (controls.max_leaves && *controls.max_leaves < tree.stumps.size() + 2) {
        last_reason = IterationStopReason::MaxLeavesReached;
        updates.leaf(node.local_id, std::move(partition));
        continue;
      }

      // Linear children carry their intercepts as values; constant ones the assessed values.
      const std::optional<LinearChildren> linear =
          fit_linear_children(backend, request, linear_terms, learning_rate, depth_scale, *candidate, partition,
                              node.value, node.linear_leaf);
      const float left_value = linear ? linear->left.intercept : assessment.values.left;
      const float right_value = linear ? linear->right.intercept : assessment.values.right;
      TrainedStump record = made_split_record(*candidate, partition, assessment.values, node.value, linear);
      updates.split_made(record, partition);

      const bool children_may_split = depth < params.max_depth && children_fit_tree_stride(node.local_id);
      if (!children_may_split) {
        last_reason = IterationStopReason::DepthBudgetReached;
        updates.child_leaf(node.local_id, true, std::move(partition.left_rows));
        updates.child_leaf(node.local_id, false, std::move(partition.right_rows));
      }
      if (children_may_split) {
        const std::uint32_t left_local = left_child_node_id(node.local_id);
        const std::uint32_t right_local = right_child_node_id(node.local_id);
        const std::uint32_t left_key = encode_tree_node_id(request.tree_index, left_local);
        const std::uint32_t right_key = encode_tree_node_id(request.tree_index, right_local);
        masks.assign_children(node.local_id, feature, left_local, right_local);

        FrontierNode left{left_local, std::move(partition.left_rows), {}, left_value,
                          linear ? std::optional<core::LinearLeaf>(linear->left) : std::nullopt};
        FrontierNode right{right_local, std::move(partition.right_rows), {}, right_value,
                           linear ? std::optional<core::LinearLeaf>(linear->right) : std::nullopt};
        // Only the smaller child is histogrammed from rows (the left one on equal counts).
        const bool build_right = right.rows.size() < left.rows.size();
        FrontierNode& built = build_right ? right : left;
        FrontierNode& sibling = build_right ? left : right;
        {
          core::NodeSlice slice = node_slice(build_right ? right_key : left_key, std::move(built.rows));
          built.histograms = backend.build_histograms(binned, request.gradients, slice, request.feature_tiles);
          built.rows = std::move(slice.row_indices);
        }
        sibling.histograms =
            subtract_histogram_bundle(std::move(node.histograms), built.histograms, build_right ? left_key : right_key);
        next.push_back(std::move(left));
        next.push_back(std::move(right));
      }
      node.histograms = {};
      tree.stumps.push_back(std::move(record));
    }
    frontier = std::move(next);
  }
  for (FrontierNode& node : frontier) updates.leaf(node.local_id, std::move(node.rows));
  updates.apply(tree.stumps);

  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
