// The custom objective's starting score, which the trainer computes on its own and so never asks
// the adapter for from Python: the weighted target mean in float64, 0 without rows or weight.
#include <gtest/gtest.h>

#include <vector>

#include "callbacks.hpp"

namespace kestrune::python {
namespace {

TEST(CustomObjectiveInitialPrediction, IsTheWeightedTargetMean) {
  const CustomPythonObjective objective(Ref::borrowed(Py_None), std::nullopt);
  const std::vector<float> targets = {1.0f, 3.0f, 8.0f};
  const std::vector<float> weights = {3.0f, 1.0f, 0.0f};
  const std::vector<float> no_weight = {-1.0f, 0.5f, 0.0f};
  EXPECT_EQ(objective.initial_prediction(targets, std::nullopt), 4.0f);
  EXPECT_EQ(objective.initial_prediction(targets, std::span<const float>(weights)), 1.5f);
  EXPECT_EQ(objective.initial_prediction(targets, std::span<const float>(no_weight)), 0.0f);
  EXPECT_EQ(objective.initial_prediction({}, std::nullopt), 0.0f);
}

}  // namespace
}  // namespace kestrune::python
