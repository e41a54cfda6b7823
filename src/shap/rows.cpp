#include "shap/rows.hpp"

#include <cmath>
#include <string>

#include "shap/error.hpp"

namespace kestrune::shap {

void validate_rows(std::span<const std::vector<float>> rows, std::size_t feature_count) {
  if (feature_count == 0) throw ShapError::invalid_input("model feature_count must be greater than 0");
  if (rows.empty()) throw ShapError::invalid_input("rows cannot be empty");
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<float>& row = rows[r];
    if (row.size() != feature_count) {
      throw ShapError::invalid_input("row " + std::to_string(r) + " feature count " + std::to_string(row.size()) +
                                     " does not match expected " + std::to_string(feature_count));
    }
    for (std::size_t j = 0; j < row.size(); ++j) {
      if (!std::isfinite(row[j])) {
        throw ShapError::invalid_input("row " + std::to_string(r) + " feature " + std::to_string(j) +
                                       " contains NaN/Inf. SHAP values require finite feature values. If your data "
                                       "contains missing values, impute them before calling shap_values().");
      }
    }
  }
}

}  // namespace kestrune::shap
