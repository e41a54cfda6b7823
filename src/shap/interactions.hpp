// SHAP interaction values by the conditioned TreeSHAP recursion: for each feature j, the TreeSHAP
// values with j known minus those with j unknown, halved, give column j of the matrix (what j does
// to every other feature's value); the diagonal keeps the rest of each feature's SHAP value, so
// that every matrix row sums to that feature's SHAP value.
#pragma once

#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/batch.hpp"
#include "shap/binning.hpp"

namespace kestrune::shap {

// The rows must already be valid for the model and its tree weights folded in. Linear leaf terms
// go to the diagonal only. No additivity check is made.
ShapInteractionBatch explain_interactions_tree_shap(const engine::TrainedModel& model,
                                                    std::span<const std::vector<float>> rows,
                                                    const BinningContext* binning);

}  // namespace kestrune::shap
