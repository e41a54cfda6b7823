#include "engine/factor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine_test_support.hpp"

namespace kestrune::engine {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Every failure of the projector is a contract violation.
template <typename F>
::testing::AssertionResult fails_with(F&& body, const std::string& message) {
  return testing_support::throws_contract_violation(static_cast<F&&>(body), message);
}

core::FactorExposureMatrix exposures(std::size_t rows, std::size_t k, std::vector<float> values) {
  return core::FactorExposureMatrix::make(rows, k, std::move(values));
}

// Reference ridge fit of two factors, written independently of the projector: the 2x2 normal
// equations (X^T W X + lambda I) beta = X^T W v solved by Cramer's rule in float64. Returns v - X beta.
std::vector<double> reference_residuals(const core::FactorExposureMatrix& x, const std::vector<float>* weights,
                                        float lambda, const std::vector<float>& v) {
  double a00 = lambda, a01 = 0.0, a11 = lambda, b0 = 0.0, b1 = 0.0;
  for (std::size_t r = 0; r < x.row_count; ++r) {
    const double w = weights ? (*weights)[r] : 1.0, x0 = x.values[2 * r], x1 = x.values[2 * r + 1];
    a00 += w * x0 * x0;
    a01 += w * x0 * x1;
    a11 += w * x1 * x1;
    b0 += w * x0 * v[r];
    b1 += w * x1 * v[r];
  }
  const double det = a00 * a11 - a01 * a01;
  const double beta0 = (b0 * a11 - a01 * b1) / det, beta1 = (a00 * b1 - a01 * b0) / det;
  std::vector<double> out(v.size());
  for (std::size_t r = 0; r < v.size(); ++r) out[r] = v[r] - beta0 * x.values[2 * r] - beta1 * x.values[2 * r + 1];
  return out;
}

// Two factors over six rows: a level-like column and a trend, not collinear.
const core::FactorExposureMatrix& two_factors() {
  static const core::FactorExposureMatrix matrix =
      exposures(6, 2, {1.0f, -2.5f, 0.5f, -1.0f, 1.5f, 0.0f, -0.5f, 1.0f, 2.0f, 2.5f, 1.0f, 0.25f});
  return matrix;
}
const std::vector<float> kTargets{3.0f, -1.25f, 0.75f, 2.0f, -0.5f, 1.5f};
const std::vector<float> kWeights{1.0f, 2.0f, 0.5f, 1.5f, 3.0f, 1.0f};

struct ReferenceCase {
  const char* name;
  bool weighted;
  float lambda;
};

class FactorProjectorReference : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(FactorProjectorReference, MatchesAFloat64RidgeFit) {
  const ReferenceCase& c = GetParam();
  const core::FactorExposureMatrix& x = two_factors();
  const std::vector<float>* weights = c.weighted ? &kWeights : nullptr;
  std::optional<std::span<const float>> weight_span;
  if (weights) weight_span = std::span<const float>(*weights);
  const FactorProjector projector = FactorProjector::make(x, weight_span, c.lambda);

  std::vector<float> v = kTargets;
  projector.residualize_values_in_place(v);
  const std::vector<double> expected = reference_residuals(x, weights, c.lambda, kTargets);
  for (std::size_t r = 0; r < v.size(); ++r) EXPECT_NEAR(v[r], expected[r], 1e-6) << "row " << r;

