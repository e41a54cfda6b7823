#include "core/neutralization.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace kestrune::core {

std::size_t checked_factor_exposure_len(const FactorExposureMatrix& matrix) {
  if (matrix.factor_count == 0) throw CoreError::validation("factor_exposures factor_count must be greater than 0");
  std::size_t cells = 0;
  if (__builtin_mul_overflow(matrix.row_count, matrix.factor_count, &cells)) {
    throw CoreError::validation("factor_exposures row_count * factor_count overflow");
  }
  if (matrix.values.size() != cells) {
    throw CoreError::validation("factor_exposures values length " + std::to_string(matrix.values.size()) +
                                " does not match row_count * factor_count " + std::to_string(cells));
  }
  return cells;
}

void check_factor_exposures_finite(std::span<const float> values) {
  if (!std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); })) {
    throw CoreError::validation("factor_exposures must contain only finite values");
  }
}

FactorExposureMatrix FactorExposureMatrix::make(std::size_t row_count, std::size_t factor_count,
                                                std::vector<float> values) {
  if (row_count == 0) throw CoreError::validation("factor_exposures row_count must be greater than 0");
  FactorExposureMatrix matrix{std::move(values), row_count, factor_count};
  checked_factor_exposure_len(matrix);
  check_factor_exposures_finite(matrix.values);
  return matrix;
}

std::span<const float> FactorExposureMatrix::row(std::size_t i) const {
  if (i >= row_count) {
    throw CoreError::validation("factor_exposures row_index " + std::to_string(i) +
                                " is out of bounds for row_count " + std::to_string(row_count));
  }
  checked_factor_exposure_len(*this);
  // i < row_count and the product fits, so the row lies inside `values`.
  return std::span<const float>(values).subspan(i * factor_count, factor_count);
}

}  // namespace kestrune::core
