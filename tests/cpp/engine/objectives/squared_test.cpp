#include "engine/objectives/squared.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/objectives/loss.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using testing::expect_rejected_pair;

TEST(ObjectiveSquared, GradientsAreTheDerivativesOfHalfTheWeightedSquaredError) {
  const std::vector<float> p{0.5f, -2.0f, 3.25f, 0.0f, 1e3f};
  const std::vector<float> y{1.0f, 1.0f, -0.75f, 0.0f, -1e3f};
  const std::vector<float> w{1.0f, 0.25f, 3.0f, 1e-3f, 2.0f};
  for (const bool weighted : {false, true}) {
    const auto pairs = SquaredErrorObjective{}.compute_gradients(p, y, weighted ? Weights{w} : Weights{});
    for (std::size_t i = 0; i < p.size(); ++i) {
      const double wi = weighted ? w[i] : 1.0;
      auto half_loss = [&](double s) { return 0.5 * wi * (s - y[i]) * (s - y[i]); };
      expect_close(pairs[i].grad, testing::first_derivative(half_loss, p[i]), 1e-5, 1e-4);
      expect_close(pairs[i].hess, wi, 1e-7, 0.0);
    }
  }
}

TEST(ObjectiveSquared, InitialPredictionIsTheWeightedMean) {
  const std::vector<float> w{2.0f, 0.5f};
  EXPECT_FLOAT_EQ(SquaredErrorObjective{}.initial_prediction(std::vector<float>{0.0f, 3.0f}, Weights{w}), 0.6f);
  const float mean = SquaredErrorObjective{}.initial_prediction(std::vector<float>{-0.0f, -0.0f}, std::nullopt);
  EXPECT_EQ(mean, 0.0f);
  EXPECT_TRUE(std::signbit(mean));  // the unweighted mean of negative zeros keeps its sign
}

TEST(ObjectiveSquared, BadWeightsAreRejectedOnTheCheckedPaths) {
  const std::vector<float> p{1.0f, 1.0f}, y{0.0f, 3.0f};
  for (const float bad : {-0.0f, INFINITY, NAN}) {
    const std::vector<float> w{1.0f, bad};
    expect_contract_violation([&] { SquaredErrorObjective{}.compute_gradients(p, y, Weights{w}); },
                              "sample weights must be finite and > 0");
    expect_contract_violation([&] { SquaredErrorObjective{}.initial_prediction(y, Weights{w}); },
                              "sample weights must be finite and > 0");
  }
  const std::vector<float> subnormal{1e-40f, 1.0f};
  EXPECT_NO_THROW(SquaredErrorObjective{}.compute_gradients(p, y, Weights{subnormal}));
  // The per-round path trusts the dry run: a zero weight comes out as a zero pair.
  const std::vector<float> zero{0.0f, 1.0f};
  std::vector<GradientPair> out;
  SquaredErrorObjective{}.compute_gradients_into(p, y, Weights{zero}, out);
  EXPECT_EQ(out[0].grad, 0.0f);
  EXPECT_EQ(out[0].hess, 0.0f);
}

TEST(ObjectiveSquared, InitialPredictionChecks) {
  const std::vector<float> none;
  expect_contract_violation([&] { SquaredErrorObjective{}.initial_prediction(none, Weights{none}); },
                            "targets cannot be empty");
  const std::vector<float> one{1.0f};
  expect_contract_violation([&] { SquaredErrorObjective{}.initial_prediction(std::vector<float>{1.0f, 2.0f}, Weights{one}); },
                            "weights length 1 does not match targets length 2");
}

TEST(ObjectiveSquared, NonFiniteDifferencesAreRejectedPairs) {
  expect_rejected_pair(
      [] { SquaredErrorObjective{}.compute_gradients(std::vector<float>{NAN}, std::vector<float>{0.0f}, std::nullopt); },
      "gradient and hessian must be finite");
  expect_rejected_pair([] {
    SquaredErrorObjective{}.compute_gradients(std::vector<float>{3e38f}, std::vector<float>{-3e38f}, std::nullopt);
  },
                       "gradient and hessian must be finite");
}

TEST(ObjectiveSquaredLoss, MeanOverRowsWithFourWaySumsAndTail) {
  // Seven rows exercise both the four-way block and the tail; compare with a float64 mean.
  const std::vector<float> p{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.5f};
  const std::vector<float> y{0.5f, 2.5f, 1.0f, 4.0f, 8.0f, 6.25f, 7.0f};
  double expected = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) expected += (p[i] - y[i]) * (p[i] - y[i]);
  expected /= p.size();
  EXPECT_FLOAT_EQ(squared_error_loss(p, y, std::nullopt), static_cast<float>(expected));
  // Weighted: divided by the row count, not the weight sum.
  const std::vector<float> w{2.0f, 2.0f};
  EXPECT_EQ(SquaredErrorObjective{}.loss(std::vector<float>{1.0f, 1.0f}, std::vector<float>{0.0f, 2.0f}, Weights{w}),
            2.0f);
  EXPECT_TRUE(std::isnan(squared_error_loss(std::vector<float>{NAN}, std::vector<float>{1.0f}, std::nullopt)));
}

}  // namespace
}  // namespace kestrune::engine::objectives
