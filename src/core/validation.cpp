#include "core/validation.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"

namespace kestrune::core {
namespace {

__extension__ typedef unsigned __int128 WideCount;

// The exact row_count * feature_count in decimal. Computed in 128 bits, so a product that
// overflows the platform width is printed as its true value and can never match a length.
std::string product_text(std::size_t a, std::size_t b) {
  WideCount product = static_cast<WideCount>(a) * static_cast<WideCount>(b);
  if (product == 0) return "0";
  std::string digits;
  while (product > 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(product % 10)));
    product /= 10;
  }
  return digits;
}

bool length_matches(std::size_t length, std::size_t a, std::size_t b) {
  std::size_t product = 0;
  return !__builtin_mul_overflow(a, b, &product) && product == length;
}

void check_positive_counts(std::size_t row_count, std::size_t feature_count) {
  if (row_count == 0) throw CoreError::validation("row_count must be greater than 0");
  if (feature_count == 0) throw CoreError::validation("feature_count must be greater than 0");
}

[[noreturn]] void throw_matrix_length(std::size_t length, std::size_t row_count, std::size_t feature_count) {
  throw CoreError::validation("matrix values length " + std::to_string(length) +
                              " does not match row_count * feature_count " + product_text(row_count, feature_count));
}

void check_column_length(std::string_view name, std::size_t length, std::size_t row_count) {
  if (length == row_count) return;
  std::string message(name);
  message += " length " + std::to_string(length) + " does not match row_count " + std::to_string(row_count);
  throw CoreError::validation(std::move(message));
}

}  // namespace

void validate_binned_matrix(const BinnedMatrix& matrix) {
  check_positive_counts(matrix.row_count, matrix.feature_count);
  if (matrix.max_bin == 0) throw CoreError::validation("max_bin must be greater than 0");
  if (!length_matches(matrix.bins.size(), matrix.row_count, matrix.feature_count)) {
    throw CoreError::validation("bins length " + std::to_string(matrix.bins.size()) +
                                " does not match row_count * feature_count " +
                                product_text(matrix.row_count, matrix.feature_count));
  }
  const std::uint16_t max_bin = matrix.max_bin;
  const std::uint16_t missing_bin = matrix.missing_bin;
  matrix.bins.visit([&](auto bins) {
    for (const auto value : bins) {
      if (value > max_bin && value != missing_bin) {
        throw CoreError::validation("bin value " + std::to_string(value) + " exceeds max_bin " +
                                    std::to_string(max_bin));
      }
    }
  });
}

void validate_dataset_matrix(const DatasetMatrix& matrix) {
  check_positive_counts(matrix.row_count, matrix.feature_count);
  if (!matrix.values.empty() && !length_matches(matrix.values.size(), matrix.row_count, matrix.feature_count)) {
    throw_matrix_length(matrix.values.size(), matrix.row_count, matrix.feature_count);
  }
}

void validate_dense_matrix_view(const DenseMatrixView& view) {
  check_positive_counts(view.row_count, view.feature_count);
  if (!length_matches(view.values.size(), view.row_count, view.feature_count)) {
    throw_matrix_length(view.values.size(), view.row_count, view.feature_count);
  }
}

void validate_training_dataset(const TrainingDataset& dataset) {
  validate_dataset_matrix(dataset.matrix);
  const std::size_t row_count = dataset.matrix.row_count;
  check_column_length("targets", dataset.targets.size(), row_count);
  if (dataset.sample_weights) check_column_length("sample_weights", dataset.sample_weights->size(), row_count);
  if (dataset.time_index) check_column_length("time_index", dataset.time_index->size(), row_count);
  if (dataset.group_id) check_column_length("group_id", dataset.group_id->size(), row_count);
  if (dataset.factor_exposures) {
    const FactorExposureMatrix& exposures = *dataset.factor_exposures;
    if (exposures.row_count != row_count) {
      throw CoreError::validation("factor_exposures row_count " + std::to_string(exposures.row_count) +
                                  " does not match row_count " + std::to_string(row_count));
    }
    checked_factor_exposure_len(exposures);
    check_factor_exposures_finite(exposures.values);
  }
}

}  // namespace kestrune::core
