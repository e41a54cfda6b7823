// The training-prediction updates of one tree, added once the tree is grown.
//
// A row's prediction gains the increment of every split on its path, root first. Adding them
// split by split as the tree grows passes over every row once per depth, serially. Instead the
// growers hand each final leaf's rows over as the leaf is settled, and the increments are added
// at the end, in parallel over rows: each row gets the increments of its leaf's path in root-first
// order, so its float32 additions are exactly those of the split-by-split updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/leaf.hpp"
#include "engine/trained_stump.hpp"
#include "engine/tree_build/grow_request.hpp"

namespace kestrune::engine::tree_build {

// One thread per this many rows of the tree (at most the pool).
inline constexpr std::size_t kLeafUpdateRowsPerThread = 32768;
// The rows are updated by ranges: this many ranges per thread, of at least this many rows.
inline constexpr std::size_t kLeafUpdateRangesPerThread = 2;
inline constexpr std::size_t kLeafUpdateRangeRows = 16384;

class TreePredictionUpdates {
 public:
  // Deferred when every matrix row has a prediction. Otherwise (a caller's error) each split's
  // increments are added as the split is made, so that the first row without a prediction fails
  // exactly where it always did.
  explicit TreePredictionUpdates(const TreeGrowthRequest& request);

  // True when split_made adds nothing and reads no rows.
  bool deferred() const noexcept { return deferred_; }

  // A split was made: the increments of `record` go to the rows of `partition` (added now only
  // when not deferred).
  void split_made(const TrainedStump& record, const core::PartitionResult& partition);

  // Node `local_id` stays a leaf with these rows (the root adds nothing: no split is above it).
  void leaf(std::uint32_t local_id, core::RowList rows);
  // Both sides of a partition whose node stays a leaf.
  void leaf(std::uint32_t local_id, core::PartitionResult partition);
  // The `left` (or right) child of split node `parent_local` stays a leaf with these rows.
  void child_leaf(std::uint32_t parent_local, bool left, core::RowList rows);

  // Adds the increments of every settled leaf to its rows; `stumps` are the tree's records. Every
  // row of the tree must have been handed over in a settled leaf. The request's before_updates
  // runs first: when it says no, nothing is added.
  void apply(std::span<const TrainedStump> stumps);

 private:
  struct SettledLeaf {
    std::uint32_t parent_local;  // the last split on the leaf's path
    bool left;                   // the side of that split the leaf is on
    core::RowList rows;
  };

  std::span<float> predictions_;
  std::span<const float> raw_values_;
  std::size_t feature_count_;
  bool deferred_;
  std::function<bool()> before_updates_;
  std::vector<SettledLeaf> leaves_;
};

}  // namespace kestrune::engine::tree_build
