// Level-wise tree growth: the tree is the one a grower gives that searches every node of a depth
// and, when it passes every check, splits it before any node of the next depth is looked at
// (nodes may be worked on ahead of their depth; their results are taken in that order). The
// caller's predictions include the tree when the call returns: each final leaf's path increments
// are added to its rows once the tree is grown (leaf_updates.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
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
#include "parallel/parallel.hpp"
#include "parallel/pool_size.hpp"

namespace kestrune::engine::tree_build {

// A node's split search as run ahead of the node's turn.
struct NodeSearch {
  std::optional<SplitCandidate> candidate;
  std::exception_ptr failure;
};

// One node waiting at the current depth.
struct FrontierNode {
  std::uint32_t local_id = 0;
  core::RowList rows;
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

// A frontier node with its work, and its children once its split is to be made.
struct LevelNode {
  FrontierNode node;
  LevelNodeWork work;
  std::exception_ptr failure;  // the node's own, reported when growth reaches the node
  std::array<std::unique_ptr<LevelNode>, 2> children;
  // Growing ahead: the node's task, and whether it has finished.
  std::optional<parallel::PostedTask<std::function<void()>>> task;
  std::atomic<bool> finished{false};
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

  LevelNode root_node;
  root_node.node =
      FrontierNode{0, std::move(root.row_indices), std::move(root_histograms), 0.0f, std::nullopt, std::nullopt};

  const float learning_rate = request.morph ? request.morph->learning_rate : params.learning_rate;
  const std::vector<std::uint32_t> linear_terms = linear_leaf_terms(binned.feature_count);
  const auto children_may_split = [&](const FrontierNode& node, std::size_t depth) {
    return depth < params.max_depth && children_fit_tree_stride(node.local_id);
  };

  // Hands back the children's histograms a node's work built, if any; drop_unused_histograms
  // hands back the node's own as well.
  const auto drop_built_children = [](LevelNodeWork& w) {
    if (w.children) {
      drop_histograms(std::move(w.children->left));
      drop_histograms(std::move(w.children->right));
    }
    w.children.reset();
  };
  const auto drop_unused_histograms = [&](LevelNode& g) {
    drop_histograms(std::move(g.node.histograms));
    drop_built_children(g.work);
  };

  // A node's partition, checks and fit, and its children's histograms and searches right after
  // its own partition (a split the leaf budget then refuses drops them; the root is searched by
  // its own task). It never waits for other nodes.
  const auto work_on = [&](FrontierNode& node, LevelNodeWork& w, std::size_t depth) {
    const float depth_scale = split_depth_scale(request.morph, depth);
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
      drop_built_children(w);
      w.children_failure = nullptr;
      w.left_search = {};
      w.right_search = {};
    };
    {
      const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
      core::NodeSlice slice = node_slice(key, std::move(node.rows));
      w.partition = partition_node(backend, request, slice, *w.candidate,
                                   children_may_split(node, depth) ? WhileSumming(work_on_children) : WhileSumming());
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
  };
  // The children a split that is made hands to the next depth. Their rows leave the partition,
  // which split_made then no longer needs when the prediction updates are deferred.
  const auto make_children = [&](LevelNode& parent) {
    LevelNodeWork& w = parent.work;
    support::invariant(w.children.has_value(), "a split made has no children's histograms");
    const std::optional<LinearChildren>& linear = w.linear;
    for (const bool right : {false, true}) {
      const float value = linear ? (right ? linear->right.intercept : linear->left.intercept)
                                 : (right ? w.assessment.values.right : w.assessment.values.left);
      auto child = std::make_unique<LevelNode>();
      child->node = FrontierNode{
          right ? right_child_node_id(parent.node.local_id) : left_child_node_id(parent.node.local_id),
          std::move(right ? w.partition.right_rows : w.partition.left_rows),
          std::move(right ? w.children->right : w.children->left),
          value,
          linear ? std::optional<core::LinearLeaf>(right ? linear->right : linear->left) : std::nullopt,
          std::move(right ? w.right_search : w.left_search)};
      parent.children[right ? 1 : 0] = std::move(child);
    }
  };

