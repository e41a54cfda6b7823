// Per-row factor exposures that factor neutralization projects gradients and targets against.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrune::core {

// Row-major exposures: row r holds training row r's exposure to each of factor_count factors.
// Built through make, both counts are positive and every value is finite.
struct FactorExposureMatrix {
  std::vector<float> values;
  std::size_t row_count = 0;
  std::size_t factor_count = 0;

  // CoreError::Validation, in order: row_count 0, factor_count 0, row_count * factor_count
  // overflow, values length mismatch, a NaN or infinite value.
  static FactorExposureMatrix make(std::size_t row_count, std::size_t factor_count, std::vector<float> values);

  // The factor_count exposures of row i; CoreError::Validation for i >= row_count or a
  // record whose shape does not match its values.
  std::span<const float> row(std::size_t i) const;
};

// The shape checks shared by every reader: factor_count > 0, no overflow of
// row_count * factor_count, values length equal to it. Returns the product.
std::size_t checked_factor_exposure_len(const FactorExposureMatrix& matrix);

// "factor_exposures must contain only finite values" when any value is NaN or infinite.
void check_factor_exposures_finite(std::span<const float> values);

}  // namespace kestrune::core
