// The objectives spread their rows and query groups over the worker pool. Whatever the pool size
// (ctest runs this suite with 1, 2, 3 and 8 pool threads), gradients and losses must be the
// bits of the plain serial computation: each row's pair is what the checked path gives for that
// row alone (each group's pairs: for that group alone), on the checked and the per-round path
// alike, and each loss is the running sum of the per-row (per-group) terms in order. The same
// pairs and losses are checked against their float64 definitions. The inputs are large enough
// for every objective to use several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/objectives/ndcg.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/query_rmse.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

constexpr std::size_t kRows = 300000;
constexpr std::size_t kGroups = 6000;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

void expect_same_pairs(const std::vector<GradientPair>& actual, const std::vector<GradientPair>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) ASSERT_EQ(std::memcmp(&actual[i], &expected[i], 8), 0) << "row " << i;
}

struct Rows { std::vector<float> scores, labels, counts, weights; };

Rows make_rows(std::size_t n) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 2.0f);
  std::uniform_real_distribution<float> uniform(0.1f, 3.0f);
  Rows r;
  for (std::size_t i = 0; i < n; ++i) {
    r.scores.push_back(normal(rng));
    r.labels.push_back(static_cast<float>(rng() % 4));  // classes 0..3, binary labels after % 2
    r.counts.push_back(std::floor(uniform(rng) * 2.0f));
    r.weights.push_back(uniform(rng));
  }
  return r;
}

using Span = std::span<const float>;
using Row = std::function<double(double, double)>;

// A per-row objective with its float64 definition: the pair is the first and second derivative
// of the row's weighted term `nll` in the score (`hessian` where it is not the second
// derivative), and the loss is the mean of the weighted `loss_term`s over the rows or, for the
// log-link families, over the weights.
struct PerRowCase {
  const char* name;
  std::function<std::vector<GradientPair>(Span, Span, const Weights&, bool per_round)> gradients;
  std::function<float(Span, Span, const Weights&)> loss;
  const std::vector<float>& targets;
  bool weighted, running_sum_loss, over_weight_sum;
  Row nll, hessian, loss_term;
};

template <typename O>
PerRowCase per_row(const char* name, const O& o, const std::vector<float>& targets, bool weighted, bool running_sum,
                   bool over_weight_sum, Row nll, Row hessian, Row loss_term) {
  auto gradients = [o](Span p, Span y, const Weights& w, bool per_round) {
    if (!per_round) return o.compute_gradients(p, y, w);
    // The per-round path fills the caller's buffer in place, overwriting every entry.
    std::vector<GradientPair> out(p.size() + 40, GradientPair{9.0f, 9.0f});
    const GradientPair* storage = out.data();
    o.compute_gradients_into(p, y, w, out);
    EXPECT_EQ(out.data(), storage);
    return out;
  };
  return {name, gradients, [o](Span p, Span y, const Weights& w) { return o.loss(p, y, w); }, targets, weighted,
          running_sum, over_weight_sum, nll, hessian, loss_term};
}

double pinball(double s, double y) { return y > s ? 0.7 * (y - s) : 0.3 * (s - y); }
double tweedie_nll(double s, double y) { return -y * std::exp(-0.4 * s) / -0.4 + std::exp(0.6 * s) / 0.6; }
double tweedie_deviance(double s, double y) {
  const double m = std::exp(s);
  return 2.0 * (std::pow(y, 0.6) / (-0.4 * 0.6) - y * std::pow(m, -0.4) / -0.4 + std::pow(m, 0.6) / 0.6);
}

