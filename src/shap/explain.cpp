#include "shap/explain.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "shap/artifact_context.hpp"
#include "shap/error.hpp"
#include "shap/exact.hpp"
#include "shap/interactions.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "shap/rows.hpp"
#include "shap/tree_shap.hpp"

namespace kestrune::shap {
namespace {

std::size_t distinct_split_features(const engine::TrainedModel& model) {
  std::vector<std::uint32_t> features;
  features.reserve(model.stumps.size());
  for (const engine::TrainedStump& stump : model.stumps) features.push_back(stump.feature_index);
  std::sort(features.begin(), features.end());
  return static_cast<std::size_t>(std::unique(features.begin(), features.end()) - features.begin());
}

// Folds DART tree weights into the leaves, then hands the model, the rows and the context to
// `explain`.
//
// Rows are not binned ahead: every numeric stump bins the raw value it reads (stump_goes_left),
// a native categorical stump reads the raw category id, which binning would destroy, and linear
// leaves read the raw values they were fitted on.
template <typename Explain>
auto explain_prepared(const engine::TrainedModel& model, std::span<const std::vector<float>> rows,
                      const BinningContext* binning, Explain&& explain) {
  std::optional<engine::TrainedModel> scaled;
  if (has_rescaled_tree_weights(model)) scaled = scale_model_by_tree_weight(model);
  return explain(scaled ? *scaled : model, rows, binning);
}

ShapExplanationBatch explain_values(const engine::TrainedModel& model, std::span<const std::vector<float>> rows,
                                    const BinningContext* binning) {
  if (distinct_split_features(model) > kMaxExactFeatures) return explain_rows_tree_shap(model, rows, binning);
  return explain_rows_brute_force(model, rows, binning);
}

engine::TrainedModel only_model(ArtifactShapContext context) {
  if (context.models.size() != 1) {
    throw ShapError::runtime(
        "Expected a single-output model. For multi-class/multi-output models, use the _per_output variants.");
  }
  return std::move(context.models.front());
}

}  // namespace

ShapExplanationBatch explain_rows_from_model(const engine::TrainedModel& model,
                                             std::span<const std::vector<float>> rows, const BinningContext* binning) {
  validate_rows(rows, model.feature_count);
  if (binning != nullptr) check_binning_lengths(*binning, model.feature_count);
  return explain_prepared(model, rows, binning, explain_values);
}

ShapInteractionBatch explain_interactions_from_model(const engine::TrainedModel& model,
                                                     std::span<const std::vector<float>> rows,
                                                     const BinningContext* binning) {
  validate_rows(rows, model.feature_count);
  // The lists are read by feature index: short ones are refused as for SHAP values.
  if (binning != nullptr) check_binning_lengths(*binning, model.feature_count);
  return explain_prepared(model, rows, binning, explain_interactions_tree_shap);
}

ShapExplanationBatch explain_rows_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                      std::span<const std::vector<float>> rows,
                                                      const BinningContext* binning) {
  return explain_rows_from_model(only_model(load_artifact_context(bytes)), rows, binning);
}

std::vector<ShapExplanationBatch> explain_rows_from_artifact_bytes_per_output(
    std::span<const std::uint8_t> bytes, std::span<const std::vector<float>> rows, const BinningContext* binning) {
  const ArtifactShapContext context = load_artifact_context(bytes);
  std::vector<ShapExplanationBatch> batches;
  batches.reserve(context.models.size());
  for (const engine::TrainedModel& model : context.models) {
    batches.push_back(explain_rows_from_model(model, rows, binning));
  }
  return batches;
}

ShapInteractionBatch explain_interactions_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                              std::span<const std::vector<float>> rows,
                                                              const BinningContext* binning) {
  return explain_interactions_from_model(only_model(load_artifact_context(bytes)), rows, binning);
}

std::vector<ShapInteractionBatch> explain_interactions_from_artifact_bytes_per_output(
    std::span<const std::uint8_t> bytes, std::span<const std::vector<float>> rows, const BinningContext* binning) {
  const ArtifactShapContext context = load_artifact_context(bytes);
  std::vector<ShapInteractionBatch> batches;
  batches.reserve(context.models.size());
  for (const engine::TrainedModel& model : context.models) {
    batches.push_back(explain_interactions_from_model(model, rows, binning));
  }
  return batches;
}

}  // namespace kestrune::shap
