// The ranking helpers and LambdaMART's gradients against the straightforward loops they replace:
// the score order of a stable merge sort, and the pair-by-pair lambda loop that skips pairs of
// equal labels. Results must agree bit for bit, not merely closely: trained models may not move.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/ndcg.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::engine::objectives {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<std::size_t> merge_sorted_order(std::span<const float> scores) {
  std::vector<std::size_t> order(scores.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  support::stable_merge_sort(order, [scores](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
  return order;
}

// The lambdas of one group, one pair at a time, equal labels skipped.
void pairwise_lambdas(std::span<const float> labels, std::span<const float> scores, std::vector<float>& grad,
                      std::vector<float>& hess) {
  const std::size_t n = labels.size();
  grad.assign(n, 0.0f);
  hess.assign(n, 0.0f);
  const float idcg = ideal_dcg(labels, n);
  if (idcg <= 0.0f) return;
  const float inv_idcg = 1.0f / idcg;
  const std::vector<std::size_t> order = merge_sorted_order(scores);
  std::vector<float> discount(n);
  for (std::size_t r = 0; r < n; ++r) discount[order[r]] = position_discount(r);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (labels[i] == labels[j]) continue;
      const std::size_t hi = labels[i] > labels[j] ? i : j;
      const std::size_t lo = hi == i ? j : i;
      const float rho = pair_weight(scores[hi] - scores[lo]);
      const float delta = swap_delta(inv_idcg, relevance_gain(labels[hi]), relevance_gain(labels[lo]), discount[hi],
                                     discount[lo]);
      grad[hi] -= rho * delta;
      grad[lo] += rho * delta;
      hess[hi] += (rho * (1.0f - rho)) * delta;
      hess[lo] += (rho * (1.0f - rho)) * delta;
    }
  }
}

struct GroupCase {
  std::string name;
  std::vector<float> labels;
  std::vector<float> scores;
};

// Random groups of `rows` rows: graded labels and scores drawn from `score_values` distinct
// values (few values give many ties), scaled so that some pairs' weights underflow.
GroupCase random_group(std::string name, std::size_t rows, std::uint32_t seed, int score_values, float scale) {
  std::mt19937 rng(seed);
  GroupCase c{std::move(name), {}, {}};
  for (std::size_t i = 0; i < rows; ++i) {
    c.labels.push_back(static_cast<float>(rng() % 5 == 0 ? rng() % 5 : 0));
    c.scores.push_back(scale * static_cast<float>(static_cast<int>(rng() % score_values) - score_values / 2) / 7.0f);
  }
  return c;
}

std::vector<GroupCase> group_cases() {
  std::vector<GroupCase> cases{
      {"one row", {3.0f}, {0.5f}},
      {"signed zeros tie", {1.0f, 0.0f, 2.0f, 0.0f}, {0.0f, -0.0f, 0.0f, -0.0f}},
      {"infinite scores", {0.0f, 2.0f, 1.0f, 3.0f, 2.0f}, {kInf, -kInf, 1.0f, 2.0f, -kInf}},
      {"all labels equal", {2.0f, 2.0f, 2.0f}, {0.3f, 0.1f, 0.2f}},
      {"fractional and large labels", {0.5f, 40.0f, 1.25f, 0.0f, 33.0f}, {1.0f, 2.0f, 1.0f, 3.0f, -1.0f}},
      {"no positive label", {0.0f, -1.0f, 0.0f}, {1.0f, 2.0f, 3.0f}},
      {"highest graded label", {31.0f, 0.0f, 31.0f, 2.0f, 0.0f, 30.0f}, {0.5f, 0.25f, -1.0f, 2.0f, 0.5f, 0.0f}},
      {"a label that is not whole", {3.0f, 0.0f, 3.0f, 2.5f, 0.0f, 1.0f}, {0.5f, 0.25f, -1.0f, 2.0f, 0.5f, 0.0f}},
  };
  // Every length up to three vectors of eight lanes, so that the last vector of a row's pairs
  // holds each possible number of rows; every fourth with a label that is not whole.
  for (std::size_t rows = 2; rows <= 24; ++rows) {
    GroupCase c = random_group(std::to_string(rows) + " rows, by length", rows, static_cast<std::uint32_t>(100 + rows),
                               9, 1.0f);
    c.labels[rows / 2] = 1.0f;
    if (rows % 4 == 0) c.labels[rows - 1] = 0.5f;
    cases.push_back(c);
  }
  cases.push_back(random_group("31 rows, distinct scores", 31, 1, 1 << 20, 1.0f));
  cases.push_back(random_group("50 rows, many ties", 50, 2, 5, 1.0f));
  cases.push_back(random_group("64 rows, weights underflow", 64, 3, 1000, 400.0f));
  cases.push_back(random_group("128 rows", 128, 4, 300, 1.0f));
  cases.push_back(random_group("129 rows, sorted not counted", 129, 5, 40, 1.0f));
  cases.push_back(random_group("300 rows", 300, 6, 1 << 16, 3.0f));
  // A label that is not whole lists every later row: the first rows have more pairs than one
  // batch of the pairs' exponentials holds.
  GroupCase wide = random_group("2500 rows, a label that is not whole", 2500, 7, 1 << 16, 3.0f);
  wide.labels[7] = 2.5f;
  cases.push_back(wide);
  return cases;
}

