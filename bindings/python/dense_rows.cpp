#include "dense_rows.hpp"

#include "core/dataset.hpp"
#include "core/error.hpp"

namespace kestrune::python {

std::variant<std::vector<std::vector<float>>, std::string> dense_rows_from_flat_values(std::span<const float> values,
                                                                                       std::size_t row_count,
                                                                                       std::size_t feature_count) {
  try {
    const core::DenseMatrixView view = core::DenseMatrixView::make(row_count, feature_count, values);
    std::vector<std::vector<float>> rows;
    rows.reserve(row_count);
    for (std::size_t row = 0; row < row_count; ++row) {
      const std::span<const float> cells = view.row(row);
      rows.emplace_back(cells.begin(), cells.end());
    }
    return rows;
  } catch (const core::CoreError& error) {
    return error.display();
  }
}

}  // namespace kestrune::python
