#include "engine/types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine_test_support.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_engine_error;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(TrainerControls, ConstructionChecksInOrder) {
  struct Case {
    std::size_t rounds, min_rows;
    float min_gain, min_abs, max_abs, min_loss;
    const char* message;
  };
  const Case cases[] = {
      {0, 0, kNaN, kNaN, kNaN, kNaN, "rounds must be greater than 0"},
      // min_split_gain is checked before min_rows_per_leaf here.
      {1, 0, -1.0f, 0.0f, 1.0f, 0.0f, "min_split_gain must be finite and >= 0"},
      {1, 0, 0.0f, kNaN, 1.0f, 0.0f, "min_rows_per_leaf must be greater than 0"},
      {1, 1, 0.0f, kNaN, 1.0f, 0.0f, "min_abs_leaf_value must be finite and >= 0"},
      {1, 1, 0.0f, 0.0f, -0.0f, 0.0f, "max_abs_leaf_value must be finite and > 0"},
      {1, 1, 0.0f, 0.0f, kInf, 0.0f, "max_abs_leaf_value must be finite and > 0"},
      {1, 1, 0.0f, 2.0f, 1.0f, 0.0f, "min_abs_leaf_value cannot exceed max_abs_leaf_value"},
      {1, 1, 0.0f, 0.0f, 1.0f, kNaN, "min_loss_improvement must be finite and >= 0"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(throws_engine_error(
        [&] { IterationControls::make(c.rounds, c.min_rows, 0, c.min_gain, c.min_abs, c.max_abs, c.min_loss); },
        EngineErrorKind::InvalidConfig, c.message));
  }
  EXPECT_NO_THROW(IterationControls::make(5, 2, 3, -0.0f, -0.0f, 1.0f, -0.0f));
}

TEST(TrainerDiagnostics, SkipsNonFiniteValuesPerStatistic) {
  const std::vector<core::GradientPair> pairs{{3.0f, 1.0f}, {kNaN, 2.0f}, {-1.0f, kNaN}, {kInf, kInf}};
  const IterationDiagnostics d = IterationDiagnostics::from_gradient_snapshot(pairs, false, 7, 3, 0.0f);
  EXPECT_EQ(d.gradient_l2_norm, std::sqrt(10.0f));
  // Finite gradients 3 and -1: mean 1, population variance 4.
  EXPECT_EQ(d.gradient_variance, 4.0f);
  EXPECT_EQ(d.hessian_l2_norm, std::sqrt(5.0f));
  EXPECT_FALSE(d.original_gradient_l2_norm || d.projected_gradient_l2_norm || d.neutralization_effectiveness);
  EXPECT_EQ(IterationDiagnostics::from_gradient_snapshot({}, false, 0, 0, 0.0f), IterationDiagnostics{});
}

TEST(TrainerDiagnostics, ProjectionFieldsAndEffectivenessClamp) {
  const std::vector<core::GradientPair> pairs{{3.0f, 1.0f}, {4.0f, 1.0f}};  // norm 5
  const IterationDiagnostics d = IterationDiagnostics::from_gradient_snapshot(pairs, true, 2, 1, 10.0f);
  EXPECT_EQ(d.original_gradient_l2_norm, 10.0f);
  EXPECT_EQ(d.projected_gradient_l2_norm, 5.0f);
  EXPECT_EQ(d.neutralization_effectiveness, 0.5f);
  // A projection that grew the norm clamps to 0; no pre-projection norm leaves it absent.
  EXPECT_EQ(IterationDiagnostics::from_gradient_snapshot(pairs, true, 2, 1, 2.0f).neutralization_effectiveness, 0.0f);
  EXPECT_FALSE(IterationDiagnostics::from_gradient_snapshot(pairs, true, 2, 1, 0.0f).neutralization_effectiveness);
}

TEST(TrainerDiagnostics, AggregatesClassesByMeanAndMaximum) {
  EXPECT_EQ(IterationDiagnostics::aggregate_per_class({}), IterationDiagnostics{});
  IterationDiagnostics a;
  a.gradient_l2_norm = 1.0f;
  a.original_gradient_l2_norm = 5.0f;
  a.n_active_rows = 10;
  IterationDiagnostics b;
  b.gradient_l2_norm = 2.0f;
  b.original_gradient_l2_norm = 7.0f;
  b.neutralization_effectiveness = 0.25f;
  b.n_active_rows = 99;
  const std::vector<IterationDiagnostics> classes{a, b};
  const IterationDiagnostics d = IterationDiagnostics::aggregate_per_class(classes);
  EXPECT_EQ(d.gradient_l2_norm, 1.5f);
  EXPECT_EQ(d.original_gradient_l2_norm, 7.0f);
  EXPECT_FALSE(d.projected_gradient_l2_norm.has_value());
  EXPECT_EQ(d.neutralization_effectiveness, 0.25f);
  EXPECT_EQ(d.n_active_rows, 10u);  // the counts are the first class's
}

}  // namespace
}  // namespace kestrune::engine