  // The gradient path computes the same residuals and leaves the hessians alone.
  std::vector<core::GradientPair> pairs;
  for (std::size_t r = 0; r < kTargets.size(); ++r) pairs.push_back({kTargets[r], 0.25f + static_cast<float>(r)});
  projector.project_gradient_pairs_in_place(pairs);
  for (std::size_t r = 0; r < pairs.size(); ++r) {
    EXPECT_EQ(pairs[r].grad, v[r]) << "row " << r;
    EXPECT_EQ(pairs[r].hess, 0.25f + static_cast<float>(r));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FactorProjectorReference,
                         ::testing::Values(ReferenceCase{"plain", false, 0.0f}, ReferenceCase{"ridge", false, 0.75f},
                                           ReferenceCase{"weighted", true, 0.0f},
                                           ReferenceCase{"weighted_ridge", true, 2.0f}),
                         [](const auto& info) { return std::string(info.param.name); });

// Property of the triangular solves for one to four factors: the solution x of solve_cholesky
// satisfies (X^T W X + lambda I) x = rhs, with the matrix rebuilt here in float64. From three
// factors on, row i of the forward solve reads more than one earlier entry, so an index slip
// there (a wrong row or column of L) shows.
TEST(FactorProjector, SolveInvertsTheRegularizedGramMatrixForEveryFactorCount) {
  const std::size_t rows = 9;
  for (std::size_t k = 1; k <= 4; ++k) {
    for (const bool weighted : {false, true}) {
      std::vector<float> values(rows * k);
      std::vector<float> weights(rows);
      for (std::size_t r = 0; r < rows; ++r) {
        weights[r] = 0.5f + 0.25f * static_cast<float>((r * 5) % 7);
        for (std::size_t f = 0; f < k; ++f) {
          values[r * k + f] = std::sin(1.3f * static_cast<float>(r + 1) * static_cast<float>(f + 1)) +
                              (r == f ? 2.0f : 0.0f);
        }
      }
      const core::FactorExposureMatrix x = exposures(rows, k, values);
      const float lambda = weighted ? 0.5f : 0.0f;
      std::optional<std::span<const float>> weight_span;
      if (weighted) weight_span = std::span<const float>(weights);
      const FactorProjector projector = FactorProjector::make(x, weight_span, lambda);

      std::vector<double> gram(k * k, 0.0);
      for (std::size_t r = 0; r < rows; ++r) {
        const double w = weighted ? weights[r] : 1.0;
        for (std::size_t a = 0; a < k; ++a) {
          for (std::size_t b = 0; b < k; ++b) gram[a * k + b] += w * values[r * k + a] * values[r * k + b];
        }
      }
      for (std::size_t a = 0; a < k; ++a) gram[a * k + a] += lambda;
      std::vector<double> rhs(k);
      for (std::size_t a = 0; a < k; ++a) rhs[a] = 1.0 - 0.75 * static_cast<double>(a * a);
      const std::vector<double> solution = projector.solve_cholesky(rhs);
      ASSERT_EQ(solution.size(), k);
      for (std::size_t a = 0; a < k; ++a) {
        double product = 0.0;
        for (std::size_t b = 0; b < k; ++b) product += gram[a * k + b] * solution[b];
        EXPECT_NEAR(product, rhs[a], 1e-9) << "k " << k << (weighted ? " weighted" : "") << " row " << a;
      }
    }
  }
}

TEST(FactorProjector, ProjectingACombinationOfTheFactorsLeavesNothingAndIsIdempotent) {
  const core::FactorExposureMatrix& x = two_factors();
  std::vector<core::GradientPair> pairs;
  for (std::size_t r = 0; r < x.row_count; ++r) pairs.push_back({2.0f * x.values[r * 2] - 0.5f * x.values[r * 2 + 1], 1.0f});
  const FactorProjector projector = FactorProjector::make(x, std::nullopt, 0.0f);
  projector.project_gradient_pairs_in_place(pairs);
  for (const core::GradientPair& pair : pairs) EXPECT_NEAR(pair.grad, 0.0f, 1e-6f);

  std::vector<float> once = kTargets;
  projector.residualize_values_in_place(once);
  std::vector<float> twice = once;
  projector.residualize_values_in_place(twice);
  for (std::size_t r = 0; r < once.size(); ++r) EXPECT_NEAR(twice[r], once[r], 1e-6f);
}

TEST(FactorProjector, CollinearFactorsAreSingularWithoutRidge) {
  const core::FactorExposureMatrix same = exposures(3, 2, {1.0f, 1.0f, 2.0f, 2.0f, -1.0f, -1.0f});
  EXPECT_TRUE(fails_with([&] { FactorProjector::make(same, std::nullopt, 0.0f); },
                         "factor exposure Gram matrix is singular; increase factor_neutralization_lambda"));
  // All-zero exposures: the first pivot is already 0.
  const core::FactorExposureMatrix zero = exposures(2, 1, {0.0f, 0.0f});
  EXPECT_TRUE(fails_with([&] { FactorProjector::make(zero, std::nullopt, 0.0f); },
                         "factor exposure Gram matrix is singular; increase factor_neutralization_lambda"));
  // A ridge term makes both solvable.
  EXPECT_NO_THROW(FactorProjector::make(same, std::nullopt, 0.5f));
  EXPECT_NO_THROW(FactorProjector::make(zero, std::nullopt, 1.0f));
}

TEST(FactorProjector, NonFiniteInputsFailAndChangeNothing) {
  const core::FactorExposureMatrix& x = two_factors();
  const FactorProjector projector = FactorProjector::make(x, std::nullopt, 0.0f);

  std::vector<core::GradientPair> pairs;
  for (std::size_t r = 0; r < x.row_count; ++r) pairs.push_back({kTargets[r], 1.0f + static_cast<float>(r)});
  pairs[3].grad = kInf;
  EXPECT_TRUE(fails_with([&] { projector.project_gradient_pairs_in_place(pairs); },
                         "projected gradient must be finite"));
  for (std::size_t r = 0; r < pairs.size(); ++r) EXPECT_EQ(pairs[r].grad, r == 3 ? kInf : kTargets[r]) << r;

  std::vector<float> values = kTargets;
  values[5] = kNaN;
  EXPECT_TRUE(fails_with([&] { projector.residualize_values_in_place(values); },
                         "residualized value must be finite"));
  EXPECT_TRUE(std::equal(kTargets.begin(), kTargets.begin() + 5, values.begin()));

  // Finite values whose residual overflows float32: x = (1, 2), v = (3e38, -3e38) gives
  // beta = -0.6e38 and a first residual of 3.6e38.
  const core::FactorExposureMatrix one_two = exposures(2, 1, {1.0f, 2.0f});
  const FactorProjector narrow = FactorProjector::make(one_two, std::nullopt, 0.0f);
  std::vector<float> huge{3.0e38f, -3.0e38f};
  EXPECT_TRUE(fails_with([&] { narrow.residualize_values_in_place(huge); },
                         "residualized value must be finite"));
  EXPECT_EQ(huge, (std::vector<float>{3.0e38f, -3.0e38f}));

  // A NaN weight or lambda is not caught by the pivot test, but it never reaches the output:
  // every projection with such a factor fails.
  std::vector<float> nan_weights(x.row_count, 1.0f);
  nan_weights[2] = kNaN;
  const FactorProjector bad_weights = FactorProjector::make(x, nan_weights, 0.0f);
  const FactorProjector bad_lambda = FactorProjector::make(x, std::nullopt, kNaN);
  for (const FactorProjector* bad : {&bad_weights, &bad_lambda}) {
    values = kTargets;
    EXPECT_TRUE(fails_with([&] { bad->residualize_values_in_place(values); },
                           "residualized value must be finite"));
    EXPECT_EQ(values, kTargets);
  }
}

TEST(FactorProjector, LengthMessagesInOrder) {
  const core::FactorExposureMatrix& x = two_factors();
  const std::vector<float> short_weights(5, 1.0f);
  EXPECT_TRUE(fails_with([&] { FactorProjector::make(x, short_weights, 1.0f); },
                         "sample_weight length must match factor_exposures row_count"));
  const FactorProjector projector = FactorProjector::make(x, std::nullopt, 1.0f);
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] { projector.solve_cholesky(std::vector<double>{1.0, 2.0, 3.0}); },
       "factor projection rhs length must match factor count"},
      {[&] {
         std::vector<float> v(7, 1.0f);
         projector.residualize_values_in_place(v);
       },
       "value length must match factor_exposures row_count"},
      {[&] {
         std::vector<core::GradientPair> g(5, core::GradientPair{1.0f, 1.0f});
         projector.project_gradient_pairs_in_place(g);
       },
       "gradient length must match factor_exposures row_count"},
  };
  for (const Case& c : cases) EXPECT_TRUE(fails_with(c.call, c.message)) << c.message;
}

