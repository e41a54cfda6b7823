// The objectives spread their rows and query groups over the worker pool. Whatever the pool size
// (ctest runs this suite with 1, 2, 3 and 8 pool threads), gradients and losses must be the
// bits of the plain serial computation: each row's pair is what the objective gives for that row
// alone (each group's pairs: for that group alone), and each loss is the running sum of the
// per-row (per-group) terms in order. The inputs are large enough for every objective to use
// several threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/loss.hpp"
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

using testing::make_rows;
using testing::Rows;

constexpr std::size_t kRows = 300000;
constexpr std::size_t kGroups = 6000;

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

void expect_same_pairs(const std::vector<GradientPair>& actual, const std::vector<GradientPair>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    ASSERT_EQ(bits(actual[i].grad), bits(expected[i].grad)) << "row " << i;
    ASSERT_EQ(bits(actual[i].hess), bits(expected[i].hess)) << "row " << i;
  }
}

using Objective = std::function<void(std::span<const float>, std::span<const float>, const Weights&,
                                     std::vector<GradientPair>&)>;
using Loss = std::function<float(std::span<const float>, std::span<const float>, const Weights&)>;

template <typename O>
Objective per_round(const O& o) {
  return [o](auto p, auto y, const Weights& w, auto& out) { o.compute_gradients_into(p, y, w, out); };
}
template <typename O>
Objective checked(const O& o) {
  return [o](auto p, auto y, const Weights& w, auto& out) { out = o.compute_gradients(p, y, w); };
}
template <typename O>
Loss loss_of(const O& o) {
  return [o](auto p, auto y, const Weights& w) { return o.loss(p, y, w); };
}

TEST(ObjectivesOnPool, PerRowObjectivesMatchRowByRow) {
  const Rows r = make_rows(kRows);
  std::vector<float> binary(r.labels.size());
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = std::fmod(r.labels[i], 2.0f);
  const QuantileObjective quantile{0.7f};
  const TweedieObjective tweedie = TweedieObjective::make(1.4f);
  struct Case {
    const char* name;
    Objective gradients;
    Loss loss;  // empty: the loss is not a plain mean of per-row terms
    const std::vector<float>& targets;
    bool weighted;
  };
  const Case cases[] = {
      {"squared per round", per_round(SquaredErrorObjective{}), nullptr, r.counts, true},
      {"squared checked", checked(SquaredErrorObjective{}), nullptr, r.counts, true},
      {"binary per round", per_round(BinaryCrossEntropyObjective{}), loss_of(BinaryCrossEntropyObjective{}), binary,
       true},
      {"binary checked", checked(BinaryCrossEntropyObjective{}), loss_of(BinaryCrossEntropyObjective{}), binary,
       false},
      {"poisson", per_round(PoissonObjective{}), loss_of(PoissonObjective{}), r.counts, false},
      {"poisson weighted", checked(PoissonObjective{}), nullptr, r.counts, true},
      {"gamma", per_round(GammaObjective{}), loss_of(GammaObjective{}), r.weights, false},
      {"tweedie", per_round(tweedie), loss_of(tweedie), r.counts, false},
      {"tweedie weighted", per_round(tweedie), nullptr, r.counts, true},
      {"quantile per round", per_round(quantile), nullptr, r.counts, true},
      {"quantile checked", checked(quantile), nullptr, r.counts, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Weights weights = c.weighted ? Weights(r.weights) : std::nullopt;
    std::vector<GradientPair> all;
    c.gradients(r.scores, c.targets, weights, all);
    std::vector<GradientPair> expected(kRows);
    float term_sum = 0.0f;
    for (std::size_t i = 0; i < kRows; ++i) {
      const Weights w = c.weighted ? Weights(std::span<const float>(r.weights).subspan(i, 1)) : std::nullopt;
      const std::span<const float> p = std::span<const float>(r.scores).subspan(i, 1);
      const std::span<const float> y = std::span<const float>(c.targets).subspan(i, 1);
      std::vector<GradientPair> one;
      c.gradients(p, y, w, one);
      expected[i] = one.at(0);
      // The loss of one row is that row's term: the running sum of the terms in row order,
      // over the row count, is the loss of all rows.
      if (c.loss) term_sum += c.loss(p, y, w);
    }
    expect_same_pairs(all, expected);
    if (c.loss) {
      EXPECT_EQ(bits(c.loss(r.scores, c.targets, weights)), bits(term_sum / static_cast<float>(kRows)));
    }
  }
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
    const std::span<const float> w = std::span<const float>(r.weights).subspan(i, 1);
    std::vector<GradientPair> one;
    objective.compute_gradients_for_class(row, std::span<const float>(r.labels).subspan(i, 1), Weights(w), 2, one);
    expected[i] = one.at(0);
    // The unweighted loss: the rows' negative log-likelihoods summed in row order in float64.
    double sum = 0.0;
    float m = -INFINITY;
    for (std::size_t k = 0; k < 4; ++k) m = margins[k][i] > m ? margins[k][i] : m;
    for (std::size_t k = 0; k < 4; ++k) sum += std::exp(static_cast<double>(margins[k][i] - m));
    const std::size_t c = static_cast<std::size_t>(r.labels[i]);
    total -= 1.0 * (static_cast<double>(margins[c][i] - m) - std::log(sum));
  }
  expect_same_pairs(all, expected);
  EXPECT_EQ(bits(objective.loss(margins, r.labels, std::nullopt)),
            bits(static_cast<float>(total / static_cast<double>(n))));
}

