#include "engine/types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kestrune::engine {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(TrainerDiagnostics, NormsSkipNonFiniteValuesAndClassesAggregateByMeanAndMaximum) {
  const std::vector<core::GradientPair> pairs{{3.0f, 1.0f}, {kNaN, 2.0f}, {-1.0f, kNaN}, {kInf, kInf}};
  const IterationDiagnostics d = IterationDiagnostics::from_gradient_snapshot(pairs, false, 7, 3, 0.0f);
  EXPECT_EQ(d.gradient_l2_norm, std::sqrt(10.0f));
  EXPECT_EQ(d.gradient_variance, 4.0f);  // finite gradients 3 and -1: mean 1, population variance 4
  EXPECT_EQ(d.hessian_l2_norm, std::sqrt(5.0f));
  EXPECT_FALSE(d.original_gradient_l2_norm || d.projected_gradient_l2_norm || d.neutralization_effectiveness);

  const std::vector<core::GradientPair> five{{3.0f, 1.0f}, {4.0f, 1.0f}};  // norm 5
  const IterationDiagnostics projected = IterationDiagnostics::from_gradient_snapshot(five, true, 2, 1, 10.0f);
  EXPECT_EQ(projected.neutralization_effectiveness, 0.5f);
  // A projection that grew the norm clamps to 0; no pre-projection norm leaves it absent.
  EXPECT_EQ(IterationDiagnostics::from_gradient_snapshot(five, true, 2, 1, 2.0f).neutralization_effectiveness, 0.0f);
  EXPECT_FALSE(IterationDiagnostics::from_gradient_snapshot(five, true, 2, 1, 0.0f).neutralization_effectiveness);

  IterationDiagnostics b = projected;
  b.gradient_l2_norm = 2.0f;
  b.original_gradient_l2_norm = 7.0f;
  b.projected_gradient_l2_norm.reset();
  b.n_active_rows = 99;
  const IterationDiagnostics both = IterationDiagnostics::aggregate_per_class(std::vector{projected, b});
  EXPECT_EQ(both.gradient_l2_norm, 3.5f);
  EXPECT_EQ(both.original_gradient_l2_norm, 10.0f);
  EXPECT_EQ(both.n_active_rows, 2u);  // the counts are the first class's
  EXPECT_EQ(IterationDiagnostics::aggregate_per_class({}), IterationDiagnostics{});
}

}  // namespace
}  // namespace kestrune::engine
