// Level-wise tree growth: every node of a depth is searched and, when it passes every check,
// split before any node of the next depth is looked at. The caller's predictions include the
// tree when the call returns: each final leaf's path increments are added to its rows once the
// tree is grown (leaf_updates.hpp).
#pragma once

#include <exception>
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
#include "engine/tree_build/node_tasks.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::tree_build {

// A node's split search as run ahead of the node's turn.
struct NodeSearch {
  std::optional<SplitCandidate> candidate;
  std::exception_ptr failure;
};

// One node waiting at the current depth.
struct FrontierNode {
  std::uint32_t local_id = 0;
  std::vector<std::uint32_t> rows;
  core::HistogramBundle histograms;  // full, unfiltered
  float value = 0.0f;                // the node's full value (0.0 at the root)
  std::optional<core::LinearLeaf> linear_leaf;
  // The node's search, once its parent's task has run it: its best split, or its failure (the
  // node's own, reported when growth reaches the node).
  std::optional<NodeSearch> search;
};

// What the level's node tasks find for one frontier node.
struct LevelNodeWork {
  std::optional<SplitCandidate> candidate;
  std::size_t node_row_count = 0;
  core::PartitionResult partition;
  SplitAssessment assessment;
  std::optional<LinearChildren> linear;
  std::exception_ptr linear_failure;
  // The children's histograms, built by the node's task when its split may be made and its
  // children may split; used only if the split is made.
  std::optional<ChildHistograms> children;
  std::exception_ptr children_failure;
  // The children's searches, run once their histograms are built.
  NodeSearch left_search;
  NodeSearch right_search;
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
  frontier.push_back(
      FrontierNode{0, std::move(root.row_indices), std::move(root_histograms), 0.0f, std::nullopt, std::nullopt});

  const float learning_rate = request.morph ? request.morph->learning_rate : params.learning_rate;
  const std::vector<std::uint32_t> linear_terms = linear_leaf_terms(binned.feature_count);