struct Ranking {
  std::vector<std::uint32_t> ids;
  std::vector<std::size_t> boundaries;
  std::vector<float> scores, labels;
};

Ranking make_ranking() {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.5f);
  Ranking q;
  q.boundaries.push_back(0);
  for (std::uint32_t g = 0; g < kGroups; ++g) {
    const std::size_t rows = 1 + rng() % 40;
    const bool all_zero = g % 17 == 0;  // no positive label: no update, NDCG 1
    for (std::size_t i = 0; i < rows; ++i) {
      q.ids.push_back(g);
      q.scores.push_back(i % 9 == 4 ? 0.25f : normal(rng));  // some ties
      q.labels.push_back(all_zero ? 0.0f : static_cast<float>(rng() % 5));
    }
    q.boundaries.push_back(q.ids.size());
  }
  return q;
}

// Gradients of every group computed on that group alone, by an objective built from its rows only.
template <typename Make>
std::vector<GradientPair> group_by_group(const Ranking& q, bool checked_path, Make&& make) {
  std::vector<GradientPair> pairs;
  for (std::size_t g = 0; g + 1 < q.boundaries.size(); ++g) {
    const std::size_t begin = q.boundaries[g];
    const std::size_t rows = q.boundaries[g + 1] - begin;
    const std::vector<std::uint32_t> ids(rows, 0);
    const auto objective = make(ids, g);
    const std::span<const float> p = std::span<const float>(q.scores).subspan(begin, rows);
    const std::span<const float> y = std::span<const float>(q.labels).subspan(begin, rows);
    std::vector<GradientPair> one;
    if (checked_path) {
      one = objective.compute_gradients(p, y, std::nullopt);
    } else {
      objective.compute_gradients_into(p, y, std::nullopt, one);
    }
    pairs.insert(pairs.end(), one.begin(), one.end());
  }
  return pairs;
}

