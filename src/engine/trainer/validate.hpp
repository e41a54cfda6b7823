// Checks and small statistics of a fit's inputs: the dataset against its binned matrix, the
// iteration controls, the gradient pairs an objective returns, the neutralization contracts
// between the parameters and the factor exposures, the neutralized copy of a dataset for
// neutralization='pre_target', the target variance and bin density the automatic policy reads,
// and the per-feature means kept as a model's feature baseline.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "core/histogram.hpp"
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

// ContractViolation "objective returned {} gradients for row_count {}" (pair count first) when
// the counts differ; otherwise the pairs in row order, the first with a non-finite gradient or a
// hessian that is not finite and > 0 failing "objective produced invalid gradient/hessian values".
void validate_gradient_pairs(std::span<const core::GradientPair> pairs, std::size_t row_count);
// Only the count check of validate_gradient_pairs.
void validate_gradient_pair_length(std::span<const core::GradientPair> pairs, std::size_t row_count);

// The neutralization settings when they act on gradients (per_round_gradient, split_penalty);
// nothing for pre_target or no neutralization.
std::optional<core::NeutralizationConfig> gradient_neutralization_config(const core::TrainParams& params);

// ContractViolation, first failure: with neutralization, missing exposures, an exposure row count
// other than the matrix's, then pre_target when `pre_target_supported` is false; without
// neutralization, exposures that were supplied anyway.
void validate_neutralization_fit_contract_for_support(const core::TrainParams& params,
                                                      const core::TrainingDataset& dataset,
                                                      bool pre_target_supported);

// ContractViolation when a warm start continues a neutralized model without factor exposures.
void validate_warm_start_neutralization_contract(const core::TrainParams& params, bool warm_start_present,
                                                 const core::TrainingDataset& dataset);

// nullopt unless the neutralization is pre_target; then a deep copy of `dataset` whose targets
// are residualized against its factor exposures and sample weights. Projector errors pass
// through, and the caller's dataset is never changed.
std::optional<core::TrainingDataset> prepare_pre_target_training_dataset(const core::TrainParams& params,
                                                                         const core::TrainingDataset& dataset);

// Per feature, the float64 mean of its finite values over the first `row_count` rows of the
// row-major `values` (0.0 for a feature with none). nullopt when either count is 0 or `values`
// holds fewer than row_count * feature_count entries.
std::optional<std::vector<float>> compute_feature_means_from_matrix(std::span<const float> values,
                                                                    std::size_t feature_count, std::size_t row_count);

}  // namespace kestrune::engine::trainer
