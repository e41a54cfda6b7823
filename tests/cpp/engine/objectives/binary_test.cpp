#include "engine/objectives/binary.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/objectives/loss.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using testing::expect_rejected_pair;

double logistic_loss(double f, double y) { return std::log1p(std::exp(f)) - f * y; }

TEST(ObjectiveBinary, GradientsAndHessiansAreTheLogisticLossDerivatives) {
  const std::vector<float> f{-4.0f, -0.5f, 0.0f, 0.75f, 3.0f, 2.0f};
  const std::vector<float> y{0.0f, 1.0f, 1.0f, 0.0f, 1.0f, 0.0f};
  const std::vector<float> w{1.0f, 0.5f, 2.0f, 3.0f, 0.1f, 1.0f};
  for (const bool weighted : {false, true}) {
    const auto pairs = BinaryCrossEntropyObjective{}.compute_gradients(f, y, weighted ? Weights{w} : Weights{});
    for (std::size_t i = 0; i < f.size(); ++i) {
      const double wi = weighted ? w[i] : 1.0;
      auto loss = [&](double s) { return wi * logistic_loss(s, y[i]); };
      expect_close(pairs[i].grad, testing::first_derivative(loss, f[i]), 1e-5, 1e-6);
      expect_close(pairs[i].hess, testing::second_derivative(loss, f[i]), 1e-4, 1e-6);
    }
  }
}

TEST(ObjectiveBinary, ExtremeLogitsStayFiniteAndFloorTheHessian) {
  const std::vector<float> f{100.0f, -100.0f, 1e30f, -1e30f};
  const std::vector<float> y{1.0f, 0.0f, 0.0f, 1.0f};
  const std::vector<float> w{2.0f, 2.0f, 1.0f, 1.0f};
  const auto pairs = BinaryCrossEntropyObjective{}.compute_gradients(f, y, Weights{w});
  EXPECT_EQ(pairs[0].grad, 0.0f);
  EXPECT_EQ(pairs[0].hess, 2.0f * 1e-7f);
  EXPECT_GT(pairs[1].grad, 0.0f);
  EXPECT_LT(pairs[1].grad, 1e-40f);
  EXPECT_EQ(pairs[1].hess, 2.0f * 1e-7f);
  EXPECT_EQ(pairs[2].grad, 1.0f);
  EXPECT_EQ(pairs[3].grad, -1.0f);
  EXPECT_EQ(pairs[3].hess, 1e-7f);
  const float loss = binary_crossentropy_loss(f, y, std::nullopt);
  EXPECT_TRUE(std::isfinite(loss));
  EXPECT_NEAR(loss, 2e30 / 4.0, 1e24);  // the two wrong extreme logits dominate
}

// Both per-row passes (gradients alone, gradients with the loss) give, bit for bit, the pair of
// the logistic function as stable_sigmoid computes it, over blocks of rows mixing the logits whose
// bits differ between the ways of writing exp(-|f|): NaNs of both signs and with a payload, both
// zeros, infinities, subnormals, and logits deep enough to underflow the exponential.
TEST(ObjectiveBinary, EveryPassGivesTheStableSigmoidPairBitForBit) {
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            std::bit_cast<float>(0xffc01234u), 0.0f, -0.0f, INFINITY, -INFINITY, 0x1p-149f,
                            -0x1p-149f, 120.0f, -120.0f, 1e30f, -1e30f};
  std::mt19937 rng(3);
  std::normal_distribution<float> logit(0.0f, 4.0f);
  const std::size_t n = 20000;  // several blocks, on the pool
  std::vector<float> f(n), y(n), w(n);
  for (std::size_t i = 0; i < n; ++i) {
    f[i] = rng() % 8 == 0 ? specials[rng() % std::size(specials)] : logit(rng);
    y[i] = static_cast<float>(rng() % 2);
    w[i] = 0.5f + static_cast<float>(rng() % 4);
  }
  const auto bits = [](float v) { return std::bit_cast<std::uint32_t>(v); };
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted ? "weighted" : "unweighted");
    const Weights weights = weighted ? Weights{w} : Weights{};
    std::vector<GradientPair> alone;
    std::vector<GradientPair> with_loss;
    BinaryCrossEntropyObjective{}.compute_gradients_into(f, y, weights, alone);
    BinaryCrossEntropyObjective{}.compute_gradients_and_loss_into(f, y, weights, with_loss);
    ASSERT_EQ(alone.size(), n);
    ASSERT_EQ(with_loss.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      const float s = stable_sigmoid(f[i]);
      const float wi = weighted ? w[i] : 1.0f;
      const float grad = wi * (s - y[i]);
      const float hess = wi * floor_hessian(s * (1.0f - s));
      for (const GradientPair& pair : {alone[i], with_loss[i]}) {
        ASSERT_EQ(bits(pair.grad), bits(grad)) << "logit " << f[i];
        ASSERT_EQ(bits(pair.hess), bits(hess)) << "logit " << f[i];
      }
    }
  }
}

TEST(ObjectiveBinary, ZeroWeightSurfacesAsARejectedPair) {
  const std::vector<float> w{1.0f, 0.0f};
  expect_rejected_pair([&] {
    BinaryCrossEntropyObjective{}.compute_gradients(std::vector<float>{0.0f, 0.0f}, std::vector<float>{1.0f, 0.0f},
                                                    Weights{w});
  },
                       "hessian must be greater than 0");
}

TEST(ObjectiveBinary, InitialPredictionIsTheClampedLogitOfTheMeanLabel) {
  const BinaryCrossEntropyObjective objective;
  EXPECT_NEAR(objective.initial_prediction(std::vector<float>{0.0f, 0.0f, 0.0f}, std::nullopt), -16.118, 1e-3);
  EXPECT_NEAR(objective.initial_prediction(std::vector<float>{1.0f, 1.0f}, std::nullopt), 15.942, 1e-3);
  const std::vector<float> w{3.0f, 1.0f};
  EXPECT_FLOAT_EQ(objective.initial_prediction(std::vector<float>{1.0f, 0.0f}, Weights{w}), std::log(3.0f));
  EXPECT_TRUE(std::isnan(objective.initial_prediction(std::vector<float>{NAN}, std::nullopt)));
  const std::vector<float> bad{1.0f, -2.0f};
  expect_contract_violation([&] { objective.initial_prediction(std::vector<float>{1.0f, 0.0f}, Weights{bad}); },
                            "sample weights must be finite and > 0");
}

TEST(ObjectiveBinaryLoss, MatchesAFloat64MeanAndDividesByRows) {
  const std::vector<float> f{-2.0f, 0.5f, 3.0f};
  const std::vector<float> y{0.0f, 1.0f, 0.0f};
  const std::vector<float> w{1.0f, 2.0f, 0.5f};
  double unweighted = 0.0, weighted = 0.0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    unweighted += logistic_loss(f[i], y[i]);
    weighted += w[i] * logistic_loss(f[i], y[i]);
  }
  expect_close(binary_crossentropy_loss(f, y, std::nullopt), unweighted / 3.0);
  expect_close(BinaryCrossEntropyObjective{}.loss(f, y, Weights{w}), weighted / 3.0);
}

}  // namespace
}  // namespace kestrune::engine::objectives