TEST(ObjectiveRankingOrder, RanksEqualTheStableMergeSortOrder) {
  std::vector<GroupCase> cases = group_cases();
  cases.push_back({"NaN among scores", {}, {1.0f, kNaN, 2.0f, 1.0f, kNaN, -0.0f, 0.0f}});
  cases.push_back({"all NaN", {}, {kNaN, kNaN, kNaN}});
  cases.push_back({"empty", {}, {}});
  RankingScratch scratch;
  for (const GroupCase& c : cases) {
    const std::vector<std::size_t> order = merge_sorted_order(c.scores);
    // Short groups are counted four or eight rows at a time, by what the processor offers.
    for (const std::size_t lanes : {4, 8}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(lanes) + " lanes");
      detail::rank_by_score_in_lanes(lanes, c.scores, scratch);
      ASSERT_EQ(scratch.order, order);
      for (std::size_t r = 0; r < order.size(); ++r) EXPECT_EQ(scratch.rank[order[r]], r);
    }
  }
}

// The pass is taken four or eight pairs at a time by what the processor offers; both widths must
// give the pair-by-pair loop's sums, so each is run here whichever one the objective would pick.
TEST(ObjectiveRankingOrder, EveryLaneWidthGivesThePairByPairSums) {
  std::vector<std::size_t> widths{4};
  if (detail::lambda_lanes() == 8) widths.push_back(8);
  RankingScratch scratch;
  std::vector<float> grad, hess;
  for (const GroupCase& c : group_cases()) {
    const float idcg = ideal_dcg(c.labels, c.labels.size());
    if (!(idcg > 0.0f)) continue;
    pairwise_lambdas(c.labels, c.scores, grad, hess);
    rank_by_score(c.scores, scratch);
    fill_gains(c.labels, scratch);
    fill_discounts(scratch);
    for (const std::size_t lanes : widths) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(lanes) + " lanes");
      std::vector<GradientPair> sums(c.labels.size(), GradientPair{0.0f, 0.0f});
      detail::accumulate_group_lambdas(lanes, c.labels, c.scores, 1.0f / idcg, scratch, sums);
      for (std::size_t i = 0; i < sums.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sums[i].grad), std::bit_cast<std::uint32_t>(grad[i])) << "row " << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sums[i].hess), std::bit_cast<std::uint32_t>(hess[i])) << "row " << i;
      }
    }
  }
}

TEST(ObjectiveRankingOrder, LambdaMartGradientsEqualThePairByPairLoopBitForBit) {
  // Each case alone, then all of them as consecutive groups of one call (reused buffers).
  std::vector<std::uint32_t> all_ids;
  std::vector<float> all_labels, all_scores, expected_grad, expected_hess;
  std::vector<float> grad, hess;
  std::uint32_t id = 0;
  for (const GroupCase& c : group_cases()) {
    SCOPED_TRACE(c.name);
    pairwise_lambdas(c.labels, c.scores, grad, hess);
    const std::vector<std::uint32_t> ids(c.labels.size(), id);
    const auto pairs = LambdaMARTObjective(ids).compute_gradients(c.scores, c.labels, std::nullopt);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(pairs[i].grad), std::bit_cast<std::uint32_t>(grad[i])) << "row " << i;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(pairs[i].hess), std::bit_cast<std::uint32_t>(floor_hessian(hess[i])))
          << "row " << i;
    }
    all_ids.insert(all_ids.end(), ids.begin(), ids.end());
    all_labels.insert(all_labels.end(), c.labels.begin(), c.labels.end());
    all_scores.insert(all_scores.end(), c.scores.begin(), c.scores.end());
    expected_grad.insert(expected_grad.end(), grad.begin(), grad.end());
    expected_hess.insert(expected_hess.end(), hess.begin(), hess.end());
    ++id;
  }
  const LambdaMARTObjective objective(all_ids);
  const auto pairs = objective.compute_gradients(all_scores, all_labels, std::nullopt);
  ASSERT_EQ(pairs.size(), expected_grad.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(pairs[i].grad), std::bit_cast<std::uint32_t>(expected_grad[i])) << i;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(pairs[i].hess), std::bit_cast<std::uint32_t>(floor_hessian(expected_hess[i])))
        << i;
  }
  // Calls made at the same time on one objective: one of them uses the kept ideal DCGs, the
  // others compute their own, and every call gives the same gradients.
  {
    std::vector<std::vector<GradientPair>> results(4);
    for (int repeat = 0; repeat < 3; ++repeat) {
      std::vector<std::thread> callers;
      for (std::vector<GradientPair>& result : results) {
        callers.emplace_back([&] { result = objective.compute_gradients(all_scores, all_labels, std::nullopt); });
      }
      for (std::thread& caller : callers) caller.join();
      for (const std::vector<GradientPair>& result : results) {
        ASSERT_EQ(result.size(), pairs.size());
        for (std::size_t i = 0; i < pairs.size(); ++i) {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(result[i]), std::bit_cast<std::uint64_t>(pairs[i])) << i;
        }
      }
    }
  }
  // The objective keeps each group's ideal DCG from call to call: other labels in the same rows
  // (every third label raised by one), and then the first ones again, give what an objective
  // seeing them first gives.
  std::vector<float> changed = all_labels;
  for (std::size_t i = 0; i < changed.size(); i += 3) changed[i] += 1.0f;
  for (const std::vector<float>* labels : {&changed, &all_labels}) {
    const auto again = objective.compute_gradients(all_scores, *labels, std::nullopt);
    const auto fresh = LambdaMARTObjective(all_ids).compute_gradients(all_scores, *labels, std::nullopt);
    ASSERT_EQ(again.size(), fresh.size());
    for (std::size_t i = 0; i < again.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(again[i]), std::bit_cast<std::uint64_t>(fresh[i])) << i;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
