// Checks and small statistics of a fit's inputs: the dataset against its binned matrix, the
// iteration controls, and the target variance and bin density the automatic policy reads.
#pragma once

#include <optional>
#include <span>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// The binned matrix's own checks (EngineError::Core), then equal row and feature counts
// (ContractViolation, the dataset's count first).
void validate_training_alignment(const core::TrainingDataset& dataset, const core::BinnedMatrix& binned);

// Every rule a tree grower and the boosting loop rely on, in a fixed order; the first failure
// is EngineError::InvalidConfig. -0.0 passes the ">= 0" rules; NaN fails every rule naming it.
void validate_iteration_controls(const IterationControls& controls);

// Population variance in float32, weighted when weights are given. ContractViolation for empty
// targets, a weights length mismatch or a weight sum <= 0.
float target_variance(std::span<const float> targets, std::optional<std::span<const float>> weights);

// Share of the (feature, bin) cells, bins 0..=max_bin, that some row occupies; 0.0 for an empty
// table. A code above max_bin (a missing bin past it) occupies no cell.
float binned_feature_density(const core::BinnedMatrix& binned);

}  // namespace kestrune::engine::trainer
