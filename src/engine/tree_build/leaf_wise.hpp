// Leaf-wise (best-first) tree growth: the splittable leaves wait in a queue ordered by split
// gain, the leaf with the largest gain is split next, and growth stops when the queue is empty or
// the leaf budget is spent. The caller's predictions include the tree when the call returns: each
// final leaf's path increments are added to its rows once the tree is grown (leaf_updates.hpp).
#pragma once

#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/error.hpp"
#include "engine/round.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "engine/tree_build/leaf_updates.hpp"
#include "engine/tree_build/node_search.hpp"
#include "engine/tree_build/node_split.hpp"
#include "engine/tree_build/pending_split_queue.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::tree_build {

// Grows one tree best-first. On an error the split records made so far are dropped and the
// predictions are left as they are (the driver abandons the fit).
template <BackendOps Backend>
GrownTree build_tree_leaf_wise(const Backend& backend, TreeGrowthRequest request) {
  const core::BinnedMatrix& binned = request.binned;
  const IterationControls& controls = request.controls;
  const core::TrainParams& params = request.params;
  GrownTree tree;
  IterationStopReason last_reason = IterationStopReason::NoSplitCandidate;
  TreePredictionUpdates updates(request);

  // Root.
  const std::uint32_t root_key = encode_tree_node_id(request.tree_index, 0);
  core::NodeSlice root = node_slice(root_key, std::move(request.root_rows));
  core::HistogramBundle root_histograms =
      backend.build_histograms(binned, request.gradients, root, request.feature_tiles);
  InteractionMasks masks = InteractionMasks::for_tree(params, binned.feature_count);
  std::optional<SplitCandidate> root_candidate =
      search_node(backend, request, masks, root_histograms, 0, root.row_indices);
  if (!root_candidate) return {{}, IterationStopReason::NoSplitCandidate};
  if (!gain_passes(*root_candidate, controls.min_split_gain)) return {{}, IterationStopReason::GainBelowThreshold};

  PendingSplitQueue queue;
  queue.push(PendingSplit{std::move(root.row_indices), std::move(root_histograms), std::move(*root_candidate),
                          std::nullopt, 0, 0, 0.0f});

  const float learning_rate = request.morph ? request.morph->learning_rate : params.learning_rate;
  const std::vector<std::uint32_t> linear_terms = linear_leaf_terms(binned.feature_count);
  // The number of leaves the next split would produce.
  std::size_t leaf_budget = 2;
  bool budget_spent = controls.max_leaves && *controls.max_leaves < 2;

  while (!budget_spent) {
    if (queue.empty()) break;
    PendingSplit node = queue.pop();
    if (node.depth >= params.max_depth) {
      last_reason = IterationStopReason::DepthBudgetReached;
      updates.leaf(node.local_id, std::move(node.rows));
      continue;
    }
    const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
    const std::size_t node_row_count = node.rows.size();
    core::PartitionResult partition;
    {
      const core::NodeSlice slice = node_slice(key, std::move(node.rows));
      partition = backend.apply_split_with_stats(binned, request.gradients, slice, node.candidate);
    }
    const std::uint32_t feature = node.candidate.feature_index;
    const float depth_scale = split_depth_scale(request.morph, node.depth + 1);
    const SplitAssessment assessment =
        assess_applied_split(partition, node_row_count, node.value, feature, learning_rate, depth_scale,
                             request.options, controls, params.monotone_constraints);
    if (assessment.refusal) {
      last_reason = *assessment.refusal;
      updates.leaf(node.local_id, std::move(partition));
      continue;
    }

    // Linear children carry their intercepts as values; constant ones the assessed values.
    const std::optional<LinearChildren> linear =
        fit_linear_children(backend, request, linear_terms, learning_rate, depth_scale, node.candidate, partition,
                            node.value, node.linear_leaf);
    const float left_value = linear ? linear->left.intercept : assessment.values.left;
    const float right_value = linear ? linear->right.intercept : assessment.values.right;
    tree.stumps.push_back(made_split_record(node.candidate, partition, assessment.values, node.value, linear));
    updates.split_made(tree.stumps.back(), partition);

    const bool children_may_split = node.depth + 1 < params.max_depth && children_fit_tree_stride(node.local_id);
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

      // Only the smaller child is histogrammed from rows (the left one on equal counts); its
      // sibling is the parent minus it.
      const bool build_right = partition.right_rows.size() < partition.left_rows.size();
      struct Child {
        std::vector<std::uint32_t> rows;
        std::uint32_t local_id;
        std::uint32_t key;
        float value;
        std::optional<core::LinearLeaf> linear_leaf;
        core::HistogramBundle histograms;
      };
      Child left{std::move(partition.left_rows), left_local, left_key, left_value,
                 linear ? std::optional<core::LinearLeaf>(linear->left) : std::nullopt, {}};
      Child right{std::move(partition.right_rows), right_local, right_key, right_value,
                  linear ? std::optional<core::LinearLeaf>(linear->right) : std::nullopt, {}};
      Child& built = build_right ? right : left;
      Child& sibling = build_right ? left : right;
      {
        core::NodeSlice slice = node_slice(built.key, std::move(built.rows));
        built.histograms = backend.build_histograms(binned, request.gradients, slice, request.feature_tiles);
        built.rows = std::move(slice.row_indices);
      }
      sibling.histograms = subtract_histogram_bundle(std::move(node.histograms), built.histograms, sibling.key);
      node.histograms = {};

      masks.assign_children(node.local_id, feature, left_local, right_local);
      for (Child* child : {&built, &sibling}) {
        std::optional<SplitCandidate> candidate =
            search_node(backend, request, masks, child->histograms, child->local_id, child->rows);
        if (!candidate || !gain_passes(*candidate, controls.min_split_gain)) {
          updates.leaf(child->local_id, std::move(child->rows));
          continue;
        }
        queue.push(PendingSplit{std::move(child->rows), std::move(child->histograms), std::move(*candidate),
                                std::move(child->linear_leaf), node.depth + 1, child->local_id, child->value});
      }
    }

    ++leaf_budget;
    budget_spent = controls.max_leaves && leaf_budget > *controls.max_leaves;
  }

  // A spent budget drops every pending split; the first one dropped names the reason.
  if (budget_spent && !queue.empty()) last_reason = IterationStopReason::MaxLeavesReached;
  while (!queue.empty()) {
    PendingSplit pending = queue.pop();
    updates.leaf(pending.local_id, std::move(pending.rows));
  }
  updates.apply(tree.stumps);
  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
