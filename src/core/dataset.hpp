// Raw feature matrices and the inputs of one fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/neutralization.hpp"

namespace kestrune::core {

// Owned row-major float32 features. Empty `values` with positive counts is a metadata-only
// matrix: it records the shape of a data set whose features live elsewhere (e.g. only binned).
struct DatasetMatrix {
  std::vector<float> values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;

  // CoreError::Validation from validate_dataset_matrix.
  static DatasetMatrix make(std::size_t row_count, std::size_t feature_count, std::vector<float> values);
  // Checks only that both counts are positive.
  static DatasetMatrix make_metadata_only(std::size_t row_count, std::size_t feature_count);
};

// A borrowed row-major float32 matrix of exactly row_count * feature_count values. It owns
// nothing: the caller keeps the buffer alive for as long as the view is used.
struct DenseMatrixView {
  std::span<const float> values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;

  // CoreError::Validation from validate_dense_matrix_view (an empty buffer is not exempt).
  static DenseMatrixView make(std::size_t row_count, std::size_t feature_count, std::span<const float> values);
  // The feature_count values of row i; "row index {} is out of bounds for row_count {}".
  std::span<const float> row(std::size_t i) const;
};

// The data of one fit; every optional column has one entry per row. Binned features travel
// separately as a BinnedMatrix.
struct TrainingDataset {
  DatasetMatrix matrix;
  std::vector<float> targets;
  std::optional<std::vector<float>> sample_weights;
  std::optional<std::vector<std::int64_t>> time_index;
  std::optional<std::vector<std::uint32_t>> group_id;
  std::optional<FactorExposureMatrix> factor_exposures;
};

}  // namespace kestrune::core
