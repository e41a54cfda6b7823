// The explainer's public operations: SHAP values and SHAP interaction values of one model, and of
// the models of an artifact.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/batch.hpp"
#include "shap/binning.hpp"

namespace kestrune::shap {

// The one place that decides how a model's SHAP values are computed: checks the rows and the
// binning lists, folds DART tree weights into the leaves, then explains exactly (at most
// kMaxExactFeatures split features) or by TreeSHAP.
ShapExplanationBatch explain_rows_from_model(const engine::TrainedModel& model,
                                             std::span<const std::vector<float>> rows, const BinningContext* binning);

// The single-output forms refuse an artifact that explains more than one output; the per-output
// forms explain every class or output, in order.
ShapExplanationBatch explain_rows_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                      std::span<const std::vector<float>> rows,
                                                      const BinningContext* binning = nullptr);
std::vector<ShapExplanationBatch> explain_rows_from_artifact_bytes_per_output(
    std::span<const std::uint8_t> bytes, std::span<const std::vector<float>> rows,
    const BinningContext* binning = nullptr);

// SHAP interaction values, always by the conditioned TreeSHAP recursion, after the same checks of
// the rows and the binning lists and the same folding of tree weights as explain_rows_from_model.
ShapInteractionBatch explain_interactions_from_model(const engine::TrainedModel& model,
                                                     std::span<const std::vector<float>> rows,
                                                     const BinningContext* binning);

ShapInteractionBatch explain_interactions_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                              std::span<const std::vector<float>> rows,
                                                              const BinningContext* binning = nullptr);
std::vector<ShapInteractionBatch> explain_interactions_from_artifact_bytes_per_output(
    std::span<const std::uint8_t> bytes, std::span<const std::vector<float>> rows,
    const BinningContext* binning = nullptr);

}  // namespace kestrune::shap
