#include "engine/objectives/xendcg.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_rejected_pair;

// Float64 cross-entropy of one group: -sum softmax(labels)_i * log softmax(scores)_i.
double group_cross_entropy(const std::vector<double>& scores, const std::vector<float>& labels) {
  double label_norm = 0.0, score_norm = 0.0;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    label_norm += std::exp(static_cast<double>(labels[i]));
    score_norm += std::exp(scores[i]);
  }
  double loss = 0.0;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    loss -= std::exp(static_cast<double>(labels[i])) / label_norm * (scores[i] - std::log(score_norm));
  }
  return loss;
}

TEST(ObjectiveXeNdcg, GradientsAndHessiansAreTheCrossEntropyDerivatives) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 1};
  const std::vector<float> scores{0.5f, -1.0f, 2.0f, 0.0f};
  const std::vector<float> labels{2.0f, 0.0f, 1.0f, 3.0f};
  const XeNDCGObjective objective(ids);
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    auto loss = [&](double x) {
      std::vector<double> s(scores.begin(), scores.end());
      s[i] = x;
      return group_cross_entropy(s, labels);
    };
    expect_close(pairs[i].grad, testing::first_derivative(loss, scores[i]), 1e-4, 1e-6);
    expect_close(pairs[i].hess, testing::second_derivative(loss, scores[i]), 1e-3, 1e-5);
  }
  const std::vector<double> s(scores.begin(), scores.end());
  expect_close(objective.loss(scores, labels, std::nullopt), group_cross_entropy(s, labels));
}

TEST(ObjectiveXeNdcg, HandExamples) {
  const std::vector<std::uint32_t> ids{1, 1};
  const XeNDCGObjective objective(ids);
  const std::vector<float> zeros{0.0f, 0.0f};
  const auto graded = objective.compute_gradients(zeros, std::vector<float>{1.0f, 0.0f}, std::nullopt);
  EXPECT_NEAR(graded[0].grad, -0.2311f, 1e-4f);
  EXPECT_EQ(graded[1].hess, 0.25f);
  EXPECT_EQ(objective.initial_prediction(zeros, std::nullopt), 0.0f);
}

TEST(ObjectiveXeNdcg, SmallGroupsAreSkippedButCountInTheLoss) {
  const std::vector<std::uint32_t> ids{1, 2, 2};
  const XeNDCGObjective objective(ids);
  const std::vector<float> scores{5.0f, 0.0f, 0.0f}, labels{3.0f, 1.0f, 0.0f};
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  EXPECT_EQ(pairs[0].grad, 0.0f);
  EXPECT_EQ(pairs[0].hess, 1e-7f);
  EXPECT_FLOAT_EQ(objective.loss(scores, labels, std::nullopt), std::log(2.0f) / 2.0f);
}

TEST(ObjectiveXeNdcg, LogSumExpIsStableAndIgnoresNaN) {
  EXPECT_FLOAT_EQ(log_sum_exp(std::vector<float>{1000.0f, 1000.0f}), 1000.0f + std::log(2.0f));
  EXPECT_EQ(log_sum_exp(std::vector<float>{INFINITY, 0.0f}), 0.0f);
  EXPECT_EQ(log_sum_exp(std::vector<float>{NAN, NAN}), 0.0f);
  EXPECT_EQ(log_sum_exp({}), 0.0f);
  // Extreme scores keep the gradients finite.
  const std::vector<std::uint32_t> ids{1, 1, 1};
  const auto pairs = XeNDCGObjective(ids).compute_gradients(std::vector<float>{1e30f, -1e30f, 0.0f},
                                                            std::vector<float>{0.0f, 1.0f, 2.0f}, std::nullopt);
  EXPECT_FLOAT_EQ(pairs[0].grad, 1.0f - std::exp(0.0f - log_sum_exp(std::vector<float>{0.0f, 1.0f, 2.0f})));
  EXPECT_EQ(pairs[0].hess, 1e-7f);
}

TEST(ObjectiveXeNdcg, InfiniteLabelIsARejectedPair) {
  const std::vector<std::uint32_t> ids{1, 1};
  expect_rejected_pair([&] {
    XeNDCGObjective(ids).compute_gradients(std::vector<float>{0.0f, 0.0f}, std::vector<float>{INFINITY, 0.0f},
                                           std::nullopt);
  },
                       "gradient and hessian must be finite");
}

}  // namespace
}  // namespace kestrune::engine::objectives