TEST(ObjectivesOnPool, PerRowObjectivesMatchRowByRow) {
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
      per_row("squared", SquaredErrorObjective{}, r.counts, true, false, false, squared, nullptr, squared_term),
      per_row("binary weighted", BinaryCrossEntropyObjective{}, binary, true, true, false, logistic, nullptr, logistic),
      per_row("binary", BinaryCrossEntropyObjective{}, binary, false, true, false, logistic, nullptr, logistic),
      per_row("poisson", PoissonObjective{}, r.counts, false, true, true, poisson, nullptr, poisson),
      per_row("poisson weighted", PoissonObjective{}, r.counts, true, false, true, poisson, nullptr, poisson),
      per_row("gamma", GammaObjective{}, r.weights, false, true, true, gamma, nullptr, gamma_term),
      per_row("tweedie", tweedie, r.counts, false, true, true, tweedie_nll, tweedie_hessian, tweedie_deviance),
      per_row("tweedie weighted", tweedie, r.counts, true, false, true, tweedie_nll, tweedie_hessian, tweedie_deviance),
      per_row("quantile weighted", quantile, r.counts, true, false, false, pinball, unit, pinball),
      per_row("quantile", quantile, r.counts, false, false, false, pinball, unit, pinball),
  };
  for (const PerRowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Weights weights = c.weighted ? Weights(r.weights) : std::nullopt;
    std::vector<GradientPair> expected(kRows);
    float term_sum = 0.0f;
    double loss = 0.0, weight_sum = 0.0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const Weights w = c.weighted ? Weights(Span(r.weights).subspan(i, 1)) : std::nullopt;
      const Span p = Span(r.scores).subspan(i, 1), y = Span(c.targets).subspan(i, 1);
      expected[i] = c.gradients(p, y, w, false).at(0);
      // The loss of one row is that row's term: the running sum of the terms in row order,
      // over the row count, is the loss of all rows.
      if (c.running_sum_loss) term_sum += c.loss(p, y, w);
      const double wi = c.weighted ? r.weights[i] : 1.0, s = r.scores[i], yi = c.targets[i];
      loss += wi * c.loss_term(s, yi);
      weight_sum += wi;
      if (i % 1009 != 0) continue;
      auto row = [&](double x) { return wi * c.nll(x, yi); };
      testing::expect_close(expected[i].grad, testing::first_derivative(row, s), 1e-5, 1e-5);
      testing::expect_close(expected[i].hess, c.hessian ? wi * c.hessian(s, yi) : testing::second_derivative(row, s),
                            1e-4, 1e-5);
    }
    for (const bool per_round : {false, true}) expect_same_pairs(c.gradients(r.scores, c.targets, weights, per_round), expected);
    const float all = c.loss(r.scores, c.targets, weights);
    if (c.running_sum_loss) {
      EXPECT_EQ(bits(all), bits(term_sum / static_cast<float>(kRows)));
    }
    testing::expect_close(all, loss / (c.over_weight_sum ? weight_sum : static_cast<double>(kRows)), 1e-3);
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

TEST(ObjectivesOnPool, MulticlassMatchesRowByRow) {
  const Rows r = make_rows(kRows / 2);
  const std::size_t n = r.scores.size();
  std::vector<std::vector<float>> margins(4);
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t i = 0; i < n; ++i) margins[k].push_back(r.scores[(i + k * 7919) % n]);
  }
  const MultiClassSoftmaxObjective objective = MultiClassSoftmaxObjective::make(4);
  std::vector<GradientPair> all;
  objective.compute_gradients_for_class(margins, r.labels, Weights(r.weights), 2, all);
  std::vector<GradientPair> expected(n);
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<std::vector<float>> row(4);
    for (std::size_t k = 0; k < 4; ++k) row[k] = {margins[k][i]};
    std::vector<GradientPair> one;
    objective.compute_gradients_for_class(row, Span(r.labels).subspan(i, 1), Weights(Span(r.weights).subspan(i, 1)),
                                          2, one);
    expected[i] = one.at(0);
    // The unweighted loss: the rows' negative log-likelihoods summed in row order in float64.
    const std::size_t label = static_cast<std::size_t>(r.labels[i]);
    double sum = 0.0;
    float m = -INFINITY;
    for (std::size_t k = 0; k < 4; ++k) m = margins[k][i] > m ? margins[k][i] : m;
    for (std::size_t k = 0; k < 4; ++k) sum += std::exp(static_cast<double>(margins[k][i] - m));
    total -= static_cast<double>(margins[label][i] - m) - std::log(sum);
    // The pair: derivatives of the weighted float64 likelihood in margin 2.
    if (i % 1009 != 0) continue;
    auto nll = [&](double v) { return r.weights[i] * softmax_nll(margins, i, label, 2, v); };
    testing::expect_close(one[0].grad, testing::first_derivative(nll, margins[2][i]), 1e-5, 1e-6);
    testing::expect_close(one[0].hess, testing::second_derivative(nll, margins[2][i]), 1e-3, 1e-6);
  }
  expect_same_pairs(all, expected);
  EXPECT_EQ(bits(objective.loss(margins, r.labels, std::nullopt)), bits(static_cast<float>(total / static_cast<double>(n))));
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

