#include "categorical_bridge.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "categorical/encoded_codes.hpp"
#include "engine/error.hpp"
#include "support/casts.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;
using quantization::PreparedTrainingMatrices;

constexpr std::size_t kWideEncodedCardinality = 256;

// One encoded column, ready to be written.
struct ColumnCodes {
  std::size_t feature_index = 0;
  std::vector<float> encoded;
  std::vector<std::uint16_t> codes;
  std::uint16_t max_code = 0;
};

void check_column(std::size_t feature_index, std::size_t length, const core::BinnedMatrix& binned) {
  if (feature_index >= binned.feature_count) {
    throw EngineError::contract_violation("categorical feature index " + std::to_string(feature_index) +
                                          " is out of bounds for feature_count " +
                                          std::to_string(binned.feature_count));
  }
  if (length != binned.row_count) {
    throw EngineError::contract_violation("categorical values length " + std::to_string(length) +
                                          " does not match row_count " + std::to_string(binned.row_count));
  }
}

template <typename Body>
decltype(auto) with_encoder_errors(Body&& body) {
  try {
    return body();
  } catch (const categorical::CategoricalError& error) {
    throw EngineError::contract_violation(error.what());
  }
}

void write_columns(PreparedTrainingMatrices& matrices, const std::vector<ColumnCodes>& columns) {
  core::BinnedMatrix& binned = matrices.binned;
  core::DatasetMatrix& dense = matrices.dataset.matrix;
  const std::size_t feature_count = binned.feature_count;
  // The dense matrix holds values only when something reads raw features (linear leaves); there
  // the encoded value stands in for the column's placeholder.
  const bool has_dense = !dense.values.empty();
  for (const ColumnCodes& column : columns) {
    binned.max_bin = std::max(binned.max_bin, column.max_code);
    for (std::size_t row = 0; row < binned.row_count; ++row) {
      binned.set_bin(row, column.feature_index, column.codes[row]);
      if (has_dense) dense.values[row * feature_count + column.feature_index] = column.encoded[row];
    }
  }
}

}  // namespace

std::size_t max_encoded_cardinality(const core::BinnedMatrix& binned) {
  return std::min<std::size_t>(kWideEncodedCardinality, binned.missing_bin);
}

TrainingEncoding apply_categorical_encoding_to_training_matrices_multi(
    PreparedTrainingMatrices& training, std::span<const CategoricalTargetEncodingSpec* const> specs) {
  TrainingEncoding encoding;
  if (specs.empty()) return encoding;
  const core::TrainingDataset& dataset = training.dataset;
  std::optional<std::span<const std::int64_t>> time_index;
  if (dataset.time_index) time_index = std::span<const std::int64_t>(*dataset.time_index);
  const std::size_t limit = max_encoded_cardinality(training.binned);

  std::vector<ColumnCodes> columns;
  columns.reserve(specs.size());
  for (const CategoricalTargetEncodingSpec* const entry : specs) {
    const CategoricalTargetEncodingSpec& spec = *entry;
    check_column(spec.feature_index, spec.values.size(), training.binned);
    const categorical::TargetEncoderConfig config{spec.smoothing, spec.min_samples_leaf, spec.time_aware};
    categorical::FitTransformResult fitted = with_encoder_errors(
        [&] { return categorical::fit_transform_target_encoder(config, spec.values, dataset.targets, time_index); });
    categorical::EncodedCodes codes = categorical::encode_bins_from_encoded_values(fitted.encoded, limit);
    const std::optional<std::uint32_t> index = support::checked_cast<std::uint32_t>(spec.feature_index);
    if (!index) {
      throw EngineError::contract_violation("categorical feature index " + std::to_string(spec.feature_index) +
                                            " does not fit the model's 32-bit feature indices");
    }
    encoding.state.feature_indices.push_back(*index);
    encoding.state.time_aware = encoding.state.time_aware || spec.time_aware;
    encoding.columns.push_back(
        TargetEncodedColumn{spec.feature_index, std::move(fitted.state), std::move(codes.distinct)});
    columns.push_back(ColumnCodes{spec.feature_index, std::move(fitted.encoded), std::move(codes.codes),
                                  codes.max_code});
  }
  write_columns(training, columns);
  return encoding;
}

void apply_categorical_encoding_to_validation_matrices_multi(
    PreparedTrainingMatrices& validation, const TrainingEncoding& encoding,
    std::span<const std::vector<std::string>* const> validation_values) {
  if (encoding.columns.empty()) return;
  if (encoding.columns.size() != validation_values.size()) {
    throw EngineError::contract_violation("training specs count " + std::to_string(encoding.columns.size()) +
                                          " does not match validation specs count " +
                                          std::to_string(validation_values.size()));
  }
  std::vector<ColumnCodes> columns;
  columns.reserve(encoding.columns.size());
  for (std::size_t i = 0; i < encoding.columns.size(); ++i) {
    const TargetEncodedColumn& column = encoding.columns[i];
    const std::vector<std::string>& strings = *validation_values[i];
    check_column(column.feature_index, strings.size(), validation.binned);
    std::vector<float> encoded =
        with_encoder_errors([&] { return categorical::transform_target_encoder(column.state, strings); });
    std::vector<std::uint16_t> codes = categorical::codes_in_code_space(column.code_space, encoded);
    columns.push_back(ColumnCodes{column.feature_index, std::move(encoded), std::move(codes),
                                  static_cast<std::uint16_t>(column.code_space.size() - 1)});
  }
  write_columns(validation, columns);
}

}  // namespace kestrune::python
