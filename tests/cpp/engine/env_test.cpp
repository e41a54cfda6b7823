#include "engine/env.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "engine_test_support.hpp"

namespace kestrune::engine {
namespace {

using testing_support::ScopedEnv;

constexpr const char* kVariable = "KESTRUNE_EXPERIMENT_TEST_VALUE";

std::optional<std::string> value_of(const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; }

TEST(EnvToggle, ReadsTrimmedLowercasedWords) {
  const std::pair<const char*, bool> toggles[] = {
      {" TRUE ", true}, {"Yes", true}, {"ON\t", true}, {"1", true},
      {"\xE3\x80\x80on\xC2\xA0", true},  // ideographic space and no-break space are white space
      {"0", false}, {"off", false}, {"", false}, {"1.0", false}, {"t", false}, {"\xFFon", false}, {nullptr, false},
  };
  for (const auto& [text, enabled] : toggles) {
    ScopedEnv env(kVariable, value_of(text));
    EXPECT_EQ(env_toggle_enabled(kVariable), enabled) << (text ? text : "unset");
  }
}

std::string parse_outcome(const char* value) {
  ScopedEnv env(kVariable, value_of(value));
  try {
    const float parsed = parse_nonnegative_env_f32(kVariable);
    std::string text = std::signbit(parsed) ? "-" : "";
    text += std::to_string(std::fabs(parsed));  // appended: GCC 12 warns falsely on a prepended literal
    return text;
  } catch (const EngineError& error) {
    EXPECT_EQ(error.kind(), EngineErrorKind::InvalidConfig);
    return error.message();
  }
}

TEST(EnvFloat, ParsesNonNegativeFloats) {
  const std::string invalid = std::string(kVariable) + " must be a finite, non-negative f32 value";
  const std::string out_of_range = std::string(kVariable) + " must be finite and >= 0";
  EXPECT_EQ(parse_outcome(nullptr), "0.000000");
  EXPECT_EQ(parse_outcome("   "), "0.000000");
  EXPECT_EQ(parse_outcome(" 0.25\n"), "0.250000");
  EXPECT_EQ(parse_outcome("1e1"), "10.000000");
  EXPECT_EQ(parse_outcome("-0.0"), "-0.000000");
  EXPECT_EQ(parse_outcome("-1e-30"), out_of_range);
  EXPECT_EQ(parse_outcome("nan"), out_of_range);
  EXPECT_EQ(parse_outcome("Infinity"), out_of_range);
  EXPECT_EQ(parse_outcome("1,5"), invalid);
}

TEST(EnvFloat, SplitOptionsStopAtTheFirstInvalidVariable) {
  ScopedEnv l2(kSplitL2Variable, "bad");
  ScopedEnv l1(kSplitL1Variable, "-1");
  EXPECT_TRUE(testing_support::throws_engine_error([] { split_selection_options_from_env(); },
                                                   EngineErrorKind::InvalidConfig,
                                                   "KESTRUNE_EXPERIMENT_SPLIT_L2 must be a finite, non-negative f32 value"));
}

}  // namespace
}  // namespace kestrune::engine
