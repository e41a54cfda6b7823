// Leaf-wise (best-first) tree growth: the splittable leaves wait in a queue ordered by split
// gain, the leaf with the largest gain is split next, and growth stops when the queue is empty or
// the leaf budget is spent. The caller's predictions include the tree when the call returns: each
// final leaf's path increments are added to its rows once the tree is grown (leaf_updates.hpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
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
#include "engine/tree_build/pending_split_queue.hpp"
#include "engine/tree_node.hpp"
#include "parallel/parallel.hpp"
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

// A smaller child of at most this many cells (rows times histograms) hands its histograms back
// once searched, leaving its bundle empty, and has them built again from its rows (the same sums
// in the same order) if it is split. No other bundle is empty: a build gives a histogram per
// feature of the tiles, and a round never has no tiles. Most such nodes end as leaves, whose
// dense bundles were otherwise held unread until the tree's end. On 255-leaf trees of
// 1,000,000 x 28 rows at 8 threads the fit's peak memory fell by 7-12 MiB in the same time; at
// 1 << 16 cells by 15-20 MiB, with many more nodes built twice.
inline constexpr std::size_t kRebuiltHistogramCells = std::size_t{1} << 14;

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

  // The work of queued nodes, done on the pool ahead of their turn: partition, checks, linear
  // fit, child histograms and searches, for the top of the queue and the next largest gains,
  // which a one-at-a-time grower would most likely split next anyway. Jobs for about seven
  // eighths of the pool run at a time (at least 4): the grower works along a chain of nodes
  // itself, each split as soon as its parent is committed, and the histograms and partitions of
  // its larger nodes run on the pool too, so the workers a running job holds are workers that
  // node's calls wait for. A job that has finished waits for its node to be popped without
  // holding a running place, so that the nodes behind it keep the workers busy.
  //
  // Jobs start only for the nodes the queue ranks among the next splits the leaf budget allows
  // (at most eight per pool thread), and for the children of their finished jobs that would
  // rank there too (by the least gain up to the queue): the work the budget may drop stays
  // bounded. A node's job starts as soon as the node is among them, so the workers never wait
  // for a whole group of nodes to finish; the children a finished job found count among them
  // before their parent is committed, so that the workers do not wait for the grower either. At
  // most sixteen jobs per pool thread are held at once, for memory. The results are committed in
  // the grower's order. A node the leaf budget drops first leaves its work unused (and any
  // failure of it unreported).
  //
  // Measured on 8 threads, 150 rounds of 255-leaf trees on 1,000,000 x 28 rows: 4 jobs running
  // and eight per thread held, 4.03-4.42 s; 6 and sixteen, 3.78-4.03 s (alternating runs). Eight
  // or sixteen nodes in line per thread made no difference there. Once a large node's sums were
  // added on a worker of their own while its job went on, 7 jobs running beat 6 in 7 of 9
  // alternating pairs of 300 rounds (by about 2%), and 8 did not.
  const std::size_t jobs_running = std::max<std::size_t>(4, parallel::current_num_threads() * 7 / 8);
  const std::size_t next_in_line = 8 * parallel::current_num_threads();
  const std::size_t jobs_held = 16 * parallel::current_num_threads();
  // The children's histograms and best splits, from the partition's row lists.
  const auto work_on_children = [&](PendingSplit& node, LeafNodeWork& work, core::PartitionResult& partition) {
    const std::uint32_t left_local = left_child_node_id(node.local_id);
    const std::uint32_t right_local = right_child_node_id(node.local_id);
    // Only the smaller child is histogrammed from rows (the left one on equal counts), and
    // searched first.
    work.right_first = partition.right_rows.size() < partition.left_rows.size();
    ChildHistograms children = build_child_histograms(backend, request, std::move(node.histograms), partition,
                                                      encode_tree_node_id(request.tree_index, left_local),
                                                      encode_tree_node_id(request.tree_index, right_local));
    node.histograms = {};
    work.left_histograms = std::move(children.left);
    work.right_histograms = std::move(children.right);
    for (const bool right : {work.right_first, !work.right_first}) {
      (right ? work.right_candidate : work.left_candidate) =
          search_node(backend, request, masks, right ? work.right_histograms : work.left_histograms,
                      right ? right_local : left_local, right ? partition.right_rows : partition.left_rows);
    }
    core::HistogramBundle& smaller = work.right_first ? work.right_histograms : work.left_histograms;
    const std::size_t smaller_rows = (work.right_first ? partition.right_rows : partition.left_rows).size();
    if (smaller_rows * smaller.histograms.size() <= kRebuiltHistogramCells) drop_histograms(std::move(smaller));
  };
  const auto work_on = [&](PendingSplit& node, LeafNodeWork& work) {
    const std::uint32_t key = encode_tree_node_id(request.tree_index, node.local_id);
    // A large node's sums are a chain of additions, one per row, in row order; its children's
    // histograms and searches need only the row lists. They are worked on while the sums are
    // added up, and the split's checks follow: a refused split drops that work unused, and a
    // failure in it counts only once the checks and the linear fit have passed, as if it had come
    // after them.
    std::exception_ptr children_failure;
    WhileSumming children_while_summing;
    if (children_may_split(node)) {
      children_while_summing = [&](core::PartitionResult& lists) {
        try {
          work_on_children(node, work, lists);
        } catch (...) {
          children_failure = std::current_exception();
        }
      };
    }
    {
      // The node keeps its rows: a node dropped by the leaf budget still hands them over.
      core::NodeSlice slice = node_slice(key, std::move(node.rows));
      try {
        if (node.histograms.histograms.empty() && children_while_summing) {
          node.histograms = backend.build_histograms(binned, request.gradients, slice, request.feature_tiles);
        }
        work.partition = partition_node(backend, request, slice, node.candidate, children_while_summing);
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
    if (work.assessment.refusal) {
      drop_histograms(std::move(work.left_histograms));
      drop_histograms(std::move(work.right_histograms));
      work.left_candidate.reset();
      work.right_candidate.reset();
      return;
    }
    work.linear = fit_linear_children(backend, request, linear_terms, learning_rate, depth_scale, node.candidate,
                                      work.partition, node.value, node.linear_leaf);
    if (children_failure) std::rethrow_exception(children_failure);
  };

  // A node's job owns the node's rows and histograms (moved out of the queue, whose entries move
  // as it changes) and a copy of the rest. Jobs are collected before anything they read goes.
  struct NodeJob {
    PendingSplit node;
    LeafNodeWork work;
    std::atomic<bool> finished{false};  // the work is done (work.failure holds its exception)
    // The jobs of its children (left, right) started from this one's results, and, while that
    // one's node is not yet committed, the job this one's node was started from.
    NodeJob* child_jobs[2] = {nullptr, nullptr};
    NodeJob* parent_job = nullptr;
    std::optional<parallel::PostedTask<std::function<void()>>> task;
  };
  // A finished job knows its children's rows, histograms and best splits before the grower
  // commits it: a child whose split will be queued may have its own job started at once, so
  // that the workers do not wait for the commits ahead of its parent. It is the child's queue
  // entry, less its rows and histograms, that the parent's commit queues then. Only while the
  // prediction updates read no rows at a split (the children's rows leave the partition).
  const bool children_ahead = updates.deferred();
  // Bumped as a posted job finishes that the grower waits for, or that found children to split:
  // the grower waiting for one node's job wakes to start those children's jobs.
  std::atomic<std::uint32_t> jobs_finished{0};
  std::atomic<const NodeJob*> awaited{nullptr};
  std::unordered_map<std::uint32_t, std::unique_ptr<NodeJob>> jobs;
  // The posted jobs not yet collected, and the collected ones whose children may still get jobs
  // of their own: what the choice below scans, rather than every job held.
  std::vector<NodeJob*> posted;
  std::vector<NodeJob*> open_parents;
  // Removes list[i] (the last entry takes its place), or the job wherever it is.
  const auto remove_at = [](std::vector<NodeJob*>& list, std::size_t i) {
    list[i] = list.back();
    list.pop_back();
  };
  const auto forget = [&](std::vector<NodeJob*>& list, const NodeJob* job) {
    const auto at = std::find(list.begin(), list.end(), job);
    if (at != list.end()) remove_at(list, static_cast<std::size_t>(at - list.begin()));
  };
  // The top of the queue is popped right after its job starts: when it has no job yet, the
  // grower works on it itself instead of posting it, so that it does not wait for a worker to
  // take the job, nor sleep while one runs it (and wake late once it is done).
  const auto start_job = [&](PendingSplit& entry, bool post) -> NodeJob* {
    // The searches of a node's children read their masks, which depend only on the node's own
    // split feature: they are set before the node is worked on.
    if (children_may_split(entry)) {
      masks.assign_children(entry.local_id, entry.candidate.feature_index, left_child_node_id(entry.local_id),
                            right_child_node_id(entry.local_id));
    }
    auto job = std::make_unique<NodeJob>();
    job->node = PendingSplit{std::move(entry.rows), std::move(entry.histograms), entry.candidate, entry.linear_leaf,
                             entry.depth, entry.local_id, entry.value};
    NodeJob* const started = job.get();
    if (post) {
      job->task.emplace([&, started] {
        LeafNodeWork& work = started->work;
        try {
          work_on(started->node, work);
        } catch (...) {
          work.failure = std::current_exception();
        }
        const auto splits = [&](const std::optional<SplitCandidate>& candidate) {
          return candidate && gain_passes(*candidate, controls.min_split_gain);
        };
        const bool children = children_ahead && !work.failure &&
                              (splits(work.left_candidate) || splits(work.right_candidate));
        // Sequentially consistent with the grower's marking of the job it waits for: either
        // the grower sees this job finished, or this job sees itself awaited.
        started->finished.store(true);
        if (children || awaited.load() == started) {
          jobs_finished.fetch_add(1, std::memory_order_release);
          jobs_finished.notify_all();
        }
      });
    }
    entry.worked_on = true;
    if (post) posted.push_back(started);
    jobs.emplace(entry.local_id, std::move(job));
    return started;
  };
  const auto child_ready = [&](const NodeJob& parent, bool right) {
    const std::optional<SplitCandidate>& candidate = right ? parent.work.right_candidate : parent.work.left_candidate;
    return parent.child_jobs[right ? 1 : 0] == nullptr && candidate &&
           gain_passes(*candidate, controls.min_split_gain) && parent.node.depth + 1 < params.max_depth;
  };
  const auto start_child_job = [&](NodeJob& parent, bool right) {
    LeafNodeWork& work = parent.work;
    std::optional<core::LinearLeaf> linear_leaf;
    if (work.linear) linear_leaf = right ? work.linear->right : work.linear->left;
    const float value = work.linear ? (right ? work.linear->right.intercept : work.linear->left.intercept)
                                    : (right ? work.assessment.values.right : work.assessment.values.left);
    PendingSplit child{std::move(right ? work.partition.right_rows : work.partition.left_rows),
                       std::move(right ? work.right_histograms : work.left_histograms),
                       *(right ? work.right_candidate : work.left_candidate),
                       std::move(linear_leaf),
                       parent.node.depth + 1,
                       right ? right_child_node_id(parent.node.local_id) : left_child_node_id(parent.node.local_id),
                       value};
    NodeJob* const started = start_job(child, true);
    started->parent_job = &parent;
    parent.child_jobs[right ? 1 : 0] = started;
  };
  // The lists of the call below, kept from call to call.
  std::vector<PendingSplit*> next_nodes_kept;
  // A node waiting for a job: in the queue, or the child of a finished job.
  struct Waiting {
    float gain;
    PendingSplit* queued;
    NodeJob* parent;
    bool right;
  };
  std::vector<Waiting> waiting_kept;
  // Starts jobs for the nodes of the largest gains among the queue's and the finished jobs'
  // children, within the bounds above; the top of the queue always (worked on by the grower
  // itself when `top_here`).
  const auto keep_jobs_going = [&](bool top_here) {
    std::size_t in_line = next_in_line;
    if (controls.max_leaves) in_line = std::min(in_line, *controls.max_leaves + 1 - leaf_budget);
    std::size_t running = 0;
    for (std::size_t i = 0; i < posted.size();) {
      NodeJob& job = *posted[i];
      if (!job.finished.load(std::memory_order_acquire)) {
        ++running;
        ++i;
        continue;
      }
      // A posted task holds one of the pool's few call slots until it is collected, and a
      // finished job may wait long for its node's turn: without this, the held jobs took every
      // slot near the end of a tree, and the tasks posted then ran only once collected.
      job.task->wait();
      if (children_ahead && !job.work.failure && (child_ready(job, false) || child_ready(job, true))) {
        open_parents.push_back(&job);
      }
      remove_at(posted, i);
    }
    if (!queue.empty() && queue.top().depth < params.max_depth && !queue.top().worked_on) {
      start_job(queue.top(), !top_here);
      ++running;
    }
    if (jobs.size() >= jobs_held || running >= jobs_running) return;
    // The nodes next in line, and the gain a finished job's child needs to rank among them. Jobs
    // finished earlier for nodes since ranked lower keep their work, but start no children.
    std::vector<PendingSplit*>& next_nodes = next_nodes_kept;
    const float lowest_gain = queue.largest(in_line, next_nodes);
    // The least of the gains on the way up from a job's node to the queued node it comes from
    // (a job whose parent still has one is of a child its parent's commit has not queued yet). A
    // node is popped no sooner than its ancestors, so a child of a job ranks by that least gain:
    // above `lowest_gain` only if that queued node is among the next ones. Ranked by their own
    // gains, which often exceed their parent's, the descendants of one queued node held every
    // place with work the leaf budget never reached (on 255-leaf trees of 1,000,000 rows, a third
    // of some trees' time), and the grower worked on alone.
    const auto least_gain_up = [](const NodeJob& job) {
      float gain = std::numeric_limits<float>::infinity();
      for (const NodeJob* at = &job; at != nullptr; at = at->parent_job) gain = std::min(gain, at->node.candidate.gain);
      return gain;
    };
    std::vector<Waiting>& waiting = waiting_kept;
    waiting.clear();
    for (PendingSplit* node : next_nodes) {
      if (node->depth < params.max_depth && !node->worked_on) {
        waiting.push_back({node->candidate.gain, node, nullptr, false});
      }
    }
    for (std::size_t i = 0; i < open_parents.size();) {
      NodeJob& job = *open_parents[i];
      if (!child_ready(job, false) && !child_ready(job, true)) {
        remove_at(open_parents, i);
        continue;
      }
      ++i;
      const float up = least_gain_up(job);
      if (!(up > lowest_gain)) continue;
      for (const bool right : {false, true}) {
        if (!child_ready(job, right)) continue;
        const float gain = std::min(up, (right ? job.work.right_candidate : job.work.left_candidate)->gain);
        if (gain > lowest_gain) waiting.push_back({gain, nullptr, &job, right});
      }
    }
    // Only those that may start are ranked.
    const std::size_t starts = std::min({waiting.size(), jobs_held - jobs.size(), jobs_running - running});
    std::partial_sort(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(starts), waiting.end(),
                      [](const Waiting& a, const Waiting& b) { return a.gain > b.gain; });
    for (std::size_t i = 0; i < starts; ++i) {
      if (waiting[i].queued != nullptr) {
        start_job(*waiting[i].queued, true);
      } else {
        start_child_job(*waiting[i].parent, waiting[i].right);
      }
    }
  };
  // Hands a job's rows back and drops what it built, once it has finished.
  const auto drop_job = [&](NodeJob& job) {
    job.task.reset();
    LeafNodeWork& work = job.work;
    drop_rows(std::move(work.partition.left_rows));
    drop_rows(std::move(work.partition.right_rows));
    drop_histograms(std::move(work.left_histograms));
    drop_histograms(std::move(work.right_histograms));
    drop_histograms(std::move(job.node.histograms));
  };

  while (!budget_spent) {
    if (queue.empty()) break;
    if (queue.top().depth < params.max_depth) keep_jobs_going(true);
    PendingSplit node = queue.pop();
    if (node.depth >= params.max_depth) {
      last_reason = IterationStopReason::DepthBudgetReached;
      updates.leaf(node.local_id, std::move(node.rows));
      drop_histograms(std::move(node.histograms));
      continue;
    }
    const auto found = jobs.find(node.local_id);
    support::invariant(found != jobs.end(), "a popped split was not worked on");
    const std::unique_ptr<NodeJob> job = std::move(found->second);
    jobs.erase(found);
    forget(posted, job.get());
    forget(open_parents, job.get());
    // Its children's jobs now come from a committed node.
    for (NodeJob* child : job->child_jobs) {
      if (child != nullptr) child->parent_job = nullptr;
    }
    // The node's own failure is the tree's.
    if (job->task) {
      awaited.store(job.get());
      for (;;) {
        const std::uint32_t seen = jobs_finished.load(std::memory_order_acquire);
        // Once the job has counted itself finished, only its return is left: a wait on the
        // count could sleep past it.
        if (job->finished.load()) {
          job->task->wait();
          break;
        }
        if (job->task->wait_unless(jobs_finished, seen)) break;
        if (children_ahead) keep_jobs_going(false);
      }
      awaited.store(nullptr, std::memory_order_relaxed);
      if (job->work.failure) std::rethrow_exception(job->work.failure);
    } else {
      work_on(job->node, job->work);
    }
    LeafNodeWork& work = job->work;
    // The partition holds the node's rows now.
    drop_rows(std::move(job->node.rows));
    // Consumed by the children's histograms unless the node stays a leaf or its children may
    // not split.
    drop_histograms(std::move(job->node.histograms));
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
        core::RowList& rows = right ? partition.right_rows : partition.left_rows;
        const std::uint32_t local_id = right ? right_child_node_id(node.local_id) : left_child_node_id(node.local_id);
        if (!candidate || !gain_passes(*candidate, controls.min_split_gain)) {
          updates.leaf(local_id, std::move(rows));
          drop_histograms(std::move(right ? work.right_histograms : work.left_histograms));
          continue;
        }
        // A child whose job has started holds its rows and histograms there: its entry moves
        // empty ones.
        std::optional<core::LinearLeaf> linear_leaf;
        if (linear) linear_leaf = right ? linear->right : linear->left;
        queue.push(PendingSplit{std::move(rows), std::move(right ? work.right_histograms : work.left_histograms),
                                std::move(*candidate), std::move(linear_leaf), node.depth + 1, local_id,
                                right ? right_value : left_value, job->child_jobs[right ? 1 : 0] != nullptr});
      }
    }

    ++leaf_budget;
    budget_spent = controls.max_leaves && leaf_budget > *controls.max_leaves;
  }

  // A spent budget drops every pending split; the first one dropped names the reason.
  if (budget_spent && !queue.empty()) last_reason = IterationStopReason::MaxLeavesReached;
  while (!queue.empty()) {
    PendingSplit pending = queue.pop();
    const auto found = jobs.find(pending.local_id);
    if (found == jobs.end()) {
      updates.leaf(pending.local_id, std::move(pending.rows));
      drop_histograms(std::move(pending.histograms));
      continue;
    }
    NodeJob& job = *found->second;
    drop_job(job);
    updates.leaf(pending.local_id, std::move(job.node.rows));
    jobs.erase(found);
  }
  // Jobs of children whose parents were never committed.
  for (auto& [local_id, job] : jobs) {
    drop_job(*job);
    drop_rows(std::move(job->node.rows));
  }
  updates.apply(tree.stumps);
  tree.stop_reason = tree.stumps.empty() ? last_reason : IterationStopReason::CompletedRequestedRounds;
  return tree;
}

}  // namespace kestrune::engine::tree_build
