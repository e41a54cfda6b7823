#include "dense_rows.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::python {
namespace {

using Rows = std::vector<std::vector<float>>;

TEST(DenseRowsTest, CutsValuesIntoRowsOrExplainsTheShapeError) {
  const std::vector<float> six = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(std::get<Rows>(dense_rows_from_flat_values(six, 2, 3)), (Rows{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(std::get<std::string>(dense_rows_from_flat_values(six, 0, 0)),
            "validation error: row_count must be greater than 0");
  EXPECT_EQ(std::get<std::string>(dense_rows_from_flat_values(six, 1, 0)),
            "validation error: feature_count must be greater than 0");
  EXPECT_EQ(std::get<std::string>(dense_rows_from_flat_values(std::vector<float>{1, 2, 3, 4, 5}, 2, 3)),
            "validation error: matrix values length 5 does not match row_count * feature_count 6");
}

}  // namespace
}  // namespace kestrune::python
