// Path-dependent TreeSHAP: each feature's Shapley value of the same value function as the exact
// explainer (known features follow the row, the others split by the training covers), computed
// tree by tree in time polynomial in depth rather than over all 2^F subsets. Serves models with
// more split features than the exact explainer's value table can hold.
#pragma once

#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/batch.hpp"
#include "shap/binning.hpp"

namespace kestrune::shap {

// Same contract as explain_rows_brute_force: rows valid for the model, tree weights folded in,
// every row checked for additivity.
ShapExplanationBatch explain_rows_tree_shap(const engine::TrainedModel& model,
                                            std::span<const std::vector<float>> rows, const BinningContext* binning);

}  // namespace kestrune::shap