TEST(ObjectivesOnPool, RankingObjectivesMatchGroupByGroup) {
  const Ranking q = make_ranking();
  const Weights none = std::nullopt;
  auto check = [&](const char* name, const auto& objective, auto make) {
    SCOPED_TRACE(name);
    expect_same_pairs(objective.compute_gradients(q.scores, q.labels, none), group_by_group(q, true, make));
    std::vector<GradientPair> per_round;
    objective.compute_gradients_into(q.scores, q.labels, none, per_round);
    expect_same_pairs(per_round, group_by_group(q, false, make));
  };
  check("lambdamart", LambdaMARTObjective(q.ids), [](auto& ids, std::size_t) { return LambdaMARTObjective(ids); });
  check("pairwise", PairwiseRankingObjective(q.ids),
        [](auto& ids, std::size_t) { return PairwiseRankingObjective(ids); });
  check("xendcg", XeNDCGObjective(q.ids), [](auto& ids, std::size_t) { return XeNDCGObjective(ids); });
  check("queryrmse", QueryRMSEObjective(q.ids), [](auto& ids, std::size_t) { return QueryRMSEObjective(ids); });
  // The noise key adds group * 1000003 to the seed: a one-group objective whose seed carries that
  // step draws the same noise as group g of the whole set.
  constexpr std::uint64_t kSeed = 99;
  check("yetirank", YetiRankObjective(q.ids, 3, kSeed), [](auto& ids, std::size_t g) {
    return YetiRankObjective(ids, 3, kSeed + static_cast<std::uint64_t>(g) * 1000003ULL);
  });

  // Losses: the per-group values summed in group order, in float64.
  const std::size_t groups = q.boundaries.size() - 1;
  double ndcg_sum = 0.0, cross_sum = 0.0, rmse_sum = 0.0;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t begin = q.boundaries[g];
    const std::size_t rows = q.boundaries[g + 1] - begin;
    const std::span<const float> p = std::span<const float>(q.scores).subspan(begin, rows);
    const std::span<const float> y = std::span<const float>(q.labels).subspan(begin, rows);
    ndcg_sum += static_cast<double>(ndcg_for_group(y, p));
    double squared = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      const double d = static_cast<double>(p[i] - y[i]);
      squared += d * d;
    }
    rmse_sum += std::sqrt(squared / static_cast<double>(rows));
    if (rows < 2) continue;
    const float label_lse = log_sum_exp(y);
    const float score_lse = log_sum_exp(p);
    double cross = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      cross += std::exp(static_cast<double>(y[i] - label_lse)) * static_cast<double>(p[i] - score_lse);
    }
    cross_sum += -cross;
  }
  const double g = static_cast<double>(groups);
  const float ndcg_loss = static_cast<float>(1.0 - ndcg_sum / g);
  EXPECT_EQ(bits(LambdaMARTObjective(q.ids).loss(q.scores, q.labels, none)), bits(ndcg_loss));
  EXPECT_EQ(bits(YetiRankObjective(q.ids, 3, 1).loss(q.scores, q.labels, none)), bits(ndcg_loss));
  EXPECT_EQ(bits(XeNDCGObjective(q.ids).loss(q.scores, q.labels, none)), bits(static_cast<float>(cross_sum / g)));
  EXPECT_EQ(bits(QueryRMSEObjective(q.ids).loss(q.scores, q.labels, none)), bits(static_cast<float>(rmse_sum / g)));
}

TEST(ObjectivesOnPool, LambdaMARTGradientPassGivesTheLoss) {
  // The pass that returns the loss too must give the pairs of the plain pass and the float of the
  // loss on its own, on groups that take every path of the ranking: ties, NaN scores, labels off
  // the gain table, groups long enough to be sorted, single rows and groups without a positive
  // label; NaN scores are refused as the plain pass refuses them.
  struct Case {
    const char* name;
    std::size_t nan_every;      // 0: no NaN scores
    float label_scale;          // labels are (rng % 5) * label_scale
    std::size_t long_every;     // 0: no group past 128 rows
  };
  const Case cases[] = {
      {"graded", 0, 1.0f, 0},
      {"nan scores", 97, 1.0f, 0},
      {"fractional labels", 0, 0.75f, 0},
      {"labels off the table", 0, 9.0f, 0},
      {"long groups", 0, 1.0f, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ranking q = make_ranking();
    std::mt19937 rng(11);
    std::vector<std::uint32_t> ids;
    std::vector<float> scores, labels;
    for (std::uint32_t g = 0; g + 1 < q.boundaries.size(); ++g) {
      const std::size_t extra = c.long_every != 0 && g % c.long_every == 0 ? 150 : 0;
      const std::size_t rows = q.boundaries[g + 1] - q.boundaries[g] + extra;
      for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t at = q.boundaries[g] + i % (q.boundaries[g + 1] - q.boundaries[g]);
        ids.push_back(g);
        scores.push_back(c.nan_every != 0 && ids.size() % c.nan_every == 0 ? NAN : q.scores[at] + 0.01f * i);
        labels.push_back(q.labels[at] == 0.0f ? 0.0f : static_cast<float>(rng() % 5) * c.label_scale);
      }
    }
    const LambdaMARTObjective objective(ids);
    std::vector<GradientPair> plain, fused(5);
    if (c.nan_every != 0) {
      // A NaN score's group gets NaN lambdas: both passes refuse them alike and keep no pairs.
      testing::expect_rejected_pair(
          [&] { objective.compute_gradients_into(scores, labels, std::nullopt, plain); },
          "gradient and hessian must be finite");
      testing::expect_rejected_pair(
          [&] { objective.compute_gradients_and_loss_into(scores, labels, std::nullopt, fused); },
          "gradient and hessian must be finite");
      EXPECT_TRUE(fused.empty());
      continue;
    }
    objective.compute_gradients_into(scores, labels, std::nullopt, plain);
    const float loss = objective.compute_gradients_and_loss_into(scores, labels, std::nullopt, fused);
    expect_same_pairs(fused, plain);
    EXPECT_EQ(bits(loss), bits(objective.loss(scores, labels, std::nullopt)));
  }
}

