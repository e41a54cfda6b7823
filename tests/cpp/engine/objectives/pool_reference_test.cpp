// The objectives on the worker pool against their float64 definitions (ctest runs this suite with
// 1, 2, 3 and 8 pool threads, like the row-by-row comparison beside it): on inputs large enough
// for several threads, the per-round path gives the checked path's bits, each pair is the first
// and second derivative of its row's (its group's) float64 loss, and each loss is the float64 mean
// of its terms.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/query_rmse.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::make_rows;
using testing::Rows;

constexpr std::size_t kRows = 300000;
constexpr std::size_t kGroups = 6000;
constexpr std::size_t kSampleStep = 1009;  // rows whose derivatives are checked

using Span = std::span<const float>;
using Row = std::function<double(double, double)>;

void expect_same_pairs(const std::vector<GradientPair>& actual, const std::vector<GradientPair>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(actual[i].grad), std::bit_cast<std::uint32_t>(expected[i].grad)) << i;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(actual[i].hess), std::bit_cast<std::uint32_t>(expected[i].hess)) << i;
  }
}

// The per-round path of `o` into a caller's buffer that is too long and full of stale pairs: every
// entry is overwritten, the buffer shrinks to the rows and keeps its storage.
template <typename O>
std::vector<GradientPair> per_round_into_stale_buffer(const O& o, Span p, Span y, const Weights& w) {
  std::vector<GradientPair> out(p.size() + 40, GradientPair{9.0f, 9.0f});
  const GradientPair* storage = out.data();
  o.compute_gradients_into(p, y, w, out);
  EXPECT_EQ(out.data(), storage);
  return out;
}

// A per-row objective with its float64 definition: the pair is the first and second derivative
// of the row's weighted term `nll` in the score (`hessian` where it is not the second
// derivative), and the loss is the mean of the weighted `loss_term`s over the rows or, for the
// log-link families, over the weights.
struct PerRowCase {
  const char* name;
  std::function<std::vector<GradientPair>(Span, Span, const Weights&, bool per_round)> gradients;
  std::function<float(Span, Span, const Weights&)> loss;
  const std::vector<float>& targets;
  bool weighted, over_weight_sum;
  Row nll, hessian, loss_term;
};

template <typename O>
PerRowCase per_row(const char* name, const O& o, const std::vector<float>& targets, bool weighted,
                   bool over_weight_sum, Row nll, Row hessian, Row loss_term) {
  auto gradients = [o](Span p, Span y, const Weights& w, bool per_round) {
    return per_round ? per_round_into_stale_buffer(o, p, y, w) : o.compute_gradients(p, y, w);
  };
  return {name, gradients, [o](Span p, Span y, const Weights& w) { return o.loss(p, y, w); }, targets, weighted,
          over_weight_sum, nll, hessian, loss_term};
}

double pinball(double s, double y) { return y > s ? 0.7 * (y - s) : 0.3 * (s - y); }
double tweedie_nll(double s, double y) { return -y * std::exp(-0.4 * s) / -0.4 + std::exp(0.6 * s) / 0.6; }
double tweedie_deviance(double s, double y) {
  const double m = std::exp(s);
  return 2.0 * (std::pow(y, 0.6) / (-0.4 * 0.6) - y * std::pow(m, -0.4) / -0.4 + std::pow(m, 0.6) / 0.6);
}

