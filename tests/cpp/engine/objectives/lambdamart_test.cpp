#include "engine/objectives/lambdamart.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "objective_test_util.hpp"
#include "ranking_reference.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_rejected_pair;

TEST(ObjectiveLambdaMart, GradientsMatchAFloat64ReferenceOnHandMadeGroups) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 2, 2, 2, 2, 3};
  const std::vector<float> scores{0.1f, 0.3f, 0.2f, -1.0f, 0.5f, 0.5f, 2.0f, 7.0f};
  const std::vector<float> labels{2.0f, 0.0f, 1.0f, 0.0f, 3.0f, 1.0f, 0.0f, 4.0f};
  const LambdaMARTObjective objective(ids);
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  testing::ReferenceTerms ref{std::vector<double>(8, 0.0), std::vector<double>(8, 0.0)};
  const auto& b = objective.train_boundaries();
  for (std::size_t g = 0; g + 1 < b.size(); ++g) {
    const std::span<const float> l = std::span<const float>(labels).subspan(b[g], b[g + 1] - b[g]);
    const std::span<const float> s = std::span<const float>(scores).subspan(b[g], b[g + 1] - b[g]);
    testing::ReferenceTerms group{std::vector<double>(l.size(), 0.0), std::vector<double>(l.size(), 0.0)};
    testing::add_lambda_terms(l, s, s, 1.0, group);
    for (std::size_t i = 0; i < l.size(); ++i) {
      ref.grad[b[g] + i] = group.grad[i];
      ref.hess[b[g] + i] = group.hess[i];
    }
  }
  for (std::size_t i = 0; i < scores.size(); ++i) {
    expect_close(pairs[i].grad, ref.grad[i], 1e-5, 1e-7);
    expect_close(pairs[i].hess, std::max(ref.hess[i], 1e-7), 1e-5, 1e-9);
  }
  // The single-row group gets no update.
  EXPECT_EQ(pairs[7].grad, 0.0f);
  EXPECT_EQ(pairs[7].hess, 1e-7f);
  // Lambdas move mass within a group: each group's gradients sum to zero.
  EXPECT_NEAR(pairs[0].grad + pairs[1].grad + pairs[2].grad, 0.0f, 1e-6f);
}

TEST(ObjectiveLambdaMart, GroupsWithoutPositiveIdealDcgAreSkipped) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 2, 2};
  const std::vector<float> scores{0.0f, 1.0f, 2.0f, 3.0f, -3.0f};
  for (const std::vector<float>& labels :
       {std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f, 0.0f}, std::vector<float>{0.0f, 0.0f, 0.0f, -1.0f, -2.0f}}) {
    const auto pairs = LambdaMARTObjective(ids).compute_gradients(scores, labels, std::nullopt);
    for (const GradientPair& pair : pairs) {
      EXPECT_EQ(pair.grad, 0.0f);
      EXPECT_EQ(pair.hess, 1e-7f);
    }
  }
  // All labels equal but positive: IDCG > 0, yet no pair differs.
  const auto equal = LambdaMARTObjective(ids).compute_gradients(scores, std::vector<float>(5, 2.0f), std::nullopt);
  for (const GradientPair& pair : equal) EXPECT_EQ(pair.grad, 0.0f);
}

TEST(ObjectiveLambdaMart, LossIsOneMinusMeanNdcgOverEveryGroup) {
  const std::vector<std::uint32_t> ids{1, 1, 2, 3, 3};
  const LambdaMARTObjective objective(ids);
  const std::vector<float> scores{1.0f, 0.0f, 5.0f, 0.0f, 0.0f};
  const std::vector<float> labels{0.0f, 1.0f, 0.0f, 0.0f, 0.0f};
  // NDCGs: 1/log2(3), 1 (single row), 1 (no positive label).
  expect_close(objective.loss(scores, labels, std::nullopt), 1.0 - (1.0 / std::log2(3.0) + 2.0) / 3.0);
  const std::vector<float> perfect{0.0f, 1.0f, 5.0f, 0.0f, 0.0f};
  EXPECT_EQ(objective.loss(perfect, labels, std::nullopt), 0.0f);
  EXPECT_EQ(objective.initial_prediction(labels, std::nullopt), 0.0f);
}

TEST(ObjectiveLambdaMart, NonFiniteScoresAreRejectedNotSortedOutOfBounds) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 1};
  const std::vector<float> labels{1.0f, 0.0f, 2.0f, 1.0f};
  expect_rejected_pair(
      [&] { LambdaMARTObjective(ids).compute_gradients(std::vector<float>{NAN, 0.0f, NAN, 1.0f}, labels, std::nullopt); },
      "gradient and hessian must be finite");
  std::vector<GradientPair> out{{1.0f, 1.0f}};
  EXPECT_ANY_THROW(
      LambdaMARTObjective(ids).compute_gradients_into(std::vector<float>{0.0f, NAN, 0.0f, 0.0f}, labels, std::nullopt, out));
  EXPECT_TRUE(out.empty());  // never a half-written round
  // Infinite scores are well defined: the pair weight saturates.
  const auto pairs =
      LambdaMARTObjective(ids).compute_gradients(std::vector<float>{INFINITY, -INFINITY, 0.0f, 1.0f}, labels, std::nullopt);
  for (const GradientPair& pair : pairs) EXPECT_TRUE(std::isfinite(pair.grad));
}

}  // namespace
}  // namespace kestrune::engine::objectives
