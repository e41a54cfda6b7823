// The check every explained row must pass: the expected value plus the row's SHAP values must
// give back the model's prediction for the row, within a tolerance.
#pragma once

#include <cstddef>
#include <span>

#include "engine/trained_model.hpp"
#include "shap/binning.hpp"
#include "shap/model_structure.hpp"

namespace kestrune::shap {

// ShapError::Runtime "row {} additivity check failed: ..." when |prediction - reconstruction|
// (both summed in float64) is not finite or exceeds |prediction| x 1e-4 + 1e-5, widened by the
// rounding slack of the linear leaf terms on the row's path and by the float32 roundings that
// the values, the expected value and the path terms carry. Without a binning context a linear-leaf model is not checked:
// its rows are bin numbers, which say nothing of the raw values its leaves were fitted on.
// `linear` is has_linear_leaves(model), computed once per call rather than once per row.
void verify_additivity(const engine::TrainedModel& model, const StumpIndex& index, std::span<const float> row,
                       std::span<const float> values, std::size_t row_index,
                       const BinningContext* binning, float expected_value, bool linear);

}  // namespace kestrune::shap
