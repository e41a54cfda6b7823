// The ranking objectives against float64 references written from their definitions, on hand-made
// groups that include a single row, an all-zero group, tied scores and one large group; then the
// group layout and the degenerate inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <span>
#include <vector>

#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/ndcg.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/ranking_groups.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using Offsets = std::vector<std::size_t>;

struct ReferenceTerms { std::vector<double> grad, hess; };

// Float64 LambdaMART terms of one group, from their definition: pairs weighted by the NDCG change
// of a swap in the order `rank_scores` gives (highest first, ties by position); the logistic
// weight uses `scores`. Added into `terms`, from row `base` on, scaled by `scale`.
void add_lambda_terms(std::span<const float> labels, std::span<const float> scores, std::span<const float> rank_scores,
                      double scale, ReferenceTerms& terms, std::size_t base) {
  const std::size_t n = labels.size();
  std::vector<double> sorted(labels.begin(), labels.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](double a, double b) { return a > b; });
  double idcg = 0.0;
  for (std::size_t i = 0; i < n; ++i) idcg += (std::exp2(sorted[i]) - 1.0) / std::log2(i + 2.0);
  if (idcg <= 0.0) return;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rank_scores[a] > rank_scores[b]; });
  std::vector<double> discount(n);
  for (std::size_t r = 0; r < n; ++r) discount[order[r]] = 1.0 / std::log2(r + 2.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (labels[i] == labels[j]) continue;
      const std::size_t hi = labels[i] > labels[j] ? i : j;
      const std::size_t lo = hi == i ? j : i;
      const double rho = 1.0 / (1.0 + std::exp(static_cast<double>(scores[hi]) - scores[lo]));
      const double delta =
          std::fabs((std::exp2(labels[hi]) - std::exp2(labels[lo])) * (discount[hi] - discount[lo])) / idcg;
      terms.grad[base + hi] -= scale * rho * delta;
      terms.grad[base + lo] += scale * rho * delta;
      terms.hess[base + hi] += scale * rho * (1.0 - rho) * delta;
      terms.hess[base + lo] += scale * rho * (1.0 - rho) * delta;
    }
  }
}

struct Groups { std::vector<std::uint32_t> ids; std::vector<float> scores, labels; };

// A single-row group first (it shifts every later group's noise key), tied scores, an all-zero
// group; and one group of 900 rows, too many pairs to keep their weights between samples.
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
  for (const Groups& q : ranking_sets()) {
    for (const std::size_t samples : {0u, 1u, 4u}) {
      SCOPED_TRACE(::testing::Message() << q.ids.size() << " rows, samples " << samples);
      const std::uint64_t seed = 99;
      const std::vector<GradientPair> pairs =
          samples == 0 ? LambdaMARTObjective(q.ids).compute_gradients(q.scores, q.labels, std::nullopt)
                       : YetiRankObjective(q.ids, samples, seed).compute_gradients(q.scores, q.labels, std::nullopt);
      const Offsets b = compute_group_boundaries(q.ids);
      ReferenceTerms ref{std::vector<double>(q.ids.size()), std::vector<double>(q.ids.size())};
      for (std::size_t g = 0; g + 1 < b.size(); ++g) {
        const std::size_t rows = b[g + 1] - b[g];
        if (rows < 2) continue;
        const auto l = std::span<const float>(q.labels).subspan(b[g], rows);
        const auto s = std::span<const float>(q.scores).subspan(b[g], rows);
        for (std::size_t k = 0; k < std::max<std::size_t>(samples, 1); ++k) {
          std::vector<float> noisy(s.begin(), s.end());
          for (std::size_t i = 0; i < rows && samples > 0; ++i) noisy[i] += yetirank_noise(seed, g, k, i);
          add_lambda_terms(l, s, noisy, 1.0 / std::max<std::size_t>(samples, 1), ref, b[g]);
        }
      }
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        expect_close(pairs[i].grad, ref.grad[i], 1e-4, 1e-6);
        expect_close(pairs[i].hess, std::max(ref.hess[i], 1e-7), 1e-4, 1e-6);
      }
    }
  }
  // The noise is the keyed splitmix64 hash, computed independently, scaled into [-0.5, 0.5].
  const std::uint32_t expected_bits[] = {3200455968u, 1033020725u, 3198619334u};
  const float noise[] = {yetirank_noise(42, 1, 0, 0), yetirank_noise(42, 1, 2, 3), yetirank_noise(~0ULL, 5, 9, 100)};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::bit_cast<std::uint32_t>(noise[i]), expected_bits[i]);
}

TEST(ObjectiveRanking, GroupLayout) {
  EXPECT_EQ(compute_group_boundaries(std::vector<std::uint32_t>{7, 7, 3, 3, 7}), (Offsets{0, 2, 4, 5}));
  EXPECT_EQ(compute_group_boundaries(std::vector<std::uint32_t>{}), (Offsets{0, 0}));
  const Offsets train{0, 3, 5};
  const std::optional<Offsets> validation = Offsets{0, 4};
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 5), train);
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 4), (Offsets{0, 4}));
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 6), (Offsets{0, 6}));
  EXPECT_NO_THROW(check_group_boundaries(Offsets{0, 2, 2, 5}, 5));
  const std::pair<Offsets, const char*> bad[] = {{{}, "group boundaries must start at 0"},
                                                 {{0, 4, 3, 5}, "group boundaries must not decrease (4 followed by 3)"},
                                                 {{0, 3}, "group boundaries end at 3 but there are 5 rows"}};
  for (const auto& [offsets, message] : bad) {
    testing::expect_contract_violation([&] { check_group_boundaries(offsets, 5); }, message);
  }
  // Validation groups of the training set's length are kept beside the training groups.
  const std::vector<std::uint32_t> train_ids{1, 1, 2, 2}, valid_ids{1, 2, 2, 2};
  const auto objective = PairwiseRankingObjective(train_ids).with_validation_group(valid_ids);
  EXPECT_EQ(objective.validation_boundaries(), (Offsets{0, 1, 4}));
}

TEST(ObjectiveRanking, DegenerateInputs) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 1};
  const std::vector<float> labels{1.0f, 0.0f, 2.0f, 1.0f};
  // NaN scores are refused rather than sorted out of bounds, and leave no half-written round.
  testing::expect_rejected_pair(
      [&] { LambdaMARTObjective(ids).compute_gradients(std::vector<float>{NAN, 0.0f, NAN, 1.0f}, labels, {}); },
      "gradient and hessian must be finite");
  std::vector<GradientPair> out{{1.0f, 1.0f}};
  EXPECT_ANY_THROW(LambdaMARTObjective(ids).compute_gradients_into(std::vector<float>{0, NAN, 0, 0}, labels, {}, out));
  EXPECT_TRUE(out.empty());
  // Huge score gaps keep every pair finite.
  const std::vector<float> extreme{1e30f, -1e30f, 0.0f, 1.0f}, infinite{1e30f, -1e30f, 0.0f, INFINITY};
  for (const auto& pairs : {LambdaMARTObjective(ids).compute_gradients(infinite, labels, {}),
                            PairwiseRankingObjective(ids).compute_gradients(extreme, labels, {}),
                            XeNDCGObjective(ids).compute_gradients(extreme, labels, {})}) {
    for (const GradientPair& pair : pairs) EXPECT_TRUE(std::isfinite(pair.grad));
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
