#include "engine/objectives/pairwise.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using Offsets = std::vector<std::size_t>;

// Float64 sum over the within-group pairs with different labels of ln(1 + exp(-(s_hi - s_lo))).
double pairwise_loss_sum(const Offsets& bounds, const std::vector<double>& s, const std::vector<float>& labels) {
  double sum = 0.0;
  for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
    for (std::size_t i = bounds[g]; i < bounds[g + 1]; ++i) {
      for (std::size_t j = i + 1; j < bounds[g + 1]; ++j) {
        if (labels[i] == labels[j]) continue;
        const double lead = labels[i] > labels[j] ? s[i] - s[j] : s[j] - s[i];
        sum += std::log1p(std::exp(-lead));
      }
    }
  }
  return sum;
}

TEST(ObjectivePairwise, GradientsAndHessiansAreTheLogisticPairLossDerivatives) {
  const std::vector<std::uint32_t> ids{4, 4, 4, 4, 8, 8, 8, 6};
  const std::vector<float> scores{0.5f, -1.0f, 2.0f, 0.25f, 0.0f, 3.0f, -2.0f, 1.0f};
  const std::vector<float> labels{2.0f, 0.0f, 1.0f, 2.0f, 1.0f, 0.0f, 3.0f, 1.0f};
  const PairwiseRankingObjective objective(ids);
  const Offsets bounds = objective.train_boundaries();
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  const auto [grad, hess] = pairwise_gradients(bounds, scores, labels);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    auto loss = [&](double x) {
      std::vector<double> s(scores.begin(), scores.end());
      s[i] = x;
      return pairwise_loss_sum(bounds, s, labels);
    };
    expect_close(grad[i], testing::first_derivative(loss, scores[i]), 1e-5, 1e-6);
    expect_close(hess[i], testing::second_derivative(loss, scores[i]), 1e-3, 1e-5);
    EXPECT_EQ(pairs[i].grad, grad[i]);
    EXPECT_EQ(pairs[i].hess, std::fmax(hess[i], 1e-7f));
  }
  // The last row is a group of its own: no pair, no gradient, the floor.
  EXPECT_EQ(pairs[7].grad, 0.0f);
  EXPECT_EQ(pairs[7].hess, 1e-7f);
  std::vector<double> s(scores.begin(), scores.end());
  expect_close(objective.loss(scores, labels, std::nullopt), pairwise_loss_sum(bounds, s, labels) / 8.0);  // 5 + 3 pairs
}

TEST(ObjectivePairwise, TwoRowHandExample) {
  const std::vector<std::uint32_t> ids{1, 1};
  const PairwiseRankingObjective objective(ids);
  const std::vector<float> scores{0.0f, 0.0f}, labels{1.0f, 0.0f};
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  EXPECT_EQ(pairs[0].grad, -0.5f);
  EXPECT_EQ(pairs[1].hess, 0.25f);
  EXPECT_FLOAT_EQ(objective.loss(scores, labels, std::nullopt), std::log(2.0f));
  EXPECT_EQ(objective.initial_prediction(labels, std::nullopt), 0.0f);
}

TEST(ObjectivePairwise, DegenerateGroupsContributeNothing) {
  const std::vector<std::uint32_t> singles{1, 2, 3};
  const PairwiseRankingObjective objective(singles);
  const std::vector<float> scores{1.0f, 2.0f, 3.0f}, labels{2.0f, 0.0f, 1.0f};
  EXPECT_EQ(objective.loss(scores, labels, std::nullopt), 0.0f);
  std::vector<GradientPair> out;
  objective.compute_gradients_into(scores, labels, std::nullopt, out);
  for (const GradientPair& pair : out) {
    EXPECT_EQ(pair.grad, 0.0f);
    EXPECT_EQ(pair.hess, 1e-7f);
  }
  const std::vector<std::uint32_t> one_group{1, 1, 1};
  const std::vector<float> equal_labels{2.0f, 2.0f, 2.0f};
  EXPECT_EQ(PairwiseRankingObjective(one_group).loss(scores, equal_labels, std::nullopt), 0.0f);
  // Huge score gaps: the pair weight and the loss stay finite.
  const std::vector<float> extreme{1e30f, -1e30f, 0.0f};
  const auto pairs = PairwiseRankingObjective(one_group).compute_gradients(extreme, labels, std::nullopt);
  for (const GradientPair& pair : pairs) EXPECT_TRUE(std::isfinite(pair.grad));
  EXPECT_TRUE(std::isfinite(PairwiseRankingObjective(one_group).loss(extreme, labels, std::nullopt)));
}

TEST(ObjectivePairwise, ValidationLossUsesTheGroupsItIsGiven) {
  // Train and validation sets of the same length: by length alone the validation scores would be
  // cut into the training groups.
  const std::vector<std::uint32_t> train{1, 1, 2, 2}, valid{1, 2, 2, 2};
  const PairwiseRankingObjective objective = PairwiseRankingObjective(train).with_validation_group(valid);
  const std::vector<float> scores{0.0f, 1.0f, 0.0f, 0.0f}, labels{1.0f, 0.0f, 0.0f, 0.0f};
  EXPECT_GT(objective.loss(scores, labels, std::nullopt), 0.0f);  // resolved to the train groups
  EXPECT_EQ(objective.loss_with_boundaries(scores, labels, std::nullopt, *objective.validation_boundaries()), 0.0f);
  expect_contract_violation(
      [&] { objective.loss_with_boundaries(scores, labels, std::nullopt, Offsets{0, 3}); },
      "group boundaries end at 3 but there are 4 rows");
}

TEST(ObjectivePairwise, GradientsRequireTrainGroupsThatCoverThePredictions) {
  const std::vector<std::uint32_t> ids{1, 1, 2};
  const PairwiseRankingObjective objective(ids);
  const std::vector<float> four{0.0f, 1.0f, 2.0f, 3.0f};
  std::vector<GradientPair> out{{1.0f, 1.0f}};
  expect_contract_violation([&] { objective.compute_gradients_into(four, four, std::nullopt, out); },
                            "group boundaries end at 3 but there are 4 rows");
  EXPECT_EQ(out.size(), 1u);
  expect_contract_violation([&] { pairwise_gradients(objective.train_boundaries(), four, four); },
                            "group boundaries end at 3 but there are 4 rows");
}

}  // namespace
}  // namespace kestrune::engine::objectives
