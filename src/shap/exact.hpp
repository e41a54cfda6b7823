// Exact SHAP values by enumeration: the value function v(S) (the model's expected output when the
// features of S are known and the others follow the training covers) is tabulated for every
// subset S of the model's split features, and each feature's Shapley value is the weighted sum
// of its marginal contributions. Models with at most kMaxExactFeatures split features only.
#pragma once

#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/batch.hpp"
#include "shap/binning.hpp"

namespace kestrune::shap {

// The rows must already be valid for the model and its tree weights folded in (every weight
// counts as 1 here). Every row must pass the additivity check.
ShapExplanationBatch explain_rows_brute_force(const engine::TrainedModel& model,
                                              std::span<const std::vector<float>> rows,
                                              const BinningContext* binning);

}  // namespace kestrune::shap
