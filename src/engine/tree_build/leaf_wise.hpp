// Leaf-wise (best-first) tree growth: the splittable leaves wait in a queue ordered by split
// gain, the leaf with the largest gain is split next, and growth stops when the queue is empty or
// the leaf budget is spent. The caller's predictions include the tree when the call returns: each
// final leaf's path increments are added to its rows once the tree is grown (leaf_updates.hpp).
#pragma once

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_map>
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
#include "engine/tree_build/node_tasks.hpp"
#include "engine/tree_build/pending_split_queue.hpp"
#include "engine/tree_node.hpp"
#include "parallel/pool_size.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

// What is worked out for a queued node before it is committed.
struct LeafNodeWork {
  core::PartitionResult partition;
  SplitAssessment assessment;
  std::optional<LinearChildren> linear;
  // The children, when the split passes its checks and they may split further.
  bool right_first = false;  // the right child is the smaller one: built from rows, searched first
  core::HistogramBundle left_histograms;
  core::HistogramBundle right_histograms;
  std::optional<SplitCandidate> left_candidate;
  std::optional<SplitCandidate> right_candidate;
  std::exception_ptr failure;
};

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
  const auto children_may_split = [&](const PendingSplit& node) {
    return node.depth + 1 < params.max_depth && children_fit_tree_stride(node.local_id);
  };

  // The work of queued nodes done ahead of their turn, by local id: partition, checks, linear
  // fit, child histograms and searches. Up to one node per pool thread is worked on at once,
  // the top of the queue and the next largest gains, which a one-at-a-time grower would most
  // likely split next anyway; the results wait here until their node is popped. A node the leaf
  // budget drops first leaves its work unused (and any failure of it unreported).
  std::unordered_map<std::uint32_t, LeafNodeWork> done_ahead;
  const std::size_t nodes_at_once = parallel::current_num_threads();
  const auto work_on = [&](PendingSplit& node, LeafNodeWork& work) {
    const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
    {
      // The node keeps its rows: a node dropped by the leaf budget still hands them over.
      core::NodeSlice slice = node_slice(key, std::move(node.rows));
      try {
        work.partition = backend.apply_split_with_stats(binned, request.gradients, slice, node.candidate);
      } catch (...) {
        node.rows = std::move(slice.row_indices);
        throw;
      }
      node.rows = std::move(slice.row_indices);
    }
    const float depth_scale = split_depth_scale(request.morph, node.depth + 1);
    work.assessment = assess_applied_split(work.partition, node.rows.size(), node.value, node.candidate.feature_index,
                                           learning_rate, depth_scale, request.options, controls,
                                           params.monotone_constraints);
    if (work.assessment.refusal) return;
    work.linear = fit_linear_children(backend, request, linear_terms, learning_rate, depth_scale, node.candidate,
                                      work.partition, node.value, node.linear_leaf);
    if (!children_may_split(node)) return;
    const std::uint32_t left_local = left_child_node_id(node.local_id);
    const std::uint32_t right_local = right_child_node_id(node.local_id);
    // Only the smaller child is histogrammed from rows (the left one on equal counts), and
    // searched first.
    work.right_first = work.partition.right_rows.size() < work.partition.left_rows.size();
    ChildHistograms children =
        build_child_histograms(backend, request, std::move(node.histograms), work.partition,
                               encode_tree_node_id(request.tree_index, left_local),
                               encode_tree_node_id(request.tree_index, right_local));
    node.histograms = {};
    work.left_histograms = std::move(children.left);
    work.right_histograms = std::move(children.right);
    for (const bool right : {work.right_first, !work.right_first}) {
      (right ? work.right_candidate : work.left_candidate) =
          search_node(backend, request, masks, right ? work.right_histograms : work.left_histograms,
                      right ? right_local : left_local, right ? work.partition.right_rows : work.partition.left_rows);
    }
  };
  const auto work_ahead = [&] {
    std::vector<PendingSplit*> nodes{&queue.top()};
    std::size_t splits_left = nodes_at_once;
    if (controls.max_leaves) splits_left = std::min(splits_left, *controls.max_leaves + 1 - leaf_budget);
    for (PendingSplit* node : queue.largest(splits_left)) {
      if (nodes.size() >= splits_left) break;
      if (node != nodes.front() && node->depth < params.max_depth && !done_ahead.contains(node->local_id)) {
        nodes.push_back(node);
      }
    }
    // The searches of a node's children read their masks, which depend only on the node's own
    // split feature: they are set before the nodes are worked on.
    for (const PendingSplit* node : nodes) {
      if (children_may_split(*node)) {
        masks.assign_children(node->local_id, node->candidate.feature_index, left_child_node_id(node->local_id),
                              right_child_node_id(node->local_id));
      }
    }
    std::vector<LeafNodeWork> works(nodes.size());
    const std::vector<std::exception_ptr> failures =
        run_node_tasks(nodes.size(), [&](std::size_t i) { work_on(*nodes[i], works[i]); });
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      works[i].failure = failures[i];
      done_ahead.insert_or_assign(nodes[i]->local_id, std::move(works[i]));
    }
  };

  while (!budget_spent) {
    if (queue.empty()) break;
    if (queue.top().depth < params.max_depth && !done_ahead.contains(queue.top().local_id)) work_ahead();
    PendingSplit node = queue.pop();
    if (node.depth >= params.max_depth) {
      last_reason = IterationStopReason::DepthBudgetReached;
      updates.leaf(node.local_id, std::move(node.rows));
      drop_histograms(std::move(node.histograms));
      continue;
    }
    const auto found = done_ahead.find(node.local_id);
    support::invariant(found != done_ahead.end(), "a popped split was not worked on");
    LeafNodeWork work = std::move(found->second);
    done_ahead.erase(found);
    if (work.failure) std::rethrow_exception(work.failure);
    // The partition holds the node's rows now.
    drop_rows(std::move(node.rows));
    // Consumed by the children's histograms unless the node stays a leaf or its children may
    // not split.
    drop_histograms(std::move(node.histograms));
    core::PartitionResult& partition = work.partition;
    const SplitAssessment& assessment = work.assessment;
    if (assessment.refusal) {
      last_reason = *assessment.refusal;
      updates.leaf(node.local_id, std::move(partition));
      continue;
    }

    // Linear children carry their intercepts as values; constant ones the assessed values.
    const std::optional<LinearChildren>& linear = work.linear;
    const float left_value = linear ? linear->left.intercept : assessment.values.left;
    const float right_value = linear ? linear->right.intercept : assessment.values.right;
    tree.stumps.push_back(made_split_record(node.candidate, partition, assessment.values, node.value, linear));
    updates.split_made(tree.stumps.back(), partition);

    if (!children_may_split(node)) {
      last_reason = IterationStopReason::DepthBudgetReached;
      updates.child_leaf(node.local_id, true, std::move(partition.left_rows));
      updates.child_leaf(node.local_id, false, std::move(partition.right_rows));
    } else {
      for (const bool right : {work.right_first, !work.right_first}) {
        std::optional<SplitCandidate>& candidate = right ? work.right_candidate : work.left_candidate;
        std::vector<std::uint32_t>& rows = right ? partition.right_rows : partition.left_rows;
        const std::uint32_t local_id = right ? right_child_node_id(node.local_id) : left_child_node_id(node.local_id);
        if (!candidate || !gain_passes(*candidate, controls.min_split_gain)) {
          updates.leaf(local_id, std::move(rows));
          drop_histograms(std::move(right ? work.right_histograms : work.left_histograms));
          continue;
        }
        std::optional<core::LinearLeaf> linear_leaf;
        if (linear) linear_leaf = right ? linear->right : linear->left;
        queue.push(PendingSplit{std::move(rows), std::move(right ? work.right_histograms : work.left_histograms),
                                std::move(*candidate), std::move(linear_leaf), node.depth + 1, local_id,
                                right ? right_value : left_value});
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
    drop_histograms(std::move(pending.histograms));
  }
  for (auto& [local_id, work] : done_ahead) {
    drop_rows(std::move(work.partition.left_rows));
    drop_rows(std::move(work.partition.right_rows));
    drop_histograms(std::move(work.left_histograms));
    drop_histograms(std::move(work.right_histograms));
  }
  updates.apply(tree.stumps);
  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