TEST(ObjectivesOnPool, PerRowPairsAndLossesFollowTheirFloat64Definitions) {
  const Rows r = make_rows(kRows);
  std::vector<float> binary(r.labels.size());
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = std::fmod(r.labels[i], 2.0f);
  const Row squared = [](double s, double y) { return 0.5 * (s - y) * (s - y); },
            squared_term = [](double s, double y) { return (s - y) * (s - y); };
  const Row logistic = [](double s, double y) { return std::log1p(std::exp(s)) - s * y; };
  const Row poisson = [](double s, double y) { return std::exp(s) - y * s; };
  const Row gamma = [](double s, double y) { return y * std::exp(-s) + s; },
            gamma_term = [](double s, double y) { return y / std::exp(s) - std::log(y / std::exp(s)) - 1.0; };
  const Row tweedie_hessian = [](double s, double) { return std::exp(0.6 * s); };  // the power term alone
  const Row unit = [](double, double) { return 1.0; };
  const TweedieObjective tweedie = TweedieObjective::make(1.4f);
  const QuantileObjective quantile{0.7f};
  const PerRowCase cases[] = {
      per_row("squared", SquaredErrorObjective{}, r.counts, true, false, squared, nullptr, squared_term),
      per_row("binary weighted", BinaryCrossEntropyObjective{}, binary, true, false, logistic, nullptr, logistic),
      per_row("binary", BinaryCrossEntropyObjective{}, binary, false, false, logistic, nullptr, logistic),
      per_row("poisson", PoissonObjective{}, r.counts, false, true, poisson, nullptr, poisson),
      per_row("poisson weighted", PoissonObjective{}, r.counts, true, true, poisson, nullptr, poisson),
      per_row("gamma", GammaObjective{}, r.weights, false, true, gamma, nullptr, gamma_term),
      per_row("tweedie", tweedie, r.counts, false, true, tweedie_nll, tweedie_hessian, tweedie_deviance),
      per_row("tweedie weighted", tweedie, r.counts, true, true, tweedie_nll, tweedie_hessian, tweedie_deviance),
      per_row("quantile weighted", quantile, r.counts, true, false, pinball, unit, pinball),
      per_row("quantile", quantile, r.counts, false, false, pinball, unit, pinball),
  };
  for (const PerRowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Weights weights = c.weighted ? Weights(r.weights) : std::nullopt;
    const std::vector<GradientPair> checked = c.gradients(r.scores, c.targets, weights, false);
    expect_same_pairs(c.gradients(r.scores, c.targets, weights, true), checked);
    ASSERT_EQ(checked.size(), kRows);
    double loss = 0.0, weight_sum = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const double wi = c.weighted ? r.weights[i] : 1.0, s = r.scores[i], yi = c.targets[i];
      loss += wi * c.loss_term(s, yi);
      weight_sum += wi;
      if (i % kSampleStep != 0) continue;
      auto row = [&](double x) { return wi * c.nll(x, yi); };
      testing::expect_close(checked[i].grad, testing::first_derivative(row, s), 1e-5, 1e-5);
      testing::expect_close(checked[i].hess, c.hessian ? wi * c.hessian(s, yi) : testing::second_derivative(row, s),
                            1e-4, 1e-5);
    }
    testing::expect_close(c.loss(r.scores, c.targets, weights),
                          loss / (c.over_weight_sum ? weight_sum : static_cast<double>(kRows)), 1e-3);
  }
}

// Float64 negative log-likelihood of the row's class as a function of margin k.
double softmax_nll(const std::vector<std::vector<float>>& margins, std::size_t row, std::size_t label, std::size_t k,
                   double value) {
  double max = -INFINITY, sum = 0.0;
  std::vector<double> z(margins.size());
  for (std::size_t j = 0; j < margins.size(); ++j) max = std::max(max, z[j] = j == k ? value : margins[j][row]);
  for (const double v : z) sum += std::exp(v - max);
  return -(z[label] - max - std::log(sum));
}

TEST(ObjectivesOnPool, MulticlassPairsFollowTheFloat64Softmax) {
  const Rows r = make_rows(kRows / 2);
  const std::size_t n = r.scores.size();
  std::vector<std::vector<float>> margins(4);
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t i = 0; i < n; ++i) margins[k].push_back(r.scores[(i + k * 7919) % n]);
  }
  const MultiClassSoftmaxObjective objective = MultiClassSoftmaxObjective::make(4);
  for (const std::size_t k : {std::size_t{0}, std::size_t{2}}) {
    std::vector<GradientPair> all;
    objective.compute_gradients_for_class(margins, r.labels, Weights(r.weights), k, all);
    ASSERT_EQ(all.size(), n);
    for (std::size_t i = 0; i < n; i += kSampleStep) {
      const std::size_t label = static_cast<std::size_t>(r.labels[i]);
      auto nll = [&](double v) { return r.weights[i] * softmax_nll(margins, i, label, k, v); };
      testing::expect_close(all[i].grad, testing::first_derivative(nll, margins[k][i]), 1e-5, 1e-6);
      testing::expect_close(all[i].hess, testing::second_derivative(nll, margins[k][i]), 1e-3, 1e-6);
    }
  }
}

