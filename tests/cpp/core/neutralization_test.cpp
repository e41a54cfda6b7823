#include "core/neutralization.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "expect_core_error.hpp"

namespace kestrune {
namespace {

using core::FactorExposureMatrix;
using testing_support::throws_validation;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct FactorCase {
  std::size_t rows;
  std::size_t factors;
  std::vector<float> values;
  std::string message;
};

TEST(CoreFactorExposureMatrix, MakeReportsFirstFailingRule) {
  const std::vector<FactorCase> cases = {
      {0, 0, {kNaN}, "factor_exposures row_count must be greater than 0"},
      {2, 0, {kInf}, "factor_exposures factor_count must be greater than 0"},
      {std::size_t{1} << 32, std::size_t{1} << 32, {}, "factor_exposures row_count * factor_count overflow"},
      {2, 2, {1, 2, kNaN}, "factor_exposures values length 3 does not match row_count * factor_count 4"},
      {1, 2, {-kInf, 0}, "factor_exposures must contain only finite values"},
      {1, 1, {kNaN}, "factor_exposures must contain only finite values"},
  };
  for (const FactorCase& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_TRUE(throws_validation([&] { FactorExposureMatrix::make(c.rows, c.factors, c.values); }, c.message));
  }
}

TEST(CoreFactorExposureMatrix, RowsAreSlicesOfTheRowMajorValues) {
  const FactorExposureMatrix m = FactorExposureMatrix::make(3, 2, {1, 2, 3, 4, 5, -0.0f});
  EXPECT_EQ(m.row(2).data(), m.values.data() + 4);
  EXPECT_EQ(m.row(2).size(), 2u);
  EXPECT_TRUE(throws_validation([&] { m.row(3); }, "factor_exposures row_index 3 is out of bounds for row_count 3"));
}

TEST(CoreFactorExposureMatrix, RowGuardsRecordsAssembledByHand) {
  const std::vector<FactorCase> cases = {
      {2, 0, {}, "factor_exposures factor_count must be greater than 0"},
      {kMax, 2, {1, 2}, "factor_exposures row_count * factor_count overflow"},
      {2, 2, {1, 2, 3}, "factor_exposures values length 3 does not match row_count * factor_count 4"},
  };
  for (const FactorCase& c : cases) {
    SCOPED_TRACE(c.message);
    const FactorExposureMatrix m{c.values, c.rows, c.factors};
    EXPECT_TRUE(throws_validation([&] { m.row(0); }, c.message));
    // The row index is checked first.
    EXPECT_TRUE(throws_validation([&] { m.row(c.rows); }, "factor_exposures row_index " + std::to_string(c.rows) +
                                                              " is out of bounds for row_count " +
                                                              std::to_string(c.rows)));
  }
}

}  // namespace
}  // namespace kestrune
