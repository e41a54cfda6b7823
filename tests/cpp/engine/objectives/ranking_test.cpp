// LambdaMART and YetiRank against the float64 lambda reference on one table of group sets: a
// single-row group first (it shifts every later group's noise key), tied scores, an all-zero
// group, and one group of 900 rows, too many pairs to keep their weights between samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/ndcg.hpp"
#include "engine/objectives/ranking_groups.hpp"
#include "engine/objectives/yetirank.hpp"
#include "objective_test_util.hpp"
#include "ranking_reference.hpp"

namespace kestrune::engine::objectives {
namespace {

struct Groups {
  std::vector<std::uint32_t> ids;
  std::vector<float> scores, labels;
};

std::vector<Groups> ranking_sets() {
  Groups large{std::vector<std::uint32_t>(900, 1), std::vector<float>(900), std::vector<float>(900)};
  for (std::size_t i = 0; i < 900; ++i) {
    large.scores[i] = static_cast<float>((i * 37) % 101) / 50.0f - 1.0f;
    large.labels[i] = static_cast<float>((i * 7) % 5);
  }
  return {{{3, 1, 1, 1, 1, 2, 2, 2, 4, 4},
           {1.0f, 0.1f, 0.3f, 0.2f, 0.25f, 0.5f, 0.5f, 2.0f, 0.0f, 1.0f},
           {1.0f, 2.0f, 0.0f, 1.0f, 3.0f, 3.0f, 1.0f, 0.0f, 0.0f, 0.0f}},
          large};
}

// LambdaMART is YetiRank's reference with the scores themselves as the one ranking; YetiRank
// averages the terms over rankings of noisy scores.
TEST(ObjectiveRanking, LambdaGradientsMatchTheFloat64Reference) {
  constexpr std::uint64_t kSeed = 99;
  for (const Groups& q : ranking_sets()) {
    for (const std::size_t samples : {0u, 1u, 4u}) {
      SCOPED_TRACE(::testing::Message() << q.ids.size() << " rows, samples " << samples);
      const std::vector<GradientPair> pairs =
          samples == 0 ? LambdaMARTObjective(q.ids).compute_gradients(q.scores, q.labels, std::nullopt)
                       : YetiRankObjective(q.ids, samples, kSeed).compute_gradients(q.scores, q.labels, std::nullopt);
      const std::vector<std::size_t> b = compute_group_boundaries(q.ids);
      std::vector<double> grad(q.ids.size(), 0.0), hess(q.ids.size(), 0.0);
      for (std::size_t g = 0; g + 1 < b.size(); ++g) {
        const std::size_t rows = b[g + 1] - b[g];
        if (rows < 2) continue;
        const auto l = std::span<const float>(q.labels).subspan(b[g], rows);
        const auto s = std::span<const float>(q.scores).subspan(b[g], rows);
        testing::ReferenceTerms terms{std::vector<double>(rows, 0.0), std::vector<double>(rows, 0.0)};
        const std::size_t rankings = std::max<std::size_t>(samples, 1);
        for (std::size_t k = 0; k < rankings; ++k) {
          std::vector<float> noisy(s.begin(), s.end());
          for (std::size_t i = 0; i < rows && samples > 0; ++i) noisy[i] += yetirank_noise(kSeed, g, k, i);
          testing::add_lambda_terms(l, s, noisy, 1.0 / static_cast<double>(rankings), terms);
        }
        for (std::size_t i = 0; i < rows; ++i) grad[b[g] + i] = terms.grad[i], hess[b[g] + i] = terms.hess[i];
      }
      ASSERT_EQ(pairs.size(), grad.size());
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        testing::expect_close(pairs[i].grad, grad[i], 1e-4, 1e-6);
        testing::expect_close(pairs[i].hess, std::max(hess[i], 1e-7), 1e-4, 1e-6);
      }
    }
  }
}

// The looked-up gains and discounts are the computed ones, bit for bit, on both sides of each
// table's edge and for labels the table cannot hold.
TEST(ObjectiveRanking, GainAndDiscountLookupsEqualTheExpressions) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float label : {0.0f, 1.0f, 4.0f, 30.0f, 31.0f, 31.5f, 32.0f, 40.0f, 0.5f, -1.0f, -0.0f, 1e-30f, nan}) {
    const float expected = std::exp2(label) - 1.0f;
    const float got = relevance_gain(label);
    EXPECT_TRUE(std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(expected) ||
                (std::isnan(got) && std::isnan(expected)))
        << label;
  }
  for (std::size_t rank = 0; rank < 300; ++rank) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(position_discount(rank)),
              std::bit_cast<std::uint32_t>(1.0f / std::log2(static_cast<float>(rank) + 2.0f)))
        << rank;
  }
}

// The ideal DCG counts whole labels instead of sorting them: bit for bit the sorted sum, for whole
// labels, for groups with a label the count cannot take, and for every depth.
TEST(ObjectiveRanking, IdealDcgOfCountedLabelsEqualsTheSortedSum) {
  std::mt19937 random(3);
  for (int trial = 0; trial < 200; ++trial) {
    // The last trials' groups reach past the discount table's ranks.
    std::vector<float> labels(trial < 190 ? 1 + random() % 40 : 250 + random() % 20);
    for (float& label : labels) label = static_cast<float>(random() % 6);
    if (trial % 4 == 1) labels[random() % labels.size()] = 31.0f;
    if (trial % 4 == 2) labels[random() % labels.size()] = 2.5f;  // not whole: sorted
    if (trial % 4 == 3) labels[random() % labels.size()] = 40.0f;  // beyond the table: sorted
    std::vector<float> sorted = labels;
    std::stable_sort(sorted.begin(), sorted.end(), [](float a, float b) { return a > b; });
    for (const std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{258}, labels.size()}) {
      float expected = -0.0f;
      for (std::size_t i = 0; i < std::min(k, sorted.size()); ++i) {
        expected += (std::exp2(sorted[i]) - 1.0f) * (1.0f / std::log2(static_cast<float>(i) + 2.0f));
      }
      EXPECT_EQ(std::bit_cast<std::uint32_t>(ideal_dcg(labels, k)), std::bit_cast<std::uint32_t>(expected))
          << "trial " << trial << " k " << k;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
