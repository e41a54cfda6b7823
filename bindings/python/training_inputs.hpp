// Raw inputs of a training call shaped for the pipeline: feature rows flattened into one
// row-major buffer, and the categorical keyword arguments resolved into one spec per column.
// Failures are engine::EngineError ContractViolation (ValueError with the bare message).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::python {

struct FlatRows {
  std::vector<float> values;  // row-major
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
};

// "rows cannot be empty", "rows must include at least one feature", then the first row whose
// length differs from the first row's: "row {} feature count {} does not match expected {}".
FlatRows flatten_rows(const std::vector<std::vector<float>>& rows);

// One categorical column: its category string per row and the encoder settings.
struct CategoricalTargetEncodingSpec {
  std::vector<std::string> values;
  double smoothing = 20.0;
  std::uint32_t min_samples_leaf = 1;
  bool time_aware = false;
  std::size_t feature_index = 0;
};

struct ResolvedCategoricalSpecs {
  // Ascending feature index, no index twice.
  std::vector<CategoricalTargetEncodingSpec> specs;
  // The validation rows' category lists. When there are as many as specs, entry k belongs to
  // specs[k]: in the list form each list travels with the index the caller gave beside it, so
  // sorting the specs reorders the lists with them. Otherwise (a count mismatch, which the
  // pipeline refuses when it has validation rows) they stay in the caller's order.
  std::vector<std::vector<std::string>> validation_values;
};

struct CategoricalArguments {
  std::optional<std::size_t> feature_index;
  std::optional<std::vector<std::string>> feature_values;
  std::optional<std::vector<std::size_t>> feature_indices;
  std::optional<std::vector<std::vector<std::string>>> feature_values_list;
  std::optional<std::vector<std::string>> validation_feature_values;
  std::optional<std::vector<std::vector<std::string>>> validation_feature_values_list;
  std::uint32_t min_samples_leaf = 1;
  double smoothing = 20.0;
  bool time_aware = false;
};

// The single-column form: no spec when neither argument is given; otherwise both must be, and
// the strings must number `row_count`: "categorical_feature_values must be provided when
// categorical_feature_index is set", "categorical_feature_index must be provided when
// categorical_feature_values is set", "categorical_feature_values length {} does not match
// row_count {}". The index is not compared with the feature count here.
std::optional<CategoricalTargetEncodingSpec> resolve_categorical_spec(
    std::optional<std::size_t> feature_index, std::optional<std::vector<std::string>> feature_values,
    std::uint32_t min_samples_leaf, bool time_aware, std::size_t row_count, double smoothing);

// The list form when `feature_indices` or `feature_values_list` is given (the single-column
// arguments are then ignored), else the single form. `row_count` is the training row count.
// Neither form compares an index with the feature count: the pipeline does.
ResolvedCategoricalSpecs resolve_categorical_specs_from_params(CategoricalArguments arguments, std::size_t row_count);

}  // namespace kestrune::python
