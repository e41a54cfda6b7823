// Pre-target neutralization of a training call: the training targets are replaced, once and
// before any tree, by their residuals from a weighted ridge regression on the factor exposures,
// and the fit is then a plain regression on them. Validation rows are never touched.
// Failures are engine::EngineError ContractViolation (ValueError with the bare message).
#pragma once

#include <optional>
#include <string_view>

#include "core/config.hpp"
#include "quantization/matrix_preparation.hpp"

namespace kestrune::python {

// Nothing unless the setting is pre_target. Then "neutralization='pre_target' is only supported
// for GBMRegressor squared-error training" for any objective other than "squared_error" or with
// a custom objective, and then "neutralization='pre_target' does not support validation targets
// in this release because validation factor_exposures are not accepted".
void validate_bridge_pre_target_neutralization_support(const core::TrainParams& params, std::string_view objective,
                                                       bool has_custom_objective, bool has_validation_targets);

// Nothing unless `config` is pre_target. Then, first failure wins: "factor_exposures are required
// when neutralization is active", "value length must match factor_exposures row_count" (targets
// against exposure rows), "sample_weight length must match factor_exposures row_count", the
// projector's singular-Gram and non-finite-residual errors. On success the targets are the
// residuals and the dataset carries no exposures; on failure both are as they were.
void apply_bridge_pre_target_neutralization(quantization::PreparedTrainingMatrices& training,
                                            const std::optional<core::NeutralizationConfig>& config);

}  // namespace kestrune::python