// Float64 losses of one group: the logistic pair loss summed over pairs of different labels, and
// the cross entropy of the label softmax against the score softmax.
double pairwise_loss(const std::vector<double>& s, Span y) {
  double sum = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    for (std::size_t j = i + 1; j < s.size(); ++j) {
      if (y[i] != y[j]) sum += std::log1p(std::exp(-(y[i] > y[j] ? s[i] - s[j] : s[j] - s[i])));
    }
  }
  return sum;
}
double cross_entropy(const std::vector<double>& s, Span y) {
  if (s.size() < 2) return 0.0;  // groups of one row are left alone
  double label_norm = 0.0, score_norm = 0.0, sum = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) label_norm += std::exp(double{y[i]}), score_norm += std::exp(s[i]);
  for (std::size_t i = 0; i < s.size(); ++i) sum -= std::exp(double{y[i]}) / label_norm * (s[i] - std::log(score_norm));
  return sum;
}

TEST(ObjectivesOnPool, RankingPairsFollowTheirGroupLosses) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.5f);
  std::uniform_real_distribution<float> uniform(0.1f, 3.0f);
  std::vector<std::uint32_t> ids;
  std::vector<std::size_t> bounds{0};
  std::vector<float> scores, labels, weights;
  for (std::uint32_t g = 0; g < kGroups; ++g) {
    const std::size_t rows = 1 + rng() % 40;
    for (std::size_t i = 0; i < rows; ++i) {
      ids.push_back(g);
      scores.push_back(i % 9 == 4 ? 0.25f : normal(rng));  // some ties
      labels.push_back(g % 17 == 0 ? 0.0f : static_cast<float>(rng() % 5));  // some groups without a positive label
      weights.push_back(uniform(rng));
    }
    bounds.push_back(ids.size());
  }
  // The per-round path gives the checked path's bits into a stale buffer.
  auto both_paths = [&](const char* name, const auto& objective, const Weights& w) {
    SCOPED_TRACE(name);
    std::vector<GradientPair> checked = objective.compute_gradients(scores, labels, w);
    expect_same_pairs(per_round_into_stale_buffer(objective, scores, labels, w), checked);
    return checked;
  };
  both_paths("lambdamart", LambdaMARTObjective(ids), std::nullopt);
  both_paths("yetirank", YetiRankObjective(ids, 3, 99), std::nullopt);
  const auto pairwise = both_paths("pairwise", PairwiseRankingObjective(ids), std::nullopt);
  const auto xendcg = both_paths("xendcg", XeNDCGObjective(ids), std::nullopt);
  // Query RMSE trains on squared-error pairs, weighted or not.
  for (const Weights& w : {Weights{}, Weights{weights}}) {
    expect_same_pairs(both_paths("queryrmse", QueryRMSEObjective(ids), w),
                      SquaredErrorObjective{}.compute_gradients(scores, labels, w));
  }
  // Pairwise and cross-entropy pairs are the derivatives of their groups' float64 losses (the
  // hessian floored), on a sample of the groups.
  for (std::size_t g = 0; g + 1 < bounds.size(); g += 61) {
    const Span y = Span(labels).subspan(bounds[g], bounds[g + 1] - bounds[g]);
    for (std::size_t i = bounds[g]; i < bounds[g + 1]; ++i) {
      auto at = [&](auto loss) {
        return [&, loss](double x) {
          std::vector<double> s(scores.begin() + static_cast<std::ptrdiff_t>(bounds[g]),
                                scores.begin() + static_cast<std::ptrdiff_t>(bounds[g + 1]));
          s[i - bounds[g]] = x;
          return loss(s, y);
        };
      };
      testing::expect_close(pairwise[i].grad, testing::first_derivative(at(pairwise_loss), scores[i]), 1e-5, 1e-6);
      testing::expect_close(pairwise[i].hess, std::max(testing::second_derivative(at(pairwise_loss), scores[i]), 1e-7),
                            1e-3, 1e-5);
      testing::expect_close(xendcg[i].grad, testing::first_derivative(at(cross_entropy), scores[i]), 1e-4, 1e-6);
      testing::expect_close(xendcg[i].hess, std::max(testing::second_derivative(at(cross_entropy), scores[i]), 1e-7),
                            1e-3, 1e-5);
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
