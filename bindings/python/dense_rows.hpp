// Cutting a flat row-major float32 buffer into rows, for the entry points that take dense input
// but hand rows to the explainer.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace kestrune::python {

// row_count rows of feature_count values each, or the dense view's error as its display text
// ("validation error: row_count must be greater than 0", ...). The callers raise that text as
// ValueError.
std::variant<std::vector<std::vector<float>>, std::string> dense_rows_from_flat_values(std::span<const float> values,
                                                                                       std::size_t row_count,
                                                                                       std::size_t feature_count);

}  // namespace kestrune::python
