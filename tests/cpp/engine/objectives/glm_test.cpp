#include "engine/objectives/glm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using testing::expect_engine_error;
using testing::expect_rejected_pair;

const std::vector<float> kScores{-1.5f, -0.25f, 0.0f, 0.5f, 1.75f};
const std::vector<float> kTargets{0.5f, 2.0f, 3.0f, 0.25f, 4.0f};
const std::vector<float> kWeights{1.0f, 0.5f, 2.0f, 3.0f, 0.75f};

// Per-row float64 negative log-likelihoods (up to terms free of the score) in the raw score s.
double poisson_nll(double s, double y) { return std::exp(s) - y * s; }
double gamma_nll(double s, double y) { return y * std::exp(-s) + s; }
double tweedie_nll(double s, double y, double q) {
  return -y * std::exp((1.0 - q) * s) / (1.0 - q) + std::exp((2.0 - q) * s) / (2.0 - q);
}

struct GlmCase {
  const char* name;
  std::function<std::vector<GradientPair>(const Weights&)> gradients;
  std::function<double(double, double)> nll;
  bool exact_hessian;  // Tweedie's hessian is the power term alone, not the second derivative
  double q;
};

TEST(ObjectiveGlm, GradientsMatchFloat64DerivativesOfTheLikelihood) {
  const TweedieObjective tweedie = TweedieObjective::make(1.5f);
  const std::vector<GlmCase> cases{
      {"poisson", [](const Weights& w) { return PoissonObjective{}.compute_gradients(kScores, kTargets, w); },
       poisson_nll, true, 0.0},
      {"gamma", [](const Weights& w) { return GammaObjective{}.compute_gradients(kScores, kTargets, w); }, gamma_nll,
       true, 0.0},
      {"tweedie", [&](const Weights& w) { return tweedie.compute_gradients(kScores, kTargets, w); },
       [](double s, double y) { return tweedie_nll(s, y, 1.5); }, false, 1.5},
  };
  for (const GlmCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool weighted : {false, true}) {
      const auto pairs = c.gradients(weighted ? Weights{kWeights} : Weights{});
      for (std::size_t i = 0; i < kScores.size(); ++i) {
        const double w = weighted ? kWeights[i] : 1.0;
        auto loss = [&](double s) { return w * c.nll(s, kTargets[i]); };
        expect_close(pairs[i].grad, testing::first_derivative(loss, kScores[i]), 1e-5, 1e-5);
        if (c.exact_hessian) {
          expect_close(pairs[i].hess, testing::second_derivative(loss, kScores[i]), 1e-4, 1e-5);
        } else {
          expect_close(pairs[i].hess, w * std::exp((2.0 - c.q) * kScores[i]), 1e-5);
        }
      }
    }
  }
}

TEST(ObjectiveGlm, HandExamplesClampAndFloor) {
  auto one = [](auto objective, float s, float y) {
    return objective.compute_gradients(std::vector<float>{s}, std::vector<float>{y}, std::nullopt)[0];
  };
  // Scores beyond 50 use exp(50): the pair stays finite.
  EXPECT_EQ(one(PoissonObjective{}, 1e30f, 1.0f).grad, std::exp(50.0f) - 1.0f);
  const GradientPair tiny = one(PoissonObjective{}, -40.0f, 0.0f);
  EXPECT_EQ(tiny.grad, std::exp(-40.0f));
  EXPECT_EQ(tiny.hess, 1e-7f);
  // A NaN score floors Gamma's mean at 1e-7 and is accepted; Poisson and Tweedie reject it.
  const GradientPair gamma_nan = one(GammaObjective{}, NAN, 1e-3f);
  EXPECT_FLOAT_EQ(gamma_nan.grad, 1.0f - 1e-3f / 1e-7f);
  expect_rejected_pair([&] { one(PoissonObjective{}, NAN, 1.0f); }, "gradient and hessian must be finite");
  expect_rejected_pair([&] { one(TweedieObjective::make(1.2f), NAN, 1.0f); }, "gradient and hessian must be finite");
}

TEST(ObjectiveGlm, ZeroWeightFailsGradientsButNotTheLoss) {
  const std::vector<float> w{1.0f, 0.0f};
  const std::vector<float> s{0.0f, 0.0f}, y{1.0f, 1.0f};
  expect_contract_violation([&] { PoissonObjective{}.compute_gradients(s, y, Weights{w}); },
                            "sample weights must be finite and > 0");
  std::vector<GradientPair> out{{5.0f, 5.0f}};
  expect_contract_violation([&] { GammaObjective{}.compute_gradients_into(s, y, Weights{w}, out); },
                            "sample weights must be finite and > 0");
  EXPECT_TRUE(out.empty());  // never a half-written round
  EXPECT_EQ(PoissonObjective{}.loss(s, y, Weights{w}), 1.0f);
  const std::vector<float> zeros{0.0f, 0.0f};
  EXPECT_EQ(GammaObjective{}.loss(s, y, Weights{zeros}), 0.0f);  // no weight at all: no loss, not 0/0
}

