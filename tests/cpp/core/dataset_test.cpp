#include "core/dataset.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "expect_core_error.hpp"
#include "support/panic.hpp"

namespace kestrune {
namespace {

using core::DatasetMatrix;
using core::DenseMatrixView;
using testing_support::throws_validation;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

struct ShapeCase {
  std::size_t rows;
  std::size_t features;
  std::size_t length;
  const char* dataset_error;  // nullptr: accepted
  const char* view_error;
};

TEST(CoreDatasetMatrix, ShapeRulesForOwnedMatrixAndView) {
  const std::vector<ShapeCase> cases = {
      {2, 3, 6, nullptr, nullptr},
      // Only the owned matrix may be metadata-only (no values).
      {5, 2, 0, nullptr, "matrix values length 0 does not match row_count * feature_count 10"},
      {2, 3, 5, "matrix values length 5 does not match row_count * feature_count 6",
       "matrix values length 5 does not match row_count * feature_count 6"},
      {0, 0, 4, "row_count must be greater than 0", "row_count must be greater than 0"},
      {2, 0, 4, "feature_count must be greater than 0", "feature_count must be greater than 0"},
      // 2^63 * 2 wraps to 0 in 64 bits; it must not pass as an empty (metadata-only) shape.
      {std::size_t{1} << 63, 2, 0, nullptr,
       "matrix values length 0 does not match row_count * feature_count 18446744073709551616"},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.features) + " len " + std::to_string(c.length));
    const std::vector<float> values(c.length, 1.5f);
    if (c.dataset_error == nullptr) {
      EXPECT_EQ(DatasetMatrix::make(c.rows, c.features, values).values, values);
    } else {
      EXPECT_TRUE(throws_validation([&] { DatasetMatrix::make(c.rows, c.features, values); }, c.dataset_error));
    }
    if (c.view_error == nullptr) {
      EXPECT_EQ(DenseMatrixView::make(c.rows, c.features, values).values.data(), values.data());
    } else {
      EXPECT_TRUE(throws_validation([&] { DenseMatrixView::make(c.rows, c.features, values); }, c.view_error));
    }
  }
}

TEST(CoreDatasetMatrix, MetadataOnlyChecksCountsOnly) {
  EXPECT_TRUE(DatasetMatrix::make_metadata_only(5, 2).values.empty());
  EXPECT_TRUE(throws_validation([] { DatasetMatrix::make_metadata_only(5, 0); }, "feature_count must be greater than 0"));
}

TEST(CoreDenseMatrixView, RowsAreBoundsChecked) {
  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  const DenseMatrixView view = DenseMatrixView::make(3, 2, values);
  EXPECT_EQ(view.row(2).data(), values.data() + 4);
  EXPECT_EQ(view.row(2).size(), 2u);
  EXPECT_TRUE(throws_validation([&] { view.row(3); }, "row index 3 is out of bounds for row_count 3"));
  EXPECT_TRUE(throws_validation([&] { view.row(kMax); },
                                "row index 18446744073709551615 is out of bounds for row_count 3"));

  // A view assembled by hand over a short buffer is never read past its end.
  DenseMatrixView short_view{std::span<const float>(values).first(3), 3, 2};
  EXPECT_EQ(short_view.row(0).size(), 2u);
  EXPECT_THROW(short_view.row(1), support::Panic);
  DenseMatrixView huge{std::span<const float>(values), 4, kMax};
  EXPECT_THROW(huge.row(1), support::Panic);
}

}  // namespace
}  // namespace kestrune