  // Without a leaf budget, whether a node's split is made depends on the node alone: its
  // children are worked on as soon as its own task is done, without waiting for the rest of its
  // depth, the largest nodes first. A depth's nodes took as long as their largest, and the
  // longest chain of nodes from the root is shorter than the depths' largest nodes one after
  // another (on depth-8 trees of 500,000 rows, by a fifth). The commits below then take the
  // results depth by depth, as if the nodes had been worked on one depth at a time.
  const bool ahead = !controls.max_leaves && updates.deferred() && params.max_depth >= 1;
  if (ahead) {
    const auto splits_ahead = [&](const LevelNode& g, std::size_t depth) {
      const LevelNodeWork& w = g.work;
      return !g.failure && w.candidate && gain_passes(*w.candidate, controls.min_split_gain) &&
             !w.assessment.refusal && !w.linear_failure && children_may_split(g.node, depth) &&
             !w.children_failure;
    };
    std::atomic<std::uint32_t> finished_count{0};
    struct Ready {
      LevelNode* node;
      std::size_t depth;
    };
    std::vector<Ready> ready{{&root_node, 1}};
    std::vector<Ready> running;
    // One task per pool thread: a node's own calls spread over the threads the others leave idle
    // (half or twice as many ran no faster).
    const std::size_t running_limit = parallel::current_num_threads();
    // Running tasks use this scope's state: they are waited for before it ends, whatever happens.
    struct WaitForRunning {
      std::vector<Ready>& running;
      ~WaitForRunning() {
        for (const Ready& r : running) r.node->task.reset();
      }
    } wait_for_running{running};
    while (!ready.empty() || !running.empty()) {
      // Finished nodes hand their children over.
      for (std::size_t k = 0; k < running.size();) {
        LevelNode& g = *running[k].node;
        if (!g.finished.load(std::memory_order_acquire)) {
          ++k;
          continue;
        }
        g.task->wait();
        for (std::unique_ptr<LevelNode>& child : g.children) {
          if (child) ready.push_back({child.get(), running[k].depth + 1});
        }
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(k));
      }
      std::stable_sort(ready.begin(), ready.end(), [](const Ready& a, const Ready& b) {
        return a.node->node.rows.size() > b.node->node.rows.size();
      });
      std::size_t started = 0;
      for (; started < ready.size() && running.size() < running_limit; ++started) {
        const Ready next = ready[started];
        LevelNode& g = *next.node;
        g.task.emplace([&, next] {
          LevelNode& node = *next.node;
          try {
            work_on(node.node, node.work, next.depth);
            if (splits_ahead(node, next.depth)) make_children(node);
          } catch (...) {
            node.failure = std::current_exception();
            node.children = {};
          }
          // A node that stays a leaf needs its histograms no longer.
          if (!node.children[0]) drop_unused_histograms(node);
          node.finished.store(true, std::memory_order_release);
          finished_count.fetch_add(1, std::memory_order_release);
          finished_count.notify_all();
        });
        running.push_back(next);
      }
      ready.erase(ready.begin(), ready.begin() + static_cast<std::ptrdiff_t>(started));
      if (running.empty()) continue;
      // Until some node finishes (helping the open calls meanwhile).
      const std::uint32_t seen = finished_count.load(std::memory_order_acquire);
      bool any = false;
      for (const Ready& r : running) any = any || r.node->finished.load(std::memory_order_acquire);
      if (!any) running.front().node->task->wait_unless(finished_count, seen);
    }
  }

  std::vector<LevelNode*> frontier{&root_node};
  for (std::size_t depth = 1; depth <= params.max_depth && !frontier.empty(); ++depth) {
    if (!ahead) {
      // Every node of the depth at once; the results are then taken in frontier order, as if the
      // nodes had been worked on one by one.
      const std::vector<std::exception_ptr> failures = run_node_tasks(
          frontier.size(), [&](std::size_t i) { work_on(frontier[i]->node, frontier[i]->work, depth); });
      for (std::size_t i = 0; i < frontier.size(); ++i) frontier[i]->failure = failures[i];
    }

    std::vector<LevelNode*> next;
    for (LevelNode* const g : frontier) {
      FrontierNode& node = g->node;
      LevelNodeWork& w = g->work;
      if (g->failure) std::rethrow_exception(g->failure);
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

      TrainedStump record = made_split_record(candidate, partition, assessment.values, node.value, w.linear);
      updates.split_made(record, partition);

      if (!children_may_split(node, depth)) {
        last_reason = IterationStopReason::DepthBudgetReached;
        updates.child_leaf(node.local_id, true, std::move(partition.left_rows));
        updates.child_leaf(node.local_id, false, std::move(partition.right_rows));
      } else {
        if (w.children_failure) std::rethrow_exception(w.children_failure);
        if (!ahead) make_children(*g);
        support::invariant(g->children[0] && g->children[1], "a split made has no children");
        next.push_back(g->children[0].get());
        next.push_back(g->children[1].get());
      }
      tree.stumps.push_back(std::move(record));
    }
    // What the children did not take: the histograms of nodes that stay leaves, and those built
    // for children of splits the leaf budget refused.
    for (LevelNode* const g : frontier) drop_unused_histograms(*g);
    frontier = std::move(next);
  }
  for (LevelNode* const g : frontier) {
    updates.leaf(g->node.local_id, std::move(g->node.rows));
    drop_histograms(std::move(g->node.histograms));
  }
  updates.apply(tree.stumps);

  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
