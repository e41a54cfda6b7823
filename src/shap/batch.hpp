// What an explanation of one model over a list of rows returns.
#pragma once

#include <vector>

namespace kestrune::shap {

struct ShapExplanationBatch {
  std::vector<std::vector<float>> values;  // per row, in input order: one value per model feature
  float expected_value = 0.0f;             // the model output when no feature is known
};

}  // namespace kestrune::shap
