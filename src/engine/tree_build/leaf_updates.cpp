#include "engine/tree_build/leaf_updates.hpp"

#include <algorithm>
#include <unordered_map>
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

// The increments a leaf's rows gain, root first. All-constant paths keep their floats apart, so
// that their rows need no per-step dispatch.
struct LeafPath {
  std::vector<const core::LeafValue*> steps;
  std::vector<float> constants;  // filled only when every step is constant
};

// A run of one leaf's rows handled by one pool task.
struct RowPiece {
  std::size_t leaf;
  std::size_t begin;
  std::size_t end;
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
  std::unordered_map<std::uint32_t, const TrainedStump*> by_local;
  by_local.reserve(stumps.size());
  for (const TrainedStump& stump : stumps) by_local.emplace(local_id_of(stump.node_id), &stump);

  std::vector<LeafPath> paths(leaves_.size());
  std::vector<RowPiece> pieces;
  std::size_t total_rows = 0;
  for (std::size_t i = 0; i < leaves_.size(); ++i) {
    const SettledLeaf& settled = leaves_[i];
    LeafPath& path = paths[i];
    std::uint32_t local = settled.parent_local;
    bool left = settled.left;
    while (true) {
      const auto found = by_local.find(local);
      support::invariant(found != by_local.end(), "a settled leaf lies below a node that was not split");
      path.steps.push_back(left ? &found->second->left : &found->second->right);
      if (local == 0) break;
      left = local % 2 == 1;
      local = (local - 1) / 2;
    }
    std::reverse(path.steps.begin(), path.steps.end());
    if (std::all_of(path.steps.begin(), path.steps.end(),
                    [](const core::LeafValue* step) { return std::holds_alternative<float>(*step); })) {
      for (const core::LeafValue* step : path.steps) path.constants.push_back(std::get<float>(*step));
    }
    const std::size_t rows = settled.rows.size();
    for (std::size_t begin = 0; begin < rows; begin += kLeafUpdateChunkRows) {
      pieces.push_back(RowPiece{i, begin, std::min(rows, begin + kLeafUpdateChunkRows)});
    }
    total_rows += rows;
  }

  // Each row lies in exactly one leaf, so the tasks write disjoint predictions, and each row's
  // additions run in path order whatever the thread count.
  parallel::parallel_for(
      0, pieces.size(),
      [&](std::size_t p) {
        const RowPiece& piece = pieces[p];
        const LeafPath& path = paths[piece.leaf];
        const std::span<const std::uint32_t> rows =
            std::span<const std::uint32_t>(leaves_[piece.leaf].rows).subspan(piece.begin, piece.end - piece.begin);
        if (!path.constants.empty()) {
          const auto finish = [&](std::uint32_t, float prediction) {
            for (const float increment : path.constants) prediction += increment;
            return prediction;
          };
          // Step by step over the group: each row still gains the increments in path order.
          const auto finish_group = [&](const std::uint32_t*, float* value) {
            for (const float increment : path.constants) {
#pragma GCC unroll 8
              for (std::size_t k = 0; k < kUpdateGroupRows; ++k) value[k] += increment;
            }
          };
          update_predictions(predictions_, rows, finish, finish_group);
          return;
        }
        const auto finish = [&](std::uint32_t row, float prediction) {
          // A row whose offset overflows has no raw values: only the intercepts apply.
          const std::size_t offset = support::checked_mul(row, feature_count_).value_or(raw_values_.size());
          for (const core::LeafValue* step : path.steps) {
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
      },
      parallel::kDefaultMinParallel, total_rows / kLeafUpdateRowsPerThread);
  for (SettledLeaf& settled : leaves_) drop_rows(std::move(settled.rows));
  leaves_.clear();
}

}  // namespace kestrune::engine::tree_build
