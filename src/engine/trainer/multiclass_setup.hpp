// The set-up of a multiclass fit: its checks in their fixed order (the first failure is the
// error the fit returns), and the starting state of the rounds: per-class baselines and trees,
// the projector, the seed and the split options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/env.hpp"
#include "engine/factor.hpp"
#include "engine/morph.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/fit_request.hpp"
#include "engine/trainer/multiclass_dart.hpp"
#include "engine/trainer/multiclass_warm_start.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// ContractViolation "{what} at index {} is {}, expected integer in [0, {})" for the first label
// that is not a whole, non-negative number below `num_classes` (NaN and infinities fail).
void check_class_labels(std::span<const float> targets, std::size_t num_classes, std::string_view what);

struct MultiClassStart {
  std::uint64_t seed_base = 0;
  SplitSelectionOptions options;
  std::optional<FactorProjector> projector;  // borrows the training exposures and weights
  std::vector<float> baselines;
  std::vector<std::vector<TrainedStump>> class_stumps;  // the warm-start trees, or empty lists
  std::vector<std::size_t> warm_stump_counts;
  std::size_t warm_rounds = 0;
  std::optional<MultiClassDart> dart;  // DART runs only
  // The warm start's rounds plus the requested ones, wrapped to 32 bits.
  std::uint32_t total_iterations = 0;
  // Morph runs only: one set of statistics per class, resumed from the warm start when it
  // carries one per class.
  std::optional<MorphState> morph;
};

// In order:
//  1. the iteration controls (InvalidConfig);
//  2. early stopping without a validation set: InvalidConfig "validation early stopping requires
//     a validation dataset";
//  3. the training parameters (their core error, wrapped);
//  4. the training dataset (its core error, wrapped); the neutralization contracts (pre-target
//     neutralization is refused); the warm start's neutralization contract; the training
//     dataset against its bins;
//  5. with validation: the validation dataset against its bins, ContractViolation "validation
//     feature_count {} does not match training feature_count {}";
//  6. the training labels ("target at index ..."), then the validation labels ("validation
//     target at index ..."): the loss indexes the class margins by them;
//  7. the split options, then the gradient projector ("factor_exposures are required when
//     neutralization is active");
//  8. the warm start: ContractViolation "warm-start baseline count {} != num_classes {}",
//     "warm-start class_stumps count {} != num_classes {}", then every split feature below the
//     training feature count and every tree index below the warm start's round count;
//  9. DART: the warm start's tree weights, one per round and class (see make_multiclass_dart).
// The warm start is consumed.
MultiClassStart prepare_multiclass_fit(const Trainer& trainer, const core::TrainingDataset& training,
                                       const core::BinnedMatrix& binned, const std::optional<ValidationSet>& validation,
                                       const objectives::MultiClassSoftmaxObjective& objective,
                                       const IterationControls& controls,
                                       std::optional<MultiClassWarmStartState> warm_start);

// K vectors of `row_count` copies of baseline k, with class k's trees added tree by tree.
std::vector<std::vector<float>> multiclass_start_predictions(std::span<const float> baselines,
                                                             std::span<const std::vector<TrainedStump>> class_stumps,
                                                             const core::BinnedMatrix& binned,
                                                             std::optional<RawFeatureRows> raw);

}  // namespace kestrune::engine::trainer
