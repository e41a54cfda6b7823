#include "core/histogram.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "expect_core_error.hpp"

namespace kestrune {
namespace {

using core::FeatureTile;
using core::GradientPair;
using core::NodeSlice;
using testing_support::throws_validation;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct PairCase {
  float grad;
  float hess;
  const char* error;  // nullptr: accepted unchanged
};

TEST(CoreGradientPair, FinitenessComesBeforeHessianSign) {
  const std::vector<PairCase> cases = {
      {-3.5f, 1e-30f, nullptr},
      {0.0f, -0.0f, "hessian must be greater than 0"},
      {0.0f, kInf, "gradient and hessian must be finite"},
      {-kInf, 1.0f, "gradient and hessian must be finite"},
      {kNaN, -1.0f, "gradient and hessian must be finite"},
      {0.0f, kNaN, "gradient and hessian must be finite"},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.grad) + ", " + std::to_string(c.hess));
    if (c.error == nullptr) {
      const GradientPair pair = GradientPair::make(c.grad, c.hess);
      EXPECT_EQ(pair.grad, c.grad);
      EXPECT_EQ(pair.hess, c.hess);
    } else {
      EXPECT_TRUE(throws_validation([&] { GradientPair::make(c.grad, c.hess); }, c.error));
    }
  }
}

TEST(CoreFeatureTile, RequiresNonEmptyRange) {
  EXPECT_EQ(FeatureTile::make(3, 4).end_feature, 4u);
  for (const auto& [start, end] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{3, 3}, {4, 3}}) {
    EXPECT_TRUE(throws_validation([&] { FeatureTile::make(start, end); },
                                  "feature tile must satisfy start_feature < end_feature"));
  }
}

TEST(CoreNodeSlice, RejectsEmptyRowsAndReportsFirstOutOfBoundsRow) {
  EXPECT_TRUE(throws_validation([] { NodeSlice::make(7, core::RowList{}); }, "node row_indices cannot be empty"));

  const NodeSlice slice = NodeSlice::make(7, {2, 10, 11});
  EXPECT_TRUE(throws_validation([&] { slice.validate_bounds(10); }, "row index 10 is out of bounds for row_count 10"));
  EXPECT_TRUE(throws_validation([&] { slice.validate_bounds(0); }, "row index 2 is out of bounds for row_count 0"));
  EXPECT_NO_THROW(slice.validate_bounds(12));

  const NodeSlice high = NodeSlice::make(0, {4294967295u});
  EXPECT_TRUE(throws_validation([&] { high.validate_bounds(4294967295u); },
                                "row index 4294967295 is out of bounds for row_count 4294967295"));
  EXPECT_NO_THROW(high.validate_bounds(std::size_t{1} << 32));

  // Long lists, bad rows anywhere, against the first bad row found one by one.
  for (const std::size_t length : {1u, 7u, 8u, 9u, 33u, 1000u}) {
    for (const std::size_t bad : {std::size_t{0}, length / 2, length - 1}) {
      std::vector<std::uint32_t> rows(length);
      for (std::size_t i = 0; i < length; ++i) rows[i] = static_cast<std::uint32_t>(i % 50);
      rows[bad] = 50 + static_cast<std::uint32_t>(bad);
      if (bad + 1 < length) rows.back() = 999;
      const NodeSlice slice_of = NodeSlice::make(1, rows);
      EXPECT_NO_THROW(slice_of.validate_bounds(2000));
      EXPECT_TRUE(throws_validation([&] { slice_of.validate_bounds(50); },
                                    "row index " + std::to_string(rows[bad]) + " is out of bounds for row_count 50"))
          << length << " " << bad;
    }
  }
}

}  // namespace
}  // namespace kestrune