  for (std::size_t depth = 1; depth <= params.max_depth && !frontier.empty(); ++depth) {
    const float depth_scale = split_depth_scale(request.morph, depth);
    const auto children_may_split = [&](const FrontierNode& node) {
      return depth < params.max_depth && children_fit_tree_stride(node.local_id);
    };
    // Every node of the depth is partitioned, checked and fitted at once, and its children's
    // histograms are built and searched right after its own partition (a node the leaf budget
    // then refuses drops them; the root is searched by its own task); the results are then taken
    // in frontier order, as if the nodes had been worked on one by one. A node's task never
    // waits for the other nodes of its depth.
    std::vector<LevelNodeWork> work(frontier.size());
    const std::vector<std::exception_ptr> failures = run_node_tasks(frontier.size(), [&](std::size_t i) {
      FrontierNode& node = frontier[i];
      LevelNodeWork& w = work[i];
      if (node.search) {
        if (node.search->failure) std::rethrow_exception(node.search->failure);
        w.candidate = std::move(node.search->candidate);
      } else {
        w.candidate = search_node(backend, request, masks, node.histograms, node.local_id, node.rows);
      }
      if (!w.candidate || !gain_passes(*w.candidate, controls.min_split_gain)) return;
      w.node_row_count = node.rows.size();
      // The children's histograms and searches need only the partition's row lists: they are
      // worked on while its sums are added up (see the leaf-wise grower), and dropped again when
      // the split is refused or its linear fit fails. A failed build or search counts only for a
      // split that is made.
      const auto work_on_children = [&](core::PartitionResult& partition) {
        const std::uint32_t left_local = left_child_node_id(node.local_id);
        const std::uint32_t right_local = right_child_node_id(node.local_id);
        try {
          w.children = build_child_histograms(backend, request, std::move(node.histograms), partition,
                                              encode_tree_node_id(request.tree_index, left_local),
                                              encode_tree_node_id(request.tree_index, right_local));
        } catch (...) {
          w.children_failure = std::current_exception();
          return;
        }
        // The children's searches read their masks, which depend only on this node's mask and
        // split feature.
        masks.assign_children(node.local_id, w.candidate->feature_index, left_local, right_local);
        for (const bool right : {false, true}) {
          NodeSearch& search = right ? w.right_search : w.left_search;
          try {
            search.candidate = search_node(backend, request, masks, right ? w.children->right : w.children->left,
                                           right ? right_local : left_local,
                                           right ? partition.right_rows : partition.left_rows);
          } catch (...) {
            search.failure = std::current_exception();
          }
        }
      };
      const auto drop_children = [&] {
        if (w.children) {
          drop_histograms(std::move(w.children->left));
          drop_histograms(std::move(w.children->right));
        }
        w.children.reset();
        w.children_failure = nullptr;
        w.left_search = {};
        w.right_search = {};
      };
      {
        const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
        core::NodeSlice slice = node_slice(key, std::move(node.rows));
        w.partition = partition_node(backend, request, slice, *w.candidate,
                                     children_may_split(node) ? WhileSumming(work_on_children) : WhileSumming());
        // The partition holds the node's rows now.
        drop_rows(std::move(slice.row_indices));
      }
      w.assessment = assess_applied_split(w.partition, w.node_row_count, node.value, w.candidate->feature_index,
                                          learning_rate, depth_scale, request.options, controls,
                                          params.monotone_constraints);
      if (w.assessment.refusal) {
        drop_children();
        return;
      }
      // Fitted ahead of the leaf budget check, which may still refuse the split: a failed fit
      // counts only for a split that is made.
      try {
        w.linear = fit_linear_children(backend, request, linear_terms, learning_rate, depth_scale, *w.candidate,
                                       w.partition, node.value, node.linear_leaf);
      } catch (...) {
        w.linear_failure = std::current_exception();
        drop_children();
        return;
      }
    });

    std::vector<FrontierNode> next;
    for (std::size_t i = 0; i < frontier.size(); ++i) {
      FrontierNode& node = frontier[i];
      LevelNodeWork& w = work[i];
      if (failures[i]) std::rethrow_exception(failures[i]);
      if (!w.candidate) {
        updates.leaf(node.local_id, std::move(node.rows));
        continue;
      }
      if (!gain_passes(*w.candidate, controls.min_split_gain)) {
        last_reason = IterationStopReason::GainBelowThreshold;
        updates.leaf(node.local_id, std::move(node.rows));
        continue;
      }
      const SplitCandidate& candidate = *w.candidate;
      core::PartitionResult& partition = w.partition;
      const SplitAssessment& assessment = w.assessment;
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
      if (w.linear_failure) std::rethrow_exception(w.linear_failure);

      // Linear children carry their intercepts as values; constant ones the assessed values.
      const std::optional<LinearChildren>& linear = w.linear;
      const float left_value = linear ? linear->left.intercept : assessment.values.left;
      const float right_value = linear ? linear->right.intercept : assessment.values.right;
      TrainedStump record = made_split_record(candidate, partition, assessment.values, node.value, linear);
      updates.split_made(record, partition);

      if (!children_may_split(node)) {
        last_reason = IterationStopReason::DepthBudgetReached;
        updates.child_leaf(node.local_id, true, std::move(partition.left_rows));
        updates.child_leaf(node.local_id, false, std::move(partition.right_rows));
      } else {
        if (w.children_failure) std::rethrow_exception(w.children_failure);
        next.push_back(FrontierNode{left_child_node_id(node.local_id), std::move(partition.left_rows),
                                    std::move(w.children->left), left_value,
                                    linear ? std::optional<core::LinearLeaf>(linear->left) : std::nullopt,
                                    std::move(w.left_search)});
        next.push_back(FrontierNode{right_child_node_id(node.local_id), std::move(partition.right_rows),
                                    std::move(w.children->right), right_value,
                                    linear ? std::optional<core::LinearLeaf>(linear->right) : std::nullopt,
                                    std::move(w.right_search)});
      }
      tree.stumps.push_back(std::move(record));
    }
    // What the children did not take: the histograms of nodes that stay leaves, and those built
    // for children of splits the leaf budget refused.
    for (std::size_t i = 0; i < frontier.size(); ++i) {
      drop_histograms(std::move(frontier[i].histograms));
      if (work[i].children) {
        drop_histograms(std::move(work[i].children->left));
        drop_histograms(std::move(work[i].children->right));
      }
    }
    frontier = std::move(next);
  }
  for (FrontierNode& node : frontier) {
    updates.leaf(node.local_id, std::move(node.rows));
    drop_histograms(std::move(node.histograms));
  }
  updates.apply(tree.stumps);

  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
