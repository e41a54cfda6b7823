// DART boosting: which earlier trees a round drops while its new tree is fitted, how the weights
// of the dropped trees and of the new tree are rescaled afterwards, and the per-tree bookkeeping
// the boosting loops keep for it.
//
// Draws are keyed hashes of (seed, round, tree index): no generator state, so a fit with a fixed
// seed drops the same trees whatever happened before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// The DART record of a fit: one weight per tree in tree order, and the dropped tree indices of
// each round, in round order.
struct DartState {
  std::vector<float> tree_weights;
  std::vector<std::vector<std::size_t>> dropped_sets;
};

// The draw of `tree_index` in round `iteration`: the top 24 bits of the SplitMix64 finaliser of
// ((i * 0xD6E8FD5089A47A4D) ^ (iteration * 0x9E3779B97F4A7C15) ^ seed) + 0x9E3779B97F4A7C15, read
// as a fraction in [0, 1) (exact in float32). GOSS keys its other rows the same way.
float dart_draw_key(std::uint64_t seed, std::uint64_t iteration, std::uint64_t tree_index);

// The trees dropped in one round among the first `n_existing`, ascending and distinct.
// Empty when n_existing or max_drop is 0 or rate is not > 0 (NaN included). Otherwise a tree is a
// candidate when its key is below rate (uniform), or below min(1, |w_i| / sum|w| * rate * n)
// (weighted; a NaN share counts as 1, and a zero weight sum gives no candidates). No candidate:
// the single tree with the smallest key (lowest index on ties). More than max_drop candidates:
// the max_drop with the smallest keys. Under weighted sampling with a positive weight sum, every
// tree below n_existing must have a weight (a panic otherwise).
std::vector<std::size_t> select_dropouts(std::size_t n_existing, std::size_t max_drop, core::DartSampleType sample_type,
                                         std::span<const float> weights, std::uint64_t seed, std::uint64_t iteration,
                                         float rate);

// The two factors of a round that dropped `dropped_count` trees: the new tree enters at
// 1 / (k + 1); each dropped tree's weight is multiplied by k / (k + 1) ("tree") or 1 / (k + 1)
// ("forest"). Float32, k converted to float32 first.
struct DartRoundScale {
  float new_tree_weight = 1.0f;
  float dropped_factor = 0.0f;
};
DartRoundScale dart_round_scale(std::size_t dropped_count, core::DartNormalizeType normalize_type);

// Replays one round on `weights`: every dropped index inside the list is multiplied by the
// round's dropped factor (indices beyond it are skipped), then the new tree's weight is written
// at `new_tree_index`, or appended when that index is not inside the list.
void apply_normalization(std::vector<float>& weights, std::span<const std::size_t> dropped,
                         core::DartNormalizeType normalize_type, std::size_t new_tree_index);

// The new tree of a DART round was grown into `working` on top of `base` (the predictions with
// the dropped trees taken out). Scales its contribution to the new tree's weight in place:
// working[r] = base[r] + (working[r] - base[r]) * new_tree_weight.
void scale_new_tree_contribution(std::span<float> working, std::span<const float> base, float new_tree_weight);

// Where each tree of a stump list starts and how many stumps it has, by tree position.
struct TreeRun {
  std::size_t offset = 0;
  std::size_t size = 0;  // 0 for a position that holds no tree
};

// The runs of adjacent stumps with equal tree index, placed at the position equal to their tree
// index: positions no tree occupies are empty runs (offset = the next tree's first stump), and the
// table is padded with empty runs at the list's end up to `min_positions`. A gap in the tree
// indices therefore never moves a later tree to another position. EngineError::ContractViolation
// "trees are out of order: tree index {} follows tree index {}" when a tree index is not above
// the previous tree's.
std::vector<TreeRun> tree_runs_by_index(std::span<const TrainedStump> stumps, std::size_t min_positions = 0);

// The single-output loop's DART record: one entry per tree position, which is the tree index of
// the tree's stumps. Entries for positions without a tree (rounds skipped without a tree, gaps in
// a warm-start model) are fillers: an empty run, weight 1.0, no drops.
struct DartTreeList {
  // tree_weights[p] is the weight of position p; dropped_sets[p] the positions dropped by the
  // round that grew it (empty for warm-start trees and fillers).
  DartState state;
  std::vector<TreeRun> runs;
  // The weights the warm-start model gave its positions at set-up. A cut back to an earlier round
  // replays this fit's kept rounds on top of them.
  std::vector<float> warm_start_weights;

  std::size_t size() const noexcept { return runs.size(); }
  std::span<const float> weights() const noexcept { return state.tree_weights; }
};

// The list at the start of a fit: the warm-start trees by tree index with their stored weights
// (the per-stump weight of each tree's first stump when present, else 1.0), or an empty list.
// Errors of tree_runs_by_index.
DartTreeList dart_tree_list_from_warm_start(std::span<const TrainedStump> warm_stumps,
                                            const std::optional<std::vector<float>>& per_stump_weights);

// The stumps of the tree at `position` of `stumps` (the list the runs describe). A position or a
// run outside the list is a bug and panics.
std::span<const TrainedStump> dart_tree_stumps(const DartTreeList& list, std::span<const TrainedStump> stumps,
                                               std::size_t position);

// Records an accepted round of iteration `iteration`: fillers up to that position, the dropped
// trees' new weights (`new_dropped_weights[j]` for `dropped[j]`), then the new tree at position
// `iteration` with `new_tree_weight`, the round's drops, and its run (`first_stump`,
// `stump_count`). The position already being taken, or a dropped position outside the list, is a
// bug and panics.
void record_dart_tree(DartTreeList& list, std::uint64_t iteration, std::span<const std::size_t> dropped,
                      std::span<const float> new_dropped_weights, float new_tree_weight, std::size_t first_stump,
                      std::size_t stump_count);

// After the stump list was cut back to the warm-start trees and the first `kept_rounds` accepted
// rounds of this fit: the entries after the last kept tree are removed, and the weights are
// rebuilt by replaying the kept rounds' drops on top of the warm-start set-up weights, so a tree
// that a cut-off round dropped regains the weight it had after the kept rounds. Keeps every entry
// when fewer than `kept_rounds` trees were grown.
void renormalize_dart_after_truncation(DartTreeList& list, std::size_t kept_rounds,
                                       core::DartNormalizeType normalize_type);

// Writes weight[t] into every stump of tree index t below the list's length; other stumps keep
// their weight.
void write_dart_weights_into_stumps(std::span<TrainedStump> stumps, std::span<const float> tree_weights);

}  // namespace kestrune::engine
