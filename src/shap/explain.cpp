#include "shap/explain.hpp"

#include <algorithm>
#include <string>

#include "shap/artifact_context.hpp"
#include "shap/error.hpp"
#include "shap/exact.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "shap/rows.hpp"
#include "shap/tree_shap.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

std::size_t distinct_split_features(const engine::TrainedModel& model) {
  std::vector<std::uint32_t> features;
  features.reserve(model.stumps.size());
  for (const engine::TrainedStump& stump : model.stumps) features.push_back(stump.feature_index);
  std::sort(features.begin(), features.end());
  return static_cast<std::size_t>(std::unique(features.begin(), features.end()) - features.begin());
}

ShapExplanationBatch explain_checked(const engine::TrainedModel& model, std::span<const std::vector<float>> rows,
                                     const BinningContext* binning) {
  if (has_rescaled_tree_weights(model)) return explain_checked(scale_model_by_tree_weight(model), rows, binning);
  std::vector<std::vector<float>> binned;
  const BinningContext prebinned = PreBinned{};
  std::span<const std::vector<float>> route_rows = rows;
  std::span<const std::vector<float>> value_rows;
  if (binning != nullptr && std::holds_alternative<LinearRankBinning>(*binning)) {
    // The trees see the rows' bins; the linear leaves keep the raw values they were fitted on.
    binned.reserve(rows.size());
    for (const std::vector<float>& row : rows) {
      std::optional<std::vector<float>> codes = quantize_row_for_linear_rank(*binning, row);
      support::invariant(codes.has_value(), "a rank context bins every row");
      binned.push_back(std::move(*codes));
    }
    route_rows = binned;
    value_rows = rows;
    binning = &prebinned;
  }
  if (distinct_split_features(model) > kMaxExactFeatures) {
    return explain_rows_tree_shap(model, route_rows, binning, value_rows);
  }
  return explain_rows_brute_force(model, route_rows, binning, value_rows);
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
  return explain_checked(model, rows, binning);
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

}  // namespace kestrune::shap
