// The per-row objectives, the softmax included, against float64: each pair is the derivatives of
// its row's weighted negative log-likelihood, each loss the float64 mean of its unit terms; then
// the edges where a clamp, a floor or a check decides, and the checks' messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/squared.hpp"
#include "objective_test_util.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using Row = std::function<double(double, double)>;

const std::vector<float> kScores{-1.5f, -0.25f, 0.0f, 0.5f, 1.75f, 3.0f};
const std::vector<float> kTargets{0.5f, 2.0f, 3.0f, 0.25f, 4.0f, 1.0f};  // positive: valid for every family
const std::vector<float> kLabels{0.0f, 1.0f, 1.0f, 0.0f, 1.0f, 0.0f};
const std::vector<float> kWeights{1.0f, 0.5f, 2.0f, 3.0f, 0.75f, 0.1f};

double pinball(double s, double y) { return y > s ? 0.3 * (y - s) : 0.7 * (s - y); }
double tweedie_nll(double s, double y) { return -y * std::exp(-0.5 * s) / -0.5 + std::exp(0.5 * s) / 0.5; }
double tweedie_deviance(double s, double y) {
  const double m = std::exp(s);
  return 2.0 * (std::sqrt(y) / -0.25 - y * std::pow(m, -0.5) / -0.5 + std::sqrt(m) / 0.5);
}

struct PointwiseCase {
  const char* name;
  std::function<std::vector<GradientPair>(const Weights&)> gradients;
  std::function<float(const Weights&)> loss;
  const std::vector<float>& targets;
  Row nll;                // the pair is its first and second derivative in the score
  Row hessian;            // set where the hessian is not the second derivative
  Row loss_term;          // the loss's unit term
  bool over_weight_sum;   // the weighted loss divides by the weight sum, not the row count
};

template <typename O>
PointwiseCase make_case(const char* name, O objective, const std::vector<float>& targets, Row nll, Row hessian,
                        Row loss_term, bool over_weight_sum) {
  return {name, [=](const Weights& w) { return objective.compute_gradients(kScores, targets, w); },
          [=](const Weights& w) { return objective.loss(kScores, targets, w); }, targets, nll, hessian, loss_term,
          over_weight_sum};
}

TEST(ObjectivePointwise, PairsAndLossesMatchFloat64Likelihoods) {
  const Row logistic = [](double s, double y) { return std::log1p(std::exp(s)) - s * y; };
  const Row poisson = [](double s, double y) { return std::exp(s) - y * s; };
  const PointwiseCase cases[] = {
      make_case("squared", SquaredErrorObjective{}, kTargets, [](double s, double y) { return 0.5 * (s - y) * (s - y); },
                nullptr, [](double s, double y) { return (s - y) * (s - y); }, false),
      make_case("binary", BinaryCrossEntropyObjective{}, kLabels, logistic, nullptr, logistic, false),
      make_case("poisson", PoissonObjective{}, kTargets, poisson, nullptr, poisson, true),
      make_case("gamma", GammaObjective{}, kTargets, [](double s, double y) { return y * std::exp(-s) + s; }, nullptr,
                [](double s, double y) { return y / std::exp(s) - std::log(y / std::exp(s)) - 1.0; }, true),
      make_case("tweedie", TweedieObjective::make(1.5f), kTargets, tweedie_nll,
                [](double s, double) { return std::exp(0.5 * s); }, tweedie_deviance, true),
      make_case("quantile", QuantileObjective{0.3f}, kTargets, pinball, [](double, double) { return 1.0; }, pinball,
                false),
  };
  for (const PointwiseCase& c : cases) {
    for (const bool weighted : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (weighted ? " weighted" : ""));
      const Weights weights = weighted ? Weights{kWeights} : Weights{};
      const std::vector<GradientPair> pairs = c.gradients(weights);
      double loss = 0.0, weight_sum = 0.0;
      for (std::size_t i = 0; i < kScores.size(); ++i) {
        const double w = weighted ? kWeights[i] : 1.0, s = kScores[i], y = c.targets[i];
        auto row = [&](double x) { return w * c.nll(x, y); };
        expect_close(pairs[i].grad, testing::first_derivative(row, s), 1e-5, 1e-5);
        expect_close(pairs[i].hess, c.hessian ? w * c.hessian(s, y) : testing::second_derivative(row, s), 1e-4, 1e-5);
        loss += w * c.loss_term(s, y);
        weight_sum += w;
      }
      expect_close(c.loss(weights), loss / (c.over_weight_sum ? weight_sum : kScores.size()), 1e-4);
    }
  }
}

GradientPair one(const auto& objective, float s, float y, float w = 1.0f) {
  const std::vector<float> weight{w};
  return objective.compute_gradients(std::vector<float>{s}, std::vector<float>{y}, Weights{weight})[0];
}

