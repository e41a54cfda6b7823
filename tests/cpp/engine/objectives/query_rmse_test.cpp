#include "engine/objectives/query_rmse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/objectives/squared.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using Offsets = std::vector<std::size_t>;

TEST(ObjectiveQueryRmse, GradientsAndInitialPredictionAreSquaredErrors) {
  const std::vector<std::uint32_t> ids{1, 1, 2};
  const QueryRMSEObjective objective(ids);
  const std::vector<float> p{1.0f, 2.0f, -1.0f}, y{0.5f, 3.0f, 1.0f}, w{2.0f, 1.0f, 0.5f};
  const auto expected = SquaredErrorObjective{}.compute_gradients(p, y, Weights{w});
  const auto pairs = objective.compute_gradients(p, y, Weights{w});
  for (std::size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(pairs[i].grad, expected[i].grad);
    EXPECT_EQ(pairs[i].hess, expected[i].hess);
  }
  EXPECT_EQ(objective.initial_prediction(y, Weights{w}), SquaredErrorObjective{}.initial_prediction(y, Weights{w}));
  // Weights and pairs are checked on the per-round path as well.
  const std::vector<float> zero{1.0f, 0.0f, 1.0f};
  std::vector<GradientPair> out;
  expect_contract_violation([&] { objective.compute_gradients_into(p, y, Weights{zero}, out); },
                            "sample weights must be finite and > 0");
  EXPECT_TRUE(out.empty());
}

TEST(ObjectiveQueryRmse, LossIsTheMeanOfPerGroupRmse) {
  const std::vector<std::uint32_t> ids{1, 2, 2, 2};
  const QueryRMSEObjective objective(ids);
  const std::vector<float> p{3.0f, 1.0f, 2.0f, 0.0f}, y{0.0f, 0.0f, 0.0f, 0.0f};
  // Groups of sizes 1 and 3 count equally: (3 + sqrt(5/3)) / 2.
  expect_close(objective.loss(p, y, std::nullopt), (3.0 + std::sqrt(5.0 / 3.0)) / 2.0);
  const std::vector<float> w{4.0f, 1.0f, 1.0f, 1.0f};
  expect_close(objective.loss(p, y, Weights{w}), (6.0 + std::sqrt(5.0 / 3.0)) / 2.0);
  // A length matching no boundary list is one group: the root of the mean squared error.
  const std::vector<float> p3{3.0f, 0.0f, 4.0f}, y3{0.0f, 0.0f, 0.0f};
  expect_close(objective.loss(p3, y3, std::nullopt), std::sqrt(25.0 / 3.0));
}

TEST(ObjectiveQueryRmse, EmptyGroupsAndEmptyInputHaveNoError) {
  const std::vector<std::uint32_t> ids{};
  const QueryRMSEObjective objective(ids);
  EXPECT_EQ(objective.loss({}, {}, std::nullopt), 0.0f);
  const std::vector<float> p{2.0f, 0.0f}, y{0.0f, 0.0f};
  EXPECT_FLOAT_EQ(objective.loss_with_boundaries(p, y, std::nullopt, Offsets{0, 0, 1, 1, 2}), 1.0f);
}

TEST(ObjectiveQueryRmse, ValidationGroupsOfTheSameLengthAreHonoured) {
  const std::vector<std::uint32_t> train{1, 1, 2, 2}, valid{1, 1, 1, 2};
  const QueryRMSEObjective objective = QueryRMSEObjective(train).with_validation_group(valid);
  const std::vector<float> p{1.0f, 1.0f, 1.0f, 0.0f}, y{0.0f, 0.0f, 0.0f, 0.0f};
  expect_close(objective.loss(p, y, std::nullopt), (1.0 + std::sqrt(0.5)) / 2.0);
  expect_close(objective.loss_with_boundaries(p, y, std::nullopt, *objective.validation_boundaries()), 0.5);
}

}  // namespace
}  // namespace kestrune::engine::objectives
