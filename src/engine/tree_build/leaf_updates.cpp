#include "engine/tree_build/leaf_updates.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <variant>

#include "engine/round.hpp"
#include "engine/tree_build/node_split.hpp"
#include "engine/tree_node.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

namespace {

// The increments a leaf's rows gain, root first: its stretch of the tree's steps. All-constant
// paths also have their floats in the same stretch of the tree's constants, so that their rows
// need no per-step dispatch.
struct LeafPath {
  std::size_t first = 0;
  std::size_t length = 0;
  bool constant = false;
};

// Rows whose predictions are all read before any of them is written back. Some cores hold every
// load back until the addresses of all older stores are known; a store to predictions[rows[i]]
// would make the next row's index and prediction wait for it. The group's indices are read
// first (into registers), then its predictions, then its sums are stored.
constexpr std::size_t kUpdateGroupRows = 8;
// Rows ahead whose predictions are fetched: a leaf's rows lie scattered over the matrix.
constexpr std::size_t kUpdatePrefetchRows = 32;

// predictions[row] = finish(row, predictions[row]) for every row, in order. A group is read before
// it is written only when its rows ascend: a row listed twice in one group must see its own
// earlier update, so such a group (never made by the growers, whose rows ascend) goes row by row.
// finish_group(value) does the same for a whole group: value[k] of rows[k], in place.
template <typename Finish, typename FinishGroup>
void update_predictions(std::span<float> predictions, std::span<const std::uint32_t> rows, Finish&& finish,
                        FinishGroup&& finish_group) {
  float* const data = predictions.data();
  const std::size_t n = rows.size();
  std::size_t i = 0;
  for (; i + kUpdateGroupRows <= n; i += kUpdateGroupRows) {
    if (i + kUpdatePrefetchRows + kUpdateGroupRows <= n) {
#pragma GCC unroll 8
      for (std::size_t k = 0; k < kUpdateGroupRows; ++k) {
        // Prefetching never faults, so the address need not lie inside the predictions.
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(data) +
                                     std::uintptr_t{rows[i + kUpdatePrefetchRows + k]} * sizeof(float);
        __builtin_prefetch(reinterpret_cast<const void*>(ahead), 1);
      }
    }
    std::uint32_t index[kUpdateGroupRows];
    bool ascending = true;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kUpdateGroupRows; ++k) {
      index[k] = rows[i + k];
      if (k > 0) ascending &= index[k - 1] < index[k];
    }
    if (!ascending) [[unlikely]] {
      for (std::size_t k = 0; k < kUpdateGroupRows; ++k) data[index[k]] = finish(index[k], data[index[k]]);
      continue;
    }
    float value[kUpdateGroupRows];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kUpdateGroupRows; ++k) value[k] = data[index[k]];
    finish_group(index, value);
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kUpdateGroupRows; ++k) data[index[k]] = value[k];
  }
  for (; i < n; ++i) data[rows[i]] = finish(rows[i], data[rows[i]]);
}

// The leaves' rows lie interleaved over the predictions: tasks that each took a stretch of one
// leaf's rows all wrote into the same cache lines, and on 8 threads the updates ran hardly faster
// than on one. So the rows are cut into ranges (a few per thread), and each task updates the rows
// of every leaf that fall in its range, found by bisection: its stretch of the predictions stays
// in its core's cache. Bisection finds them only where a leaf's rows ascend (the growers' always
// do), but it cuts any list into consecutive stretches all the same: where a row goes under
// std::lower_bound can only move forward as the value sought grows, so the stretches of
// consecutive ranges meet, and the first range's starts at the front and the last one's ends at
// the back. Each listed row is updated exactly once either way. update(leaf, rows) is called for
// rows of one leaf.
template <typename RowsOf, typename Update>
void update_in_row_ranges(std::size_t leaf_count, std::size_t row_span, std::size_t threads, RowsOf&& rows_of,
                          Update&& update) {
  const std::size_t wanted = kLeafUpdateRangesPerThread * threads;
  const std::size_t range_rows = std::max(kLeafUpdateRangeRows, (row_span + wanted - 1) / wanted);
  const std::size_t ranges = std::max<std::size_t>(1, (row_span + range_rows - 1) / range_rows);
  parallel::parallel_for(
      0, ranges,
      [&](std::size_t range) {
        // The first range starts below every row, the last one ends above every row.
        const std::size_t low = range * range_rows;
        const std::size_t high = range + 1 == ranges ? std::numeric_limits<std::size_t>::max() : low + range_rows;
        for (std::size_t leaf = 0; leaf < leaf_count; ++leaf) {
          const std::span<const std::uint32_t> rows = rows_of(leaf);
          // Both ends searched over the whole list, so that consecutive ranges meet on any list.
          const auto first = std::lower_bound(rows.begin(), rows.end(), low);
          const auto last = std::lower_bound(rows.begin(), rows.end(), high);
          if (first < last) update(leaf, std::span<const std::uint32_t>(first, last));
        }
      },
      parallel::kDefaultMinParallel, threads);
}

}  // namespace

TreePredictionUpdates::TreePredictionUpdates(const TreeGrowthRequest& request)
    : predictions_(request.predictions),
      raw_values_(request.raw_values),
      feature_count_(request.binned.feature_count),
      deferred_(request.predictions.size() >= request.binned.row_count),
      before_updates_(request.before_updates) {}

void TreePredictionUpdates::split_made(const TrainedStump& record, const core::PartitionResult& partition) {
  if (deferred_) return;
  const auto* left = std::get_if<float>(&record.left);
  const auto* right = std::get_if<float>(&record.right);
  if (left != nullptr && right != nullptr) {
    apply_partition_leaf_updates(predictions_, partition, *left, *right);
    return;
  }
  apply_linear_leaf_updates(predictions_, partition.left_rows, core::linear_leaf(record.left), raw_values_,
                            feature_count_);
  apply_linear_leaf_updates(predictions_, partition.right_rows, core::linear_leaf(record.right),
                            raw_values_, feature_count_);
}

