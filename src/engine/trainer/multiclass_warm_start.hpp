// What a multiclass fit resumes from when it continues an earlier multiclass model: the
// per-class starting scores and trees, the round count, and the DART weights the trees carried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/training_mode.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::trainer {

struct MultiClassWarmStartState {
  std::vector<float> baselines;                         // one per class
  std::vector<std::vector<TrainedStump>> class_stumps;  // one list per class, tree by tree
  // Round-major, class-minor: entry r * K + c is the weight of class c's tree of round r.
  std::optional<std::vector<float>> initial_dart_tree_weights;
  std::optional<std::vector<core::GradientEmaStats>> morph_ema_stats;  // one per class
  // Rounds of the model being continued; the new rounds' trees are numbered from here.
  std::size_t initial_rounds_completed = 0;
};

// 1 + the largest tree index among the stumps of every class; 0 without stumps. A round in which
// class 0 found no split still counts, so a new round's trees never reuse an earlier tree index.
std::size_t multiclass_rounds_completed(std::span<const std::vector<TrainedStump>> class_stumps);

// The state a fit continues `model` from. The DART weights are present only when some stump's
// weight differs from 1 by more than the float32 epsilon (a NaN weight does not count): then one
// weight per round r below the round count and class c, that of class c's tree with index r
// (taken from the tree's first stump), or 1.0 where class c has no tree with that index. The
// morph statistics are present when the model carries a non-empty list.
MultiClassWarmStartState multiclass_warm_start_from_model(MultiClassTrainedModel model);

// The state a multiclass fit continues from, decoded from the earlier model's artifact: the
// multiclass decoding (EngineError), then require_predictor_loadable (PredictorError), then
// ContractViolation "init_model feature_count {} does not match training data feature_count {}"
// and "init_model num_classes {} does not match training num_classes {}".
MultiClassWarmStartState multiclass_warm_start_from_artifact_bytes(std::span<const std::uint8_t> artifact,
                                                                  std::size_t feature_count, std::size_t num_classes);

}  // namespace kestrune::engine::trainer
