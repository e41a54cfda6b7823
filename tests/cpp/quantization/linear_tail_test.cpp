#include "quantization/linear_tail.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../engine/engine_test_support.hpp"

namespace kestrune::quantization {
namespace {

std::vector<float> counting(int n) {
  std::vector<float> values;
  for (int i = 0; i < n; ++i) values.push_back(static_cast<float>(i));
  return values;
}

using engine::testing_support::ScopedEnv;

std::optional<std::string> env_value(const char* value) {
  return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(QuantizationLinearTail, FlagsFeaturesWhoseCoreIsSqueezed) {
  std::vector<float> tail = counting(19);
  tail.push_back(1000.0f);  // core s[17] - s[2] = 15 of span 1000
  EXPECT_TRUE(linear_tail_flagged(tail, 0.1f));
  EXPECT_FALSE(linear_tail_flagged(tail, 0.01f));
  EXPECT_TRUE(linear_tail_flagged(counting(20), 1.0f));  // ratio 15 / 19
  // Fewer than 5 values, or a constant feature, are never flagged.
  EXPECT_FALSE(linear_tail_flagged(std::vector<float>{0, 0, 0, 1000}, 1.0f));
  EXPECT_FALSE(linear_tail_flagged(std::vector<float>{5, 5, 5, 5, 5, 5}, 1.0f));
  // A zero core: flagged even at threshold 0.
  EXPECT_TRUE(linear_tail_flagged(std::vector<float>{0, 1, 1, 1, 1, 1, 9}, 0.0f));
  const std::vector<std::vector<float>> features = {tail, counting(20), {}};
  EXPECT_EQ(derive_linear_tail_rank_plan(features, 0.1f), (std::vector<bool>{true, false, false}));
}

TEST(QuantizationLinearTail, ThresholdFromEnvironment) {
  struct Case {
    const char* value;
    float expected;
  };
  for (const Case c : {Case{nullptr, 0.1f}, Case{"abc", 0.1f}, Case{"inf", 0.1f}, Case{"NaN", 0.1f}, Case{"-3", 0.0f},
                       Case{"7", 1.0f}, Case{" 0.25\t", 0.25f}, Case{"\xff", 0.1f}}) {
    ScopedEnv env(kLinearTailCoreSpanRatioVariable, env_value(c.value));
    EXPECT_EQ(linear_tail_core_span_ratio_threshold_from_env(), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(QuantizationLinearTail, SwitchFromEnvironment) {
  struct Case {
    const char* value;
    bool expected;
  };
  for (const Case c : {Case{nullptr, false}, Case{" Yes ", true}, Case{"1", true}, Case{"ON", true},
                       Case{"true", true}, Case{"y", false}, Case{"0", false}}) {
    ScopedEnv env(kLinearTailRankVariable, env_value(c.value));
    EXPECT_EQ(linear_tail_rank_enabled_from_env(), c.expected) << (c.value ? c.value : "(unset)");
  }
}

}  // namespace
}  // namespace kestrune::quantization
