// What a single-output fit resumes from when it continues an earlier model: that model's split
// records, base score and round count, with the per-stump DART weights and morph statistics it
// carried, decoded from that model's artifact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/training_mode.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::trainer {

struct WarmStartState {
  std::vector<TrainedStump> stumps;  // tree by tree, as the earlier model stored them
  std::optional<std::vector<core::GradientEmaStats>> morph_ema_stats;  // one per model output
  // One weight per stump in stump order; present only when some weight differs from 1.
  std::optional<std::vector<float>> dart_tree_weights;
  std::size_t completed_rounds = 0;
  float base_score = 0.0f;
};

// The stump count of each tree of `stumps`: a tree is a run of adjacent stumps with the same tree
// index. Empty for no stumps.
std::vector<std::size_t> tree_stump_counts(std::span<const TrainedStump> stumps);

// Refuses an artifact that the predictor would not load, with the predictor's own error
// (predictor::PredictorError, unchanged). A warm start continues the stored trees and writes them
// back beside the new ones, so an artifact that no predictor loads (two records of one tree with
// the same node id, say) would yield a trained model that no predictor loads either.
void require_predictor_loadable(std::span<const std::uint8_t> artifact);

// The state a single-output fit continues from, decoded from the earlier model's artifact: the
// trained-model decoding (EngineError), then require_predictor_loadable, then the model's feature
// count against `feature_count` (ContractViolation "init_model feature_count {} does not match
// training data feature_count {}"). The DART weights travel only when some stump's weight
// differs from 1 by more than the float32 epsilon; the morph statistics when the list is not
// empty.
WarmStartState warm_start_from_artifact_bytes(std::span<const std::uint8_t> artifact, std::size_t feature_count);

// Whether the artifact of a warm-start model, single-output or multiclass, stores linear leaves.
// Their slopes read raw feature values, so a fit that continues such a model keeps the raw rows
// of its training and validation sets to replay the earlier trees as the predictor evaluates
// them, whatever leaf model the fit grows. An artifact that does not parse answers false: the
// warm start's own decoding reports it, in its place among the fit's checks.
bool artifact_has_linear_leaves(std::span<const std::uint8_t> artifact);

// The earlier model must fit the data it continues on: every split feature below
// `feature_count`, and every tree index below the completed round count, so that the new trees'
// indices never collide with an earlier tree's. EngineError::ContractViolation otherwise.
void check_warm_start_against_training_data(const WarmStartState& warm_start, std::size_t feature_count);

}  // namespace kestrune::engine::trainer