TEST(ObjectiveGlm, InitialPredictionIsTheLogOfTheWeightedMean) {
  EXPECT_EQ(PoissonObjective{}.initial_prediction(std::vector<float>{0.0f, 0.0f}, std::nullopt), std::log(1e-7f));
  const std::vector<float> w{3.0f, 1.0f};
  EXPECT_FLOAT_EQ(GammaObjective{}.initial_prediction(std::vector<float>{2.0f, 6.0f}, Weights{w}), std::log(3.0f));
  EXPECT_NO_THROW(TweedieObjective::make(1.5f).initial_prediction(std::vector<float>{0.0f, 2.0f}, std::nullopt));
  // A zero target counts in the mean: the start is the log of 1.
  EXPECT_EQ(TweedieObjective::make(1.5f).initial_prediction(std::vector<float>{0.0f, 2.0f}, std::nullopt), 0.0f);
  EXPECT_NO_THROW(PoissonObjective{}.initial_prediction(std::vector<float>{-0.0f, 2.0f}, std::nullopt));
}

TEST(ObjectiveGlm, InitialPredictionChecksTargetsBeforeWeights) {
  expect_contract_violation([&] { GammaObjective{}.initial_prediction({}, std::nullopt); }, "targets cannot be empty");
  for (const float bad : {-1.0f, NAN}) {
    expect_contract_violation([&] { PoissonObjective{}.initial_prediction(std::vector<float>{1.0f, bad}, std::nullopt); },
                              "Poisson targets must be finite and non-negative");
    expect_contract_violation(
        [&] { TweedieObjective::make(1.5f).initial_prediction(std::vector<float>{bad}, std::nullopt); },
        "Tweedie targets must be finite and non-negative");
  }
  const std::vector<float> three{1.0f, 1.0f, 1.0f};
  expect_contract_violation([&] { GammaObjective{}.initial_prediction(std::vector<float>{0.0f, 2.0f}, Weights{three}); },
                            "Gamma targets must be finite and strictly positive (> 0)");
  expect_contract_violation([&] { PoissonObjective{}.initial_prediction(std::vector<float>{1.0f, 2.0f}, Weights{three}); },
                            "weights length 3 does not match targets length 2");
  const std::vector<float> bad_weight{1.0f, NAN};
  expect_contract_violation(
      [&] { PoissonObjective{}.initial_prediction(std::vector<float>{1.0f, 2.0f}, Weights{bad_weight}); },
      "sample weights must be finite and > 0");
}

TEST(ObjectiveGlm, LossesAreWeightedMeansOfTheUnitTerms) {
  const TweedieObjective tweedie = TweedieObjective::make(1.5f);
  double poisson = 0.0, gamma = 0.0, tw = 0.0, weight_sum = 0.0;
  for (std::size_t i = 0; i < kScores.size(); ++i) {
    const double s = kScores[i], y = kTargets[i], w = kWeights[i];
    const double m = std::exp(s);
    poisson += w * (m - y * s);
    gamma += w * (y / m - std::log(y / m) - 1.0);
    tw += w * 2.0 * (std::pow(y, 0.5) / (-0.5 * 0.5) - y * std::pow(m, -0.5) / -0.5 + std::pow(m, 0.5) / 0.5);
    weight_sum += w;
  }
  expect_close(PoissonObjective{}.loss(kScores, kTargets, Weights{kWeights}), poisson / weight_sum);
  expect_close(GammaObjective{}.loss(kScores, kTargets, Weights{kWeights}), gamma / weight_sum, 1e-4);
  expect_close(tweedie.loss(kScores, kTargets, Weights{kWeights}), tw / weight_sum, 1e-4);
  // A perfect Tweedie fit has zero deviance; a zero target stays finite.
  const std::vector<float> at_mean{std::log(2.0f)};
  EXPECT_NEAR(tweedie.loss(at_mean, std::vector<float>{2.0f}, std::nullopt), 0.0f, 1e-5f);
  EXPECT_TRUE(std::isfinite(tweedie.loss(std::vector<float>{1.0f}, std::vector<float>{0.0f}, std::nullopt)));
}

TEST(ObjectiveGlm, TweedieVariancePowerMustLieStrictlyBetweenOneAndTwo) {
  const char* suffix = "); use PoissonObjective for p=1 and GammaObjective for p=2";
  const std::pair<float, const char*> bad[] = {{1.0f, "1"}, {2.0f, "2"}, {NAN, "NaN"}, {INFINITY, "inf"}};
  for (const auto& [q, text] : bad) {
    expect_engine_error([&] { TweedieObjective::make(q); }, EngineErrorKind::InvalidConfig,
                        std::string("Tweedie variance_power must satisfy 1 < p < 2 (got ") + text + suffix);
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
