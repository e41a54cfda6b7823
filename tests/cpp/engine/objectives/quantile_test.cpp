#include "engine/objectives/quantile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;

double pinball(double s, double y, double alpha) {
  const double d = y - s;
  return d > 0.0 ? alpha * d : (alpha - 1.0) * d;
}

TEST(ObjectiveQuantile, GradientsAreThePinballSlopesAwayFromTheKink) {
  const std::vector<float> s{0.0f, 2.0f, -1.0f, 5.0f};
  const std::vector<float> y{1.0f, 1.0f, 3.0f, -2.0f};
  const std::vector<float> w{2.0f, 0.5f, 1.0f, 4.0f};
  for (const float alpha : {0.1f, 0.5f, 0.9f}) {
    const QuantileObjective objective{alpha};
    for (const bool weighted : {false, true}) {
      const auto pairs = objective.compute_gradients(s, y, weighted ? Weights{w} : Weights{});
      for (std::size_t i = 0; i < s.size(); ++i) {
        const double wi = weighted ? w[i] : 1.0;
        auto loss = [&](double x) { return wi * pinball(x, y[i], alpha); };
        expect_close(pairs[i].grad, testing::first_derivative(loss, s[i]), 1e-6, 1e-6);
        EXPECT_EQ(pairs[i].hess, static_cast<float>(wi));
      }
    }
  }
}

TEST(ObjectiveQuantile, AtTheKinkAndOnNaNTheSlopeIsOneMinusAlpha) {
  const QuantileObjective objective{0.25f};
  const auto pairs =
      objective.compute_gradients(std::vector<float>{1.0f, NAN}, std::vector<float>{1.0f, 2.0f}, std::nullopt);
  EXPECT_EQ(pairs[0].grad, 0.75f);
  EXPECT_EQ(pairs[1].grad, 0.75f);
  EXPECT_EQ(objective.loss(std::vector<float>{1.0f}, std::vector<float>{1.0f}, std::nullopt), 0.0f);
}

TEST(ObjectiveQuantile, WeightChecksOnlyOnTheCheckedPaths) {
  const QuantileObjective objective{0.5f};
  const std::vector<float> s{0.0f, 0.0f}, y{1.0f, -1.0f};
  const std::vector<float> w{1.0f, 0.0f};
  expect_contract_violation([&] { objective.compute_gradients(s, y, Weights{w}); },
                            "sample weights must be finite and > 0");
  expect_contract_violation([&] { objective.loss(s, y, Weights{w}); }, "sample weights must be finite and > 0");
  std::vector<GradientPair> out;
  objective.compute_gradients_into(s, y, Weights{w}, out);
  EXPECT_EQ(out[1].grad, 0.0f);
  EXPECT_EQ(out[1].hess, 0.0f);
}

TEST(ObjectiveQuantile, LossDividesByTheRowCount) {
  const QuantileObjective objective{0.5f};
  const std::vector<float> w{2.0f, 2.0f};
  // Pinball terms 1 and 1 (alpha 0.5 on errors of 2), weights 2: (2 + 2) / 2 rows.
  EXPECT_EQ(objective.loss(std::vector<float>{0.0f, 0.0f}, std::vector<float>{2.0f, -2.0f}, Weights{w}), 2.0f);
  const QuantileObjective high{0.9f};
  expect_close(high.loss(std::vector<float>{0.0f, 0.0f}, std::vector<float>{1.0f, -1.0f}, std::nullopt),
               (0.9 + 0.1) / 2.0);
}

TEST(ObjectiveQuantile, UnweightedQuantilePicksTheKthSmallest) {
  const std::vector<float> four{4.0f, 1.0f, 3.0f, 2.0f};
  const std::vector<float> five{5.0f, 1.0f, 4.0f, 2.0f, 3.0f};
  std::vector<float> ten;
  for (int i = 10; i >= 1; --i) ten.push_back(static_cast<float>(i));
  EXPECT_EQ(weighted_quantile(four, std::nullopt, 0.5f), 2.0f);  // the lower median, no interpolation
  EXPECT_EQ(weighted_quantile(ten, std::nullopt, 0.9f), 9.0f);
  EXPECT_EQ(weighted_quantile(ten, std::nullopt, 1e-6f), 1.0f);
  EXPECT_EQ(weighted_quantile(ten, std::nullopt, 0.999999f), 10.0f);
  EXPECT_EQ(weighted_quantile(ten, std::nullopt, NAN), 1.0f);
  EXPECT_EQ(QuantileObjective{0.5f}.initial_prediction(five, std::nullopt), 3.0f);
}

TEST(ObjectiveQuantile, WeightedQuantileWalksTheCumulativeWeight) {
  const std::vector<float> values{3.0f, 1.0f, 2.0f};
  const std::vector<float> weights{2.0f, 1.0f, 1.0f};
  EXPECT_EQ(weighted_quantile(values, Weights{weights}, 0.5f), 2.0f);
  EXPECT_EQ(weighted_quantile(values, Weights{weights}, 0.51f), 3.0f);
  EXPECT_EQ(weighted_quantile(values, Weights{weights}, 0.25f), 1.0f);
  // Equal weights agree with the unweighted selection.
  const std::vector<float> many{9.0f, -1.0f, 4.0f, 4.0f, 0.5f, 7.0f, 2.0f};
  const std::vector<float> ones(many.size(), 1.0f);
  for (const float alpha : {0.1f, 0.3f, 0.5f, 0.7f, 0.95f}) {
    EXPECT_EQ(weighted_quantile(many, Weights{ones}, alpha), weighted_quantile(many, std::nullopt, alpha)) << alpha;
  }
  // Summed in sorted order these weights fall just short of their input-order total: alpha 1 must
  // still return the largest value, not run off the end.
  const std::vector<float> uneven{5.9269347f, 7.29077e-09f, 9.753999e-09f};
  EXPECT_EQ(weighted_quantile(values, Weights{uneven}, 1.0f), 3.0f);
}

TEST(ObjectiveQuantile, WeightedQuantileChecks) {
  expect_contract_violation([] { QuantileObjective{0.5f}.initial_prediction({}, std::nullopt); },
                            "values cannot be empty");
  for (const float bad : {NAN, -INFINITY}) {
    expect_contract_violation([&] { weighted_quantile(std::vector<float>{1.0f, bad}, std::nullopt, 0.5f); },
                              "values must be finite");
  }
  const std::vector<float> values{1.0f, NAN};
  const std::vector<float> bad_weights{1.0f, 0.0f};
  // At the same index the weight is reported first.
  expect_contract_violation([&] { weighted_quantile(values, Weights{bad_weights}, 0.5f); },
                            "sample weights must be finite and > 0");
  const std::vector<float> good_weights{1.0f, 1.0f};
  expect_contract_violation([&] { weighted_quantile(values, Weights{good_weights}, 0.5f); }, "values must be finite");
  const std::vector<float> three{1.0f, 1.0f, 1.0f};
  expect_contract_violation([&] { weighted_quantile(good_weights, Weights{three}, 0.5f); },
                            "weights length 3 does not match values length 2");
}

}  // namespace
}  // namespace kestrune::engine::objectives
