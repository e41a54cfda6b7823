// What an explanation of one model over a list of rows returns.
#pragma once

#include <cstddef>
#include <vector>

namespace kestrune::shap {

struct ShapExplanationBatch {
  std::vector<std::vector<float>> values;  // per row, in input order: one value per model feature
  float expected_value = 0.0f;             // the model output when no feature is known
};

struct ShapInteractionBatch {
  std::size_t feature_count = 0;
  // Per row, in input order: the feature_count x feature_count matrix, row-major. Entry (k, j)
  // is the interaction of feature k with feature j, and row k sums to feature k's SHAP value.
  std::vector<std::vector<float>> values;
  float expected_value = 0.0f;
};

}  // namespace kestrune::shap
