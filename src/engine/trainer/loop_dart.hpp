// DART inside the single-output loop. Each round takes a drawn subset of the earlier trees out of
// the training (and validation) predictions, grows the new tree against what is left, then enters
// the new tree at 1 / (k + 1) and puts the dropped trees back at their rescaled weights, so the
// predictions always describe the ensemble with its current weights. The weights live in the
// DartTreeList by tree position and reach the stumps when the fit finishes.
//
// A round that ends without its tree (empty tree, skipped or stopping pass) puts the saved
// predictions back instead of re-adding the dropped trees: float32 subtraction and addition do
// not cancel exactly, and such a round must leave the predictions as it found them.
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

namespace kestrune::engine::trainer {

// The DART settings of a run, or none outside boosting_mode 'dart'.
std::optional<core::DartBoosting> dart_settings(const core::BoostingMode& mode);

// One prediction vector the round adjusts, with the bins and raw values its trees are walked over.
struct DartTarget {
  std::vector<float>* predictions = nullptr;
  const core::BinnedMatrix* binned = nullptr;
  std::optional<RawFeatureRows> raw;
};

// One round's drops: the dropped positions (ascending), the predictions as they were before the
// drop, and, once the new tree is known, the scale and the dropped trees' new weights.
struct DartRound {
  std::vector<std::size_t> dropped;
  std::vector<float> saved_training;
  std::optional<std::vector<float>> saved_validation;
  DartRoundScale scale;
  std::vector<float> new_dropped_weights;  // one per dropped position, filled by rescale_dart_round
};

// Draws the round's drops among every position of `list` (fillers included) and, when any tree is
// dropped, saves both prediction vectors and subtracts each dropped tree at its current weight.
// `stumps` is the fit's stump list the runs point into. Errors of the tree walks pass through.
DartRound begin_dart_round(const DartTreeList& list, std::span<const TrainedStump> stumps,
                           const core::DartBoosting& settings, std::uint64_t seed, std::uint64_t iteration,
                           DartTarget training, std::optional<DartTarget> validation);

// Puts the saved predictions back (a round that drops nothing saved none and changed nothing).
void restore_dart_round(DartRound& round, std::vector<float>& training, std::vector<float>* validation);

// `working` holds `reduced` (the predictions without the dropped trees) plus the new tree at full
// weight. Scales the new tree to 1 / (k + 1), computes every dropped tree's new weight and adds
// the dropped trees back at it.
void rescale_dart_round(DartRound& round, const DartTreeList& list, std::span<const TrainedStump> stumps,
                        core::DartNormalizeType normalize_type, std::span<float> working,
                        std::span<const float> reduced, const core::BinnedMatrix& binned,
                        std::optional<RawFeatureRows> raw);

// The validation side of an accepted round: the new tree at the round's weight, then each dropped
// tree at its new weight.
void add_accepted_dart_round(const DartRound& round, const DartTreeList& list,
                                  std::span<const TrainedStump> stumps, std::span<const TrainedStump> new_tree,
                                  DartTarget validation);

}  // namespace kestrune::engine::trainer
