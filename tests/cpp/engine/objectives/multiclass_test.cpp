#include "engine/objectives/multiclass.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "objective_test_util.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;
using testing::expect_contract_violation;
using testing::expect_engine_error;

using Margins = std::vector<std::vector<float>>;

// Float64 negative log-likelihood of class c for one row, as a function of margin k.
double row_nll(const Margins& margins, std::size_t row, std::size_t c, std::size_t k, double value) {
  double max = -INFINITY;
  std::vector<double> z(margins.size());
  for (std::size_t j = 0; j < margins.size(); ++j) {
    z[j] = j == k ? value : margins[j][row];
    max = std::max(max, z[j]);
  }
  double sum = 0.0;
  for (const double v : z) sum += std::exp(v - max);
  return -(z[c] - max - std::log(sum));
}

TEST(ObjectiveMulticlass, GradientsAreTheSoftmaxLikelihoodDerivatives) {
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const Margins margins{{0.5f, -1.0f, 2.0f, 0.0f}, {1.5f, 0.25f, -2.0f, 0.0f}, {-0.5f, 0.75f, 1.0f, 3.0f}};
  const std::vector<float> labels{1.0f, 2.0f, 0.0f, 1.9f};  // 1.9 is class 1
  const std::vector<std::size_t> classes{1, 2, 0, 1};
  const std::vector<float> w{1.0f, 2.0f, 0.5f, 3.0f};
  std::vector<GradientPair> out;
  for (const bool weighted : {false, true}) {
    for (std::size_t k = 0; k < 3; ++k) {
      objective.compute_gradients_for_class(margins, labels, weighted ? Weights{w} : Weights{}, k, out);
      ASSERT_EQ(out.size(), 4u);
      for (std::size_t i = 0; i < 4; ++i) {
        const double wi = weighted ? w[i] : 1.0;
        auto loss = [&](double v) { return wi * row_nll(margins, i, classes[i], k, v); };
        expect_close(out[i].grad, testing::first_derivative(loss, margins[k][i]), 1e-5, 1e-6);
        expect_close(out[i].hess, testing::second_derivative(loss, margins[k][i]), 1e-3, 1e-6);
      }
    }
    double expected = 0.0, weight_sum = 0.0;
    for (std::size_t i = 0; i < 4; ++i) {
      const double wi = weighted ? w[i] : 1.0;
      expected += wi * row_nll(margins, i, classes[i], 0, margins[0][i]);
      weight_sum += wi;
    }
    expect_close(objective.loss(margins, labels, weighted ? Weights{w} : Weights{}), expected / weight_sum);
  }
}

TEST(ObjectiveMulticlass, WeightsScaleTheLossAndTheFloorFollowsTheWeight) {
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const Margins zeros{{0.0f}, {0.0f}, {0.0f}};
  std::vector<GradientPair> out;
  // ln K whatever the weights; weights summing to 0 give 0.
  const std::vector<float> w{0.25f};
  EXPECT_FLOAT_EQ(objective.loss(zeros, std::vector<float>{1.0f}, Weights{w}), std::log(3.0f));
  const std::vector<float> zero_weight{0.0f};
  EXPECT_EQ(objective.loss(zeros, std::vector<float>{1.0f}, Weights{zero_weight}), 0.0f);
  // The floor comes after the weight.
  const std::vector<float> tiny{1e-9f};
  objective.compute_gradients_for_class(zeros, std::vector<float>{0.0f}, Weights{tiny}, 0, out);
  EXPECT_EQ(out[0].hess, 1e-7f);
}

TEST(ObjectiveMulticlass, ExtremeMarginsDoNotOverflow) {
  const auto objective = MultiClassSoftmaxObjective::make(2);
  const Margins margins{{1000.0f}, {0.0f}};
  std::vector<GradientPair> out;
  objective.compute_gradients_for_class(margins, std::vector<float>{0.0f}, std::nullopt, 0, out);
  EXPECT_EQ(out[0].grad, 0.0f);
  EXPECT_EQ(out[0].hess, 1e-7f);
  EXPECT_EQ(objective.loss(margins, std::vector<float>{0.0f}, std::nullopt), 0.0f);
  EXPECT_FLOAT_EQ(objective.loss(margins, std::vector<float>{1.0f}, std::nullopt), 1000.0f);
}

TEST(ObjectiveMulticlass, LabelsTruncateTowardZero) {
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const Margins margins{{0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f}};
  std::vector<GradientPair> out;
  // 1.7 is class 1; -1 and NaN are class 0.
  objective.compute_gradients_for_class(margins, std::vector<float>{1.7f, -1.0f, NAN}, std::nullopt, 0, out);
  EXPECT_GT(out[0].grad, 0.0f);
  EXPECT_LT(out[1].grad, 0.0f);
  EXPECT_LT(out[2].grad, 0.0f);
}

TEST(ObjectiveMulticlass, ShapeAndClassChecks) {
  expect_engine_error([] { MultiClassSoftmaxObjective::make(1); }, EngineErrorKind::InvalidConfig,
                      "multiclass_softmax requires at least 2 classes, got 1");
  const auto objective = MultiClassSoftmaxObjective::make(3);
  const std::vector<float> labels{0.0f, 1.0f};
  const Margins two{{0.0f, 0.0f}, {0.0f, 0.0f}};
  std::vector<GradientPair> out{{1.0f, 1.0f}};
  expect_contract_violation([&] { objective.compute_gradients_for_class(two, labels, std::nullopt, 0, out); },
                            "expected 3 class prediction arrays, got 2");
  EXPECT_EQ(out.size(), 1u);  // untouched by a failed check
  const Margins three{{0.0f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.0f}};
  expect_contract_violation(
      [&] { objective.compute_gradients_for_class(three, std::vector<float>{0.0f}, std::nullopt, 0, out); },
      "targets length 1 does not match predictions length 2");
  const std::vector<float> w{1.0f};
  expect_contract_violation([&] { objective.loss(three, labels, Weights{w}); },
                            "sample_weights length 1 does not match predictions length 2");
  const Margins ragged{{0.0f, 0.0f}, {0.0f}, {0.0f, 0.0f}};
  expect_contract_violation([&] { objective.loss(ragged, labels, std::nullopt); },
                            "class 1 predictions length 1 does not match predictions length 2");
  // A label naming a class the model does not have.
  expect_contract_violation([&] { objective.loss(three, std::vector<float>{0.0f, 3.0f}, std::nullopt); },
                            "target class 3 is out of range for 3 classes");
  expect_contract_violation(
      [&] { objective.compute_gradients_for_class(three, std::vector<float>{1e30f, 0.0f}, std::nullopt, 0, out); },
      "target class 18446744073709551615 is out of range for 3 classes");
  EXPECT_TRUE(out.empty());
  EXPECT_THROW(objective.compute_gradients_for_class(three, labels, std::nullopt, 3, out), support::Panic);
  const Margins empty{{}, {}, {}};
  EXPECT_EQ(objective.loss(empty, {}, std::nullopt), 0.0f);
}

}  // namespace
}  // namespace kestrune::engine::objectives