// The binary objective's fused pass, which the boosting loop uses for a round's loss and the next
// round's gradients, and its loss on idle workers: their pairs and their loss are the bits of the
// separate passes, weighted or not, on all rows, on one row and on none; with infinite and NaN
// logits and zeros of both signs among the rows (the loss is then NaN), they still are.
TEST(ObjectivesOnPool, BinaryGradientPassGivesTheLoss) {
  const Rows r = make_rows(kRows);
  std::vector<float> labels(r.labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = std::fmod(r.labels[i], 2.0f);
  std::vector<float> non_finite = r.scores;
  // Both infinities and NaN signs, and both zeros, whose sigmoids take different branches.
  const float specials[] = {INFINITY, NAN, -INFINITY, -NAN, -0.0f, 0.0f};
  for (std::size_t i = 0; i < non_finite.size(); i += 9973) non_finite[i] = specials[(i / 9973) % std::size(specials)];
  const BinaryCrossEntropyObjective objective;
  for (const std::size_t rows : {kRows, std::size_t{1}, std::size_t{0}}) {
    for (const bool finite : {true, false}) {
      for (const bool weighted : {false, true}) {
        SCOPED_TRACE(std::to_string(rows) + (finite ? " finite" : " non-finite") + (weighted ? " weighted" : ""));
        const std::span<const float> scores = std::span<const float>(finite ? r.scores : non_finite).first(rows);
        const std::span<const float> y = std::span<const float>(labels).first(rows);
        const Weights weights = weighted ? Weights(std::span<const float>(r.weights).first(rows)) : std::nullopt;
        std::vector<GradientPair> plain;
        std::vector<GradientPair> fused(5);
        objective.compute_gradients_into(scores, y, weights, plain);
        const float loss = objective.compute_gradients_and_loss_into(scores, y, weights, fused);
        expect_same_pairs(fused, plain);
        const float expected = objective.loss(scores, y, weights);
        EXPECT_EQ(bits(loss), bits(expected));
        std::vector<float> terms(7);
        EXPECT_EQ(bits(objective.loss_when_idle(scores, y, weights, terms)), bits(expected));
        if (finite) {
          EXPECT_TRUE(std::isfinite(expected));
        }
      }
    }
  }
}

TEST(ObjectivesOnPool, FirstFailingRowIsReported) {
  // Two bad rows far apart, in different pieces of the work: the earlier one's error is the one
  // reported, and the caller's buffer is left empty.
  const Rows r = make_rows(kRows);
  std::vector<float> scores = r.scores;
  std::vector<float> weights = r.weights;
  scores[kRows / 2] = NAN;      // non-finite gradient
  weights[kRows - 10] = 0.0f;   // hessian 0
  std::vector<GradientPair> out(3);
  testing::expect_rejected_pair(
      [&] { BinaryCrossEntropyObjective{}.compute_gradients(scores, r.labels, Weights(weights)); },
      "gradient and hessian must be finite");
  // Poisson checks a row's weight before its pair: a bad weight early beats a NaN score later.
  scores[kRows / 2] = r.scores[kRows / 2];
  weights[kRows - 10] = r.weights[kRows - 10];
  weights[1000] = -1.0f;
  scores[kRows - 5] = NAN;
  testing::expect_contract_violation(
      [&] { PoissonObjective{}.compute_gradients_into(scores, r.counts, Weights(weights), out); },
      "sample weights must be finite and > 0");
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace kestrune::engine::objectives