TEST(ObjectivesOnPool, RankingObjectivesMatchGroupByGroup) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.5f);
  std::vector<std::uint32_t> ids;
  std::vector<std::size_t> bounds{0};
  std::vector<float> scores, labels;
  for (std::uint32_t g = 0; g < kGroups; ++g) {
    const std::size_t rows = 1 + rng() % 40;
    for (std::size_t i = 0; i < rows; ++i) {
      ids.push_back(g);
      scores.push_back(i % 9 == 4 ? 0.25f : normal(rng));  // some ties
      labels.push_back(g % 17 == 0 ? 0.0f : static_cast<float>(rng() % 5));  // some groups without a positive label
    }
    bounds.push_back(ids.size());
  }
  // Each group's pairs from an objective built from that group's rows alone, on the checked path.
  // YetiRank's noise key adds group * 1000003 to the seed: a one-group objective whose seed carries
  // that step draws the same noise as group g of the whole set.
  constexpr std::uint64_t kSeed = 99;
  auto check = [&](const char* name, const auto& objective, auto make) {
    SCOPED_TRACE(name);
    std::vector<GradientPair> expected;
    for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
      const std::size_t begin = bounds[g], rows = bounds[g + 1] - begin;
      const std::vector<std::uint32_t> one_group(rows, 0);
      const auto pairs = make(one_group, g).compute_gradients(Span(scores).subspan(begin, rows),
                                                              Span(labels).subspan(begin, rows), std::nullopt);
      expected.insert(expected.end(), pairs.begin(), pairs.end());
    }
    expect_same_pairs(objective.compute_gradients(scores, labels, std::nullopt), expected);
    std::vector<GradientPair> per_round;
    objective.compute_gradients_into(scores, labels, std::nullopt, per_round);
    expect_same_pairs(per_round, expected);
    return expected;
  };
  check("lambdamart", LambdaMARTObjective(ids), [](auto& ids, std::size_t) { return LambdaMARTObjective(ids); });
  const auto pairwise =
      check("pairwise", PairwiseRankingObjective(ids), [](auto& ids, std::size_t) { return PairwiseRankingObjective(ids); });
  const auto xendcg = check("xendcg", XeNDCGObjective(ids), [](auto& ids, std::size_t) { return XeNDCGObjective(ids); });
  // Query RMSE trains on squared-error pairs.
  expect_same_pairs(check("queryrmse", QueryRMSEObjective(ids), [](auto& ids, std::size_t) { return QueryRMSEObjective(ids); }),
                    SquaredErrorObjective{}.compute_gradients(scores, labels, std::nullopt));
  check("yetirank", YetiRankObjective(ids, 3, kSeed), [](auto& ids, std::size_t g) {
    return YetiRankObjective(ids, 3, kSeed + static_cast<std::uint64_t>(g) * 1000003ULL);
  });
  // Pairwise and cross-entropy pairs are the derivatives of their groups' float64 losses (the
  // hessian floored), on a sample of the groups.
  for (std::size_t g = 0; g + 1 < bounds.size(); g += 61) {
    const Span y = Span(labels).subspan(bounds[g], bounds[g + 1] - bounds[g]);
    for (std::size_t i = bounds[g]; i < bounds[g + 1]; ++i) {
      auto at = [&](auto loss) {
        return [&, loss](double x) {
          std::vector<double> s(scores.begin() + bounds[g], scores.begin() + bounds[g + 1]);
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

  // Losses: the per-group values, from float64 definitions, summed in group order.
  double ndcg_sum = 0.0, cross_sum = 0.0, rmse_sum = 0.0;
  for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
    const std::size_t begin = bounds[g], rows = bounds[g + 1] - begin;
    const Span p = Span(scores).subspan(begin, rows), y = Span(labels).subspan(begin, rows);
    ndcg_sum += static_cast<double>(ndcg_for_group(y, p));
    double squared = 0.0;
    for (std::size_t i = 0; i < rows; ++i) squared += std::pow(static_cast<double>(p[i] - y[i]), 2.0);
    rmse_sum += std::sqrt(squared / static_cast<double>(rows));
    if (rows < 2) continue;
    const float label_lse = log_sum_exp(y), score_lse = log_sum_exp(p);
    for (std::size_t i = 0; i < rows; ++i) {
      cross_sum -= std::exp(static_cast<double>(y[i] - label_lse)) * static_cast<double>(p[i] - score_lse);
    }
  }
  const double groups = static_cast<double>(kGroups);
  const float ndcg_loss = static_cast<float>(1.0 - ndcg_sum / groups);
  EXPECT_EQ(bits(LambdaMARTObjective(ids).loss(scores, labels, std::nullopt)), bits(ndcg_loss));
  EXPECT_EQ(bits(YetiRankObjective(ids, 3, 1).loss(scores, labels, std::nullopt)), bits(ndcg_loss));
  EXPECT_EQ(bits(XeNDCGObjective(ids).loss(scores, labels, std::nullopt)), bits(static_cast<float>(cross_sum / groups)));
  EXPECT_EQ(bits(QueryRMSEObjective(ids).loss(scores, labels, std::nullopt)), bits(static_cast<float>(rmse_sum / groups)));
}

TEST(ObjectivesOnPool, FirstFailingRowIsReported) {
  // Two bad rows far apart, in different pieces of the work: the earlier one's error is the one
  // reported, and the caller's buffer is left empty.
  const Rows r = make_rows(kRows);
  std::vector<float> scores = r.scores, weights = r.weights;
  scores[kRows / 2] = NAN, weights[kRows - 10] = 0.0f;  // a non-finite gradient, then a hessian of 0
  testing::expect_rejected_pair(
      [&] { BinaryCrossEntropyObjective{}.compute_gradients(scores, r.labels, Weights(weights)); },
      "gradient and hessian must be finite");
  // Poisson checks a row's weight before its pair: a bad weight early beats a NaN score later.
  scores = r.scores, weights = r.weights;
  weights[1000] = -1.0f, scores[kRows - 5] = NAN;
  std::vector<GradientPair> out(3);
  testing::expect_contract_violation(
      [&] { PoissonObjective{}.compute_gradients_into(scores, r.counts, Weights(weights), out); },
      "sample weights must be finite and > 0");
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace kestrune::engine::objectives