TEST(ObjectivePointwise, ClampsFloorsAndInitialPredictions) {
  auto initial = [](const auto& objective, std::vector<float> targets, std::vector<float> weights = {}) {
    return objective.initial_prediction(targets, weights.empty() ? Weights{} : Weights{weights});
  };
  const QuantileObjective quantile{0.25f};
  const struct {
    const char* what;
    float actual;
    double expected;
  } cases[] = {
      {"binary saturated: the floor times the weight", one(BinaryCrossEntropyObjective{}, 100.0f, 1.0f, 2.0f).hess, 2e-7},
      {"binary extreme wrong logit", one(BinaryCrossEntropyObjective{}, 1e30f, 0.0f).grad, 1.0},
      {"binary extreme wrong negative logit", one(BinaryCrossEntropyObjective{}, -1e30f, 1.0f).grad, -1.0},
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
      {"quantile at the median", initial(QuantileObjective{0.5f}, {5, 1, 4, 2, 3}), 3.0},
  };
  for (const auto& c : cases) EXPECT_NEAR(c.actual, c.expected, 1e-5 * std::fabs(c.expected) + 1e-12) << c.what;
  const std::vector<float> extreme{100.0f, -100.0f, 1e30f, -1e30f}, labels{1.0f, 0.0f, 0.0f, 1.0f};
  EXPECT_NEAR(BinaryCrossEntropyObjective{}.loss(extreme, labels, std::nullopt), 2e30 / 4.0, 1e24);
}

// The weighted quantile is the first value, in sorted order, whose cumulative weight reaches alpha
// times the total; without weights every row weighs 1 and the position is ceil(n alpha - 1).
TEST(ObjectivePointwise, QuantilesMatchACumulativeWeightWalk) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> uniform(0.05f, 4.0f);
  for (std::size_t n : {1u, 4u, 7u, 30u}) {
    std::vector<float> values(n), weights(n), ones(n, 1.0f);
    for (std::size_t i = 0; i < n; ++i) values[i] = std::round(uniform(rng) * 4.0f), weights[i] = uniform(rng);
    for (const float alpha : {1e-6f, 0.25f, 0.5f, 0.51f, 0.9f, 1.0f}) {
      for (const std::vector<float>* w : {&weights, &ones}) {
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return values[a] < values[b]; });
        const double target = std::accumulate(w->begin(), w->end(), 0.0) * alpha;
        double running = 0.0;
        float expected = values[order.back()];
        for (const std::size_t i : order) {
          if ((running += (*w)[i]) >= target) { expected = values[i]; break; }
        }
        EXPECT_EQ(weighted_quantile(values, Weights{*w}, alpha), expected) << n << " " << alpha;
        if (w == &ones) EXPECT_EQ(weighted_quantile(values, std::nullopt, alpha), expected) << n << " " << alpha;
      }
    }
  }
  // Summed in sorted order these weights fall just short of their total: alpha 1 is still the top.
  const std::vector<float> uneven{5.9269347f, 7.29077e-09f, 9.753999e-09f};
  EXPECT_EQ(weighted_quantile(std::vector<float>{3.0f, 1.0f, 2.0f}, Weights{uneven}, 1.0f), 3.0f);
}

TEST(ObjectivePointwise, RefusalsInOrder) {
  const std::vector<float> p{1.0f, 1.0f}, y{0.0f, 3.0f}, zero_w{1.0f, 0.0f}, nan_w{1.0f, NAN}, three{1, 1, 1};
  const std::string bad_weight = "sample weights must be finite and > 0";
  const struct {
    std::function<void()> call;
    EngineErrorKind kind;
    std::string message;
  } cases[] = {
      {[&] { SquaredErrorObjective{}.compute_gradients(p, y, Weights{zero_w}); }, EngineErrorKind::ContractViolation,
       bad_weight},
      {[&] { QuantileObjective{0.5f}.loss(p, y, Weights{nan_w}); }, EngineErrorKind::ContractViolation, bad_weight},
      {[&] { BinaryCrossEntropyObjective{}.initial_prediction(y, Weights{nan_w}); },
       EngineErrorKind::ContractViolation, bad_weight},
      {[&] { BinaryCrossEntropyObjective{}.compute_gradients(p, y, Weights{zero_w}); }, EngineErrorKind::Core,
       "validation error: hessian must be greater than 0"},
      {[&] { SquaredErrorObjective{}.compute_gradients(std::vector<float>{3e38f}, std::vector<float>{-3e38f}, {}); },
       EngineErrorKind::Core, "validation error: gradient and hessian must be finite"},
      {[&] { one(TweedieObjective::make(1.2f), NAN, 1.0f); }, EngineErrorKind::Core,
       "validation error: gradient and hessian must be finite"},
      {[&] { PoissonObjective{}.loss(p, std::vector<float>{1.0f}, std::nullopt); }, EngineErrorKind::ContractViolation,
       "predictions length 2 does not match targets length 1"},
      {[&] { BinaryCrossEntropyObjective{}.loss(p, y, Weights{three}); }, EngineErrorKind::ContractViolation,
       "weights length 3 does not match targets length 2"},
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
      {[&] { weighted_quantile(y, Weights{three}, 0.5f); }, EngineErrorKind::ContractViolation,
       "weights length 3 does not match values length 2"},
  };
  for (const auto& c : cases) testing::expect_engine_error(c.call, c.kind, c.message);
  // The per-round path trusts the dry run's checks: a zero weight is a zero pair there.
  std::vector<GradientPair> out;
  QuantileObjective{0.5f}.compute_gradients_into(p, y, Weights{zero_w}, out);
  EXPECT_EQ(out[1].grad, 0.0f);
  EXPECT_EQ(out[1].hess, 0.0f);
}

