#include "core/dataset.hpp"

#include <string>
#include <utility>

#include "core/error.hpp"
#include "core/validation.hpp"
#include "support/panic.hpp"

namespace kestrune::core {

DatasetMatrix DatasetMatrix::make(std::size_t row_count, std::size_t feature_count, std::vector<float> values) {
  DatasetMatrix matrix{std::move(values), row_count, feature_count};
  validate_dataset_matrix(matrix);
  return matrix;
}

DatasetMatrix DatasetMatrix::make_metadata_only(std::size_t row_count, std::size_t feature_count) {
  DatasetMatrix matrix{{}, row_count, feature_count};
  validate_dataset_matrix(matrix);
  return matrix;
}

DenseMatrixView DenseMatrixView::make(std::size_t row_count, std::size_t feature_count,
                                      std::span<const float> values) {
  DenseMatrixView view{values, row_count, feature_count};
  validate_dense_matrix_view(view);
  return view;
}

std::span<const float> DenseMatrixView::row(std::size_t i) const {
  if (i >= row_count) {
    throw CoreError::validation("row index " + std::to_string(i) + " is out of bounds for row_count " +
                                std::to_string(row_count));
  }
  // A view built by make holds exactly row_count * feature_count values; one assembled field
  // by field with a short buffer must not be read past its end.
  std::size_t start = 0;
  const bool inside = !__builtin_mul_overflow(i, feature_count, &start) && start <= values.size() &&
                      feature_count <= values.size() - start;
  support::invariant(inside, "dense matrix view row lies outside its buffer");
  return values.subspan(start, feature_count);
}

}  // namespace kestrune::core
