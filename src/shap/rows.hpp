// The checks every explanation makes on the caller's rows before any tree is visited.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kestrune::shap {

// ShapError::InvalidInput for a model without features, no rows, a row of the wrong length and
// a value that is NaN or infinite (the explainers have no missing-value semantics to give them).
void validate_rows(std::span<const std::vector<float>> rows, std::size_t feature_count);

}  // namespace kestrune::shap