void TreePredictionUpdates::leaf(std::uint32_t local_id, core::RowList rows) {
  if (local_id == 0) {
    drop_rows(std::move(rows));
    return;
  }
  child_leaf((local_id - 1) / 2, local_id % 2 == 1, std::move(rows));
}

void TreePredictionUpdates::leaf(std::uint32_t local_id, core::PartitionResult partition) {
  leaf(local_id, std::move(partition.left_rows));
  leaf(local_id, std::move(partition.right_rows));
}

void TreePredictionUpdates::child_leaf(std::uint32_t parent_local, bool left, core::RowList rows) {
  if (!deferred_ || rows.empty()) {
    drop_rows(std::move(rows));
    return;
  }
  leaves_.push_back(SettledLeaf{parent_local, left, std::move(rows)});
}

void TreePredictionUpdates::apply(std::span<const TrainedStump> stumps) {
  if (before_updates_ && !before_updates_()) return;
  if (!deferred_ || leaves_.empty()) return;
  // The split records by local node id, for the walks up from the leaves: a sorted list, which
  // takes one allocation where a hash map took one per record.
  std::vector<std::pair<std::uint32_t, const TrainedStump*>> by_local;
  by_local.reserve(stumps.size());
  for (const TrainedStump& stump : stumps) by_local.emplace_back(local_id_of(stump.node_id), &stump);
  std::sort(by_local.begin(), by_local.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto record_of = [&](std::uint32_t local) {
    const auto found = std::lower_bound(by_local.begin(), by_local.end(), local,
                                        [](const auto& entry, std::uint32_t id) { return entry.first < id; });
    support::invariant(found != by_local.end() && found->first == local,
                       "a settled leaf lies below a node that was not split");
    return found->second;
  };

  std::vector<LeafPath> paths(leaves_.size());
  std::vector<const core::LeafValue*> steps;
  std::vector<float> constants;
  std::size_t total_rows = 0;
  for (std::size_t i = 0; i < leaves_.size(); ++i) {
    const SettledLeaf& settled = leaves_[i];
    LeafPath& path = paths[i];
    path.first = steps.size();
    std::uint32_t local = settled.parent_local;
    bool left = settled.left;
    while (true) {
      const TrainedStump* record = record_of(local);
      steps.push_back(left ? &record->left : &record->right);
      if (local == 0) break;
      left = local % 2 == 1;
      local = (local - 1) / 2;
    }
    const auto path_steps = steps.begin() + static_cast<std::ptrdiff_t>(path.first);
    std::reverse(path_steps, steps.end());
    path.length = steps.size() - path.first;
    path.constant = std::all_of(path_steps, steps.end(),
                                [](const core::LeafValue* step) { return std::holds_alternative<float>(*step); });
    constants.resize(steps.size());
    if (path.constant) {
      for (std::size_t k = path.first; k < steps.size(); ++k) constants[k] = std::get<float>(*steps[k]);
    }
    total_rows += settled.rows.size();
  }

  // The rows of one leaf in path order, the path's increments added to each.
  const auto update_rows = [&](const LeafPath& path, std::span<const std::uint32_t> rows) {
    if (path.constant) {
      const std::span<const float> increments(constants.data() + path.first, path.length);
      const auto finish = [&](std::uint32_t, float prediction) {
        for (const float increment : increments) prediction += increment;
        return prediction;
      };
      // Step by step over the group: each row still gains the increments in path order.
      const auto finish_group = [&](const std::uint32_t*, float* value) {
        for (const float increment : increments) {
#pragma GCC unroll 8
          for (std::size_t k = 0; k < kUpdateGroupRows; ++k) value[k] += increment;
        }
      };
      update_predictions(predictions_, rows, finish, finish_group);
      return;
    }
    const std::span<const core::LeafValue* const> path_steps(steps.data() + path.first, path.length);
    const auto finish = [&](std::uint32_t row, float prediction) {
      // A row whose offset overflows has no raw values: only the intercepts apply.
      const std::size_t offset = support::checked_mul(row, feature_count_).value_or(raw_values_.size());
      for (const core::LeafValue* step : path_steps) {
        if (const float* constant = std::get_if<float>(step)) {
          prediction += *constant;
        } else {
          prediction += linear_leaf_value_at(core::linear_leaf(*step), raw_values_, offset);
        }
      }
      return prediction;
    };
    const auto finish_group = [&](const std::uint32_t* index, float* value) {
      for (std::size_t k = 0; k < kUpdateGroupRows; ++k) value[k] = finish(index[k], value[k]);
    };
    update_predictions(predictions_, rows, finish, finish_group);
  };
  const std::size_t threads =
      std::clamp<std::size_t>(total_rows / kLeafUpdateRowsPerThread, 1, parallel::current_num_threads());
  // Each row lies in exactly one leaf, so the tasks write disjoint predictions, and each row's
  // additions run in path order whatever the thread count.
  if (threads == 1) {
    for (std::size_t i = 0; i < leaves_.size(); ++i) update_rows(paths[i], leaves_[i].rows);
  } else {
    update_in_row_ranges(
        leaves_.size(), predictions_.size(), threads,
        [&](std::size_t leaf) { return std::span<const std::uint32_t>(leaves_[leaf].rows); },
        [&](std::size_t leaf, std::span<const std::uint32_t> rows) { update_rows(paths[leaf], rows); });
  }
  for (SettledLeaf& settled : leaves_) drop_rows(std::move(settled.rows));
  leaves_.clear();
}

}  // namespace kestrune::engine::tree_build