using Margins = std::vector<std::vector<float>>;

// Float64 negative log-likelihood of class c for one row, as a function of margin k.
double row_nll(const Margins& margins, std::size_t row, std::size_t c, std::size_t k, double value) {
  double max = -INFINITY;
  std::vector<double> z(margins.size());
  for (std::size_t j = 0; j < margins.size(); ++j) {
    z[j] = j == k ? value : margins[j][row];
    max = std::max(max, z[j]);
  }
  double sum = 0.0;
  for (const double v : z) sum += std::exp(v - max);
  return -(z[c] - max - std::log(sum));
}

TEST(ObjectiveMulticlass, GradientsAreTheSoftmaxLikelihoodDerivatives) {
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const Margins margins{{0.5f, -1.0f, 2.0f, 0.0f}, {1.5f, 0.25f, -2.0f, 0.0f}, {-0.5f, 0.75f, 1.0f, 3.0f}};
  const std::vector<float> labels{1.0f, 2.0f, 0.0f, 1.9f};  // labels truncate: 1.9 is class 1
  const std::vector<std::size_t> classes{1, 2, 0, 1};
  const std::vector<float> w{1.0f, 2.0f, 0.5f, 3.0f};
  std::vector<GradientPair> out;
  for (const bool weighted : {false, true}) {
    for (std::size_t k = 0; k < 3; ++k) {
      objective.compute_gradients_for_class(margins, labels, weighted ? Weights{w} : Weights{}, k, out);
      ASSERT_EQ(out.size(), 4u);
      for (std::size_t i = 0; i < 4; ++i) {
        const double wi = weighted ? w[i] : 1.0;
        auto loss = [&](double v) { return wi * row_nll(margins, i, classes[i], k, v); };
        expect_close(out[i].grad, testing::first_derivative(loss, margins[k][i]), 1e-5, 1e-6);
        expect_close(out[i].hess, testing::second_derivative(loss, margins[k][i]), 1e-3, 1e-6);
      }
    }
    double expected = 0.0, weight_sum = 0.0;
    for (std::size_t i = 0; i < 4; ++i) {
      const double wi = weighted ? w[i] : 1.0;
      expected += wi * row_nll(margins, i, classes[i], 0, margins[0][i]);
      weight_sum += wi;
    }
    expect_close(objective.loss(margins, labels, weighted ? Weights{w} : Weights{}), expected / weight_sum);
  }
}

TEST(ObjectiveMulticlass, ChecksAndExtremes) {
  testing::expect_engine_error([] { MultiClassSoftmaxObjective::make(1); }, EngineErrorKind::InvalidConfig,
                      "multiclass_softmax requires at least 2 classes, got 1");
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const Margins three{{0.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}};
  const std::vector<float> labels{0.0f, 1.0f}, huge{1e30f, 0.0f}, zero{0.0f}, one{1.0f};
  std::vector<GradientPair> out{{1.0f, 1.0f}};
  testing::expect_contract_violation([&] { objective.compute_gradients_for_class(Margins(2, {0.0f, 0.0f}), labels, {}, 0, out); },
                            "expected 3 class prediction arrays, got 2");
  EXPECT_EQ(out.size(), 1u);  // untouched by a failed check
  testing::expect_contract_violation([&] { objective.loss(Margins{{0, 0}, {0}, {0, 0}}, labels, std::nullopt); },
                            "class 1 predictions length 1 does not match predictions length 2");
  // A label naming a class the model does not have, however large, is refused, not indexed.
  testing::expect_contract_violation([&] { objective.compute_gradients_for_class(three, huge, {}, 0, out); },
                            "target class 18446744073709551615 is out of range for 3 classes");
  EXPECT_TRUE(out.empty());
  EXPECT_THROW(objective.compute_gradients_for_class(three, labels, {}, 3, out), support::Panic);
  // Extreme margins do not overflow; the hessian floor comes after the weight.
  const auto two = MultiClassSoftmaxObjective::make(2);
  const std::vector<float> tiny{1e-9f};
  two.compute_gradients_for_class(Margins{{1000.0f}, {0.0f}}, zero, Weights{tiny}, 0, out);
  EXPECT_EQ(out[0].grad, 0.0f);
  EXPECT_EQ(out[0].hess, 1e-7f);
  EXPECT_FLOAT_EQ(two.loss(Margins{{1000.0f}, {0.0f}}, one, std::nullopt), 1000.0f);
}

}  // namespace
}  // namespace kestrune::engine::objectives
