#include "training_inputs.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_set>
#include <utility>

#include "engine/error.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;

ResolvedCategoricalSpecs resolve_single_form(CategoricalArguments& arguments, std::size_t row_count) {
  ResolvedCategoricalSpecs resolved;
  std::optional<CategoricalTargetEncodingSpec> spec =
      resolve_categorical_spec(arguments.feature_index, std::move(arguments.feature_values),
                               arguments.min_samples_leaf, arguments.time_aware, row_count, arguments.smoothing);
  if (spec) resolved.specs.push_back(std::move(*spec));
  if (arguments.validation_feature_values) {
    resolved.validation_values.push_back(std::move(*arguments.validation_feature_values));
  }
  return resolved;
}

ResolvedCategoricalSpecs resolve_list_form(CategoricalArguments& arguments, std::size_t row_count) {
  if (!arguments.feature_indices) {
    throw EngineError::contract_violation(
        "categorical_feature_indices must be provided when categorical_feature_values_list is set");
  }
  if (!arguments.feature_values_list) {
    throw EngineError::contract_violation(
        "categorical_feature_values_list must be provided when categorical_feature_indices is set");
  }
  std::vector<std::size_t>& indices = *arguments.feature_indices;
  std::vector<std::vector<std::string>>& values_list = *arguments.feature_values_list;
  if (indices.size() != values_list.size()) {
    throw EngineError::contract_violation("categorical_feature_indices length " + std::to_string(indices.size()) +
                                          " does not match categorical_feature_values_list length " +
                                          std::to_string(values_list.size()));
  }
  std::unordered_set<std::size_t> seen;
  for (const std::size_t index : indices) {
    if (!seen.insert(index).second) {
      throw EngineError::contract_violation("duplicate categorical_feature_index: " + std::to_string(index));
    }
  }
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (values_list[i].size() != row_count) {
      throw EngineError::contract_violation("categorical_feature_values for feature " + std::to_string(indices[i]) +
                                            " has length " + std::to_string(values_list[i].size()) +
                                            " but row_count is " + std::to_string(row_count));
    }
  }

  // Caller positions in ascending feature-index order (indices are unique by now).
  std::vector<std::size_t> order(indices.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return indices[a] < indices[b]; });

  ResolvedCategoricalSpecs resolved;
  resolved.specs.reserve(order.size());
  for (const std::size_t position : order) {
    resolved.specs.push_back(CategoricalTargetEncodingSpec{std::move(values_list[position]), arguments.smoothing,
                                                           arguments.min_samples_leaf, arguments.time_aware,
                                                           indices[position]});
  }
  if (arguments.validation_feature_values_list) {
    std::vector<std::vector<std::string>>& validation = *arguments.validation_feature_values_list;
    if (validation.size() == order.size()) {
      resolved.validation_values.reserve(order.size());
      for (const std::size_t position : order) resolved.validation_values.push_back(std::move(validation[position]));
    } else {
      resolved.validation_values = std::move(validation);
    }
  }
  return resolved;
}

}  // namespace

std::optional<CategoricalTargetEncodingSpec> resolve_categorical_spec(
    std::optional<std::size_t> feature_index, std::optional<std::vector<std::string>> feature_values,
    std::uint32_t min_samples_leaf, bool time_aware, std::size_t row_count, double smoothing) {
  if (feature_index && !feature_values) {
    throw EngineError::contract_violation(
        "categorical_feature_values must be provided when categorical_feature_index is set");
  }
  if (!feature_index && feature_values) {
    throw EngineError::contract_violation(
        "categorical_feature_index must be provided when categorical_feature_values is set");
  }
  if (!feature_index) return std::nullopt;
  if (feature_values->size() != row_count) {
    throw EngineError::contract_violation("categorical_feature_values length " +
                                          std::to_string(feature_values->size()) + " does not match row_count " +
                                          std::to_string(row_count));
  }
  return CategoricalTargetEncodingSpec{std::move(*feature_values), smoothing, min_samples_leaf, time_aware,
                                       *feature_index};
}

FlatRows flatten_rows(const std::vector<std::vector<float>>& rows) {
  if (rows.empty()) throw EngineError::contract_violation("rows cannot be empty");
  FlatRows flat;
  flat.row_count = rows.size();
  flat.feature_count = rows.front().size();
  if (flat.feature_count == 0) throw EngineError::contract_violation("rows must include at least one feature");
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != flat.feature_count) {
      throw EngineError::contract_violation("row " + std::to_string(r) + " feature count " +
                                            std::to_string(rows[r].size()) + " does not match expected " +
                                            std::to_string(flat.feature_count));
    }
  }
  // Every row has the first row's length, and each row exists in memory, so the product fits.
  flat.values.reserve(flat.row_count * flat.feature_count);
  for (const std::vector<float>& row : rows) flat.values.insert(flat.values.end(), row.begin(), row.end());
  return flat;
}

ResolvedCategoricalSpecs resolve_categorical_specs_from_params(CategoricalArguments arguments, std::size_t row_count) {
  if (arguments.feature_indices || arguments.feature_values_list) return resolve_list_form(arguments, row_count);
  return resolve_single_form(arguments, row_count);
}

}  // namespace kestrune::python
