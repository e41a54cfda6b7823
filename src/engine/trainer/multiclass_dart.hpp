// DART inside the multiclass rounds: which earlier class trees a round drops, taking them off
// and putting them back at their rescaled weights, and the per-tree record the loop keeps.
//
// Tree positions run round-major and class-minor: position j is class j mod K's tree of round
// position j div K. The warm start's rounds occupy the first positions by tree index; every kept
// round then appends one position per class, whether or not the class split in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/dart.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/multiclass_round.hpp"

namespace kestrune::engine::trainer {

struct MultiClassDart {
  core::DartBoosting settings;
  std::size_t num_classes = 0;
  // tree_weights: one per position; dropped_sets: one per round position (empty for the warm
  // start's rounds).
  DartState state;
  // class_runs[c][q]: where class c's tree of round position q lies in its stump list (an empty
  // run where the class has no tree there).
  std::vector<std::vector<TreeRun>> class_runs;
  std::size_t warm_rounds = 0;
  std::vector<float> warm_weights;  // the weights at set-up, replayed after a cut back
};

// The record at the start of a fit. The weights are `initial_weights`, which must hold one per
// warm-start round and class (ContractViolation "warm-start initial_dart_tree_weights length {}
// != initial_rounds_completed * K = {} * {} = {}"), or 1.0 each without them. Each class's trees
// are placed by tree index; every tree index must lie below `warm_rounds`.
MultiClassDart make_multiclass_dart(const core::DartBoosting& settings, std::size_t num_classes,
                                    std::span<const std::vector<TrainedStump>> class_stumps, std::size_t warm_rounds,
                                    const std::optional<std::vector<float>>& initial_weights);

// The positions dropped in round `iteration`, ascending.
std::vector<std::size_t> select_multiclass_dropouts(const MultiClassDart& dart, std::uint64_t seed_base,
                                                    std::uint64_t iteration);

// The stumps of the tree at `position` (empty when its class has no tree there).
std::span<const TrainedStump> multiclass_dart_tree(const MultiClassDart& dart,
                                                   std::span<const std::vector<TrainedStump>> class_stumps,
                                                   std::size_t position);

// Adds the tree at dropped[i] to its class's margins with weight weights[i], in list order.
void add_dart_trees(const MultiClassDart& dart, std::span<const std::vector<TrainedStump>> class_stumps,
                    std::span<const std::size_t> dropped, std::span<const float> weights,
                    std::vector<std::vector<float>>& margins, const core::BinnedMatrix& binned,
                    std::optional<RawFeatureRows> raw);

// Takes the tree at dropped[i] off its class's margins: adds it with weight -weights[i].
void remove_dart_trees(const MultiClassDart& dart, std::span<const std::vector<TrainedStump>> class_stumps,
                       std::span<const std::size_t> dropped, std::span<const float> weights,
                       std::vector<std::vector<float>>& margins, const core::BinnedMatrix& binned,
                       std::optional<RawFeatureRows> raw);

// The current weights of `dropped`, in order.
std::vector<float> dart_weights_of(const MultiClassDart& dart, std::span<const std::size_t> dropped);

// Records a kept round: the dropped trees take their new weights, the round's drops are kept,
// and each class gets the position of its new trees (from counts_before[c], added[c] stumps)
// with weight `new_tree_weight`.
void record_multiclass_dart_round(MultiClassDart& dart, std::span<const std::size_t> dropped,
                                  std::span<const float> new_dropped_weights, float new_tree_weight,
                                  std::span<const std::size_t> counts_before, std::span<const std::size_t> added);

// After the class lists were cut back to the warm start and the first `kept_rounds` kept rounds:
// the later positions are removed and the weights rebuilt by replaying the kept rounds' drops on
// the set-up weights, so a tree that a removed round dropped regains its weight of the kept model.
void truncate_multiclass_dart(MultiClassDart& dart, std::size_t kept_rounds);

// Follows the validation margins with a kept DART round: the dropped trees come off at their
// old weights, each class's new trees go on at `new_tree_weight`, and the dropped trees return
// at their new weights.
void add_dart_round_to_validation(const MultiClassDart& dart, MultiClassValidation& validation,
                                  std::span<const std::vector<TrainedStump>> class_stumps,
                                  std::span<const std::size_t> counts_before, std::span<const std::size_t> dropped,
                                  std::span<const float> old_weights, std::span<const float> new_weights,
                                  float new_tree_weight);

// Writes each position's weight into every stump of its tree.
void write_multiclass_dart_weights(const MultiClassDart& dart, std::vector<std::vector<TrainedStump>>& class_stumps);

}  // namespace kestrune::engine::trainer
