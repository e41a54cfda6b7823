// The edges of the per-row objectives where a clamp, a floor or a check decides, and the checks'
// messages (the pool suite compares their pairs and losses with float64).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/squared.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

GradientPair one(const auto& objective, float s, float y, float w = 1.0f) {
  const std::vector<float> weight{w};
  return objective.compute_gradients(std::vector<float>{s}, std::vector<float>{y}, Weights{weight})[0];
}

TEST(ObjectivePointwise, ClampsFloorsAndInitialPredictions) {
  auto initial = [](const auto& objective, std::vector<float> targets, std::vector<float> weights = {}) {
    return objective.initial_prediction(targets, weights.empty() ? Weights{} : Weights{weights});
  };
  const QuantileObjective quantile{0.25f};
  const std::vector<float> three_values{3.0f, 1.0f, 2.0f}, weights{2.0f, 1.0f, 1.0f};
  const std::vector<float> uneven{5.9269347f, 7.29077e-09f, 9.753999e-09f};
  const struct {
    const char* what;
    float actual;
    double expected;
  } cases[] = {
      {"binary saturated: the floor times the weight", one(BinaryCrossEntropyObjective{}, 100.0f, 1.0f, 2.0f).hess, 2e-7},
      {"binary extreme wrong logit", one(BinaryCrossEntropyObjective{}, 1e30f, 0.0f).grad, 1.0},
      {"poisson scores beyond 50 use exp(50)", one(PoissonObjective{}, 1e30f, 1.0f).grad, std::exp(50.0f) - 1.0f},
      {"poisson hessian floor", one(PoissonObjective{}, -40.0f, 0.0f).hess, 1e-7},
      {"gamma floors a NaN score's mean", one(GammaObjective{}, NAN, 1e-3f).grad, 1.0 - 1e-3 / 1e-7},
      {"quantile at the kink", one(quantile, 1.0f, 1.0f).grad, 0.75},
      {"quantile NaN score", one(quantile, NAN, 2.0f).grad, 0.75},
      {"binary starts at the logit of the weighted mean", initial(BinaryCrossEntropyObjective{}, {1, 0}, {3, 1}),
       std::log(3.0)},
      {"binary clamps the mean below", initial(BinaryCrossEntropyObjective{}, {0, 0, 0}), std::log(1e-7 / (1 - 1e-7))},
      {"binary clamps the mean above (in float32)", initial(BinaryCrossEntropyObjective{}, {1, 1}), 15.942385},
      {"squared starts at the weighted mean", initial(SquaredErrorObjective{}, {0, 3}, {2, 0.5f}), 0.6},
      {"poisson at the log of the floored mean", initial(PoissonObjective{}, {0, 0}), std::log(1e-7)},
      {"gamma at the log of the weighted mean", initial(GammaObjective{}, {2, 6}, {3, 1}), std::log(3.0)},
      {"tweedie accepts a zero target", initial(TweedieObjective::make(1.5f), {0, 2}), 0.0},
      {"weighted quantile walks the cumulative weight", weighted_quantile(three_values, Weights{weights}, 0.51f), 3.0},
      // Summed in sorted order these weights fall just short of their total: alpha 1 is still the top.
      {"alpha 1 reaches the top", weighted_quantile(three_values, Weights{uneven}, 1.0f), 3.0},
  };
  for (const auto& c : cases) EXPECT_NEAR(c.actual, c.expected, 1e-5 * std::fabs(c.expected) + 1e-12) << c.what;
  const std::vector<float> extreme{100.0f, -100.0f, 1e30f, -1e30f}, labels{1.0f, 0.0f, 0.0f, 1.0f};
  EXPECT_NEAR(BinaryCrossEntropyObjective{}.loss(extreme, labels, std::nullopt), 2e30 / 4.0, 1e24);
}

TEST(ObjectivePointwise, RefusalsInOrder) {
  const std::vector<float> p{1.0f, 1.0f}, y{0.0f, 3.0f}, zero_w{1.0f, 0.0f}, three{1, 1, 1};
  const std::string bad_weight = "sample weights must be finite and > 0";
  const struct {
    std::function<void()> call;
    EngineErrorKind kind;
    std::string message;
  } cases[] = {
      {[&] { SquaredErrorObjective{}.compute_gradients(p, y, Weights{zero_w}); }, EngineErrorKind::ContractViolation,
       bad_weight},
      {[&] { BinaryCrossEntropyObjective{}.compute_gradients(p, y, Weights{zero_w}); }, EngineErrorKind::Core,
       "validation error: hessian must be greater than 0"},
      {[&] { SquaredErrorObjective{}.compute_gradients(std::vector<float>{3e38f}, std::vector<float>{-3e38f}, {}); },
       EngineErrorKind::Core, "validation error: gradient and hessian must be finite"},
      {[&] { PoissonObjective{}.loss(p, std::vector<float>{1.0f}, std::nullopt); }, EngineErrorKind::ContractViolation,
       "predictions length 2 does not match targets length 1"},
      {[&] { SquaredErrorObjective{}.initial_prediction({}, std::nullopt); }, EngineErrorKind::ContractViolation,
       "targets cannot be empty"},
      {[&] { PoissonObjective{}.initial_prediction(std::vector<float>{1.0f, -1.0f}, {}); },
       EngineErrorKind::ContractViolation, "Poisson targets must be finite and non-negative"},
      {[&] { TweedieObjective::make(1.5f).initial_prediction(std::vector<float>{NAN}, {}); },
       EngineErrorKind::ContractViolation, "Tweedie targets must be finite and non-negative"},
      // Targets are checked before the weights' length.
      {[&] { GammaObjective{}.initial_prediction(std::vector<float>{0.0f, 2.0f}, Weights{three}); },
       EngineErrorKind::ContractViolation, "Gamma targets must be finite and strictly positive (> 0)"},
      {[&] { PoissonObjective{}.initial_prediction(y, Weights{three}); }, EngineErrorKind::ContractViolation,
       "weights length 3 does not match targets length 2"},
      {[&] { weighted_quantile(std::vector<float>{1.0f, -INFINITY}, std::nullopt, 0.5f); },
       EngineErrorKind::ContractViolation, "values must be finite"},
      // At one index the weight is reported before the value.
      {[&] { weighted_quantile(std::vector<float>{1.0f, NAN}, Weights{zero_w}, 0.5f); },
       EngineErrorKind::ContractViolation, bad_weight},
  };
  for (const auto& c : cases) testing::expect_engine_error(c.call, c.kind, c.message);
  // The per-round path trusts the dry run's checks: a zero weight is a zero pair there.
  std::vector<GradientPair> out;
  QuantileObjective{0.5f}.compute_gradients_into(p, y, Weights{zero_w}, out);
  EXPECT_EQ(out[1].grad, 0.0f);
  EXPECT_EQ(out[1].hess, 0.0f);
}

}  // namespace
}  // namespace kestrune::engine::objectives