TEST(FactorProjector, MalformedExposureRecordFailsAsCoreError) {
  core::FactorExposureMatrix broken;
  broken.row_count = 3;
  broken.factor_count = 2;
  broken.values = {1.0f, 2.0f, 3.0f};  // half of what the shape says
  EXPECT_TRUE(testing_support::throws_engine_error([&] { FactorProjector::make(broken, std::nullopt, 1.0f); },
                                                   EngineErrorKind::Core,
                                                   "validation error: factor_exposures values length 3 does not "
                                                   "match row_count * factor_count 6"));
}

TEST(FactorPreTargetNeutralization, FailuresLeaveTheTargetsAlone) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make_metadata_only(6, 1);
  dataset.targets = kTargets;
  EXPECT_TRUE(fails_with([&] { apply_pre_target_neutralization(dataset, 1.0f); },
                         "factor_exposures are required when neutralization is active"));
  EXPECT_EQ(dataset.targets, kTargets);

  dataset.factor_exposures = exposures(6, 2, std::vector<float>(12, 1.0f));  // two equal columns
  EXPECT_TRUE(fails_with([&] { apply_pre_target_neutralization(dataset, 0.0f); },
                         "factor exposure Gram matrix is singular; increase factor_neutralization_lambda"));
  EXPECT_EQ(dataset.targets, kTargets);
}

}  // namespace
}  // namespace kestrune::engine
