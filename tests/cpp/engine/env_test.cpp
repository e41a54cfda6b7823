#include "engine/env.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "engine/error.hpp"

namespace kestrune::engine {
namespace {

constexpr const char* kVariable = "KESTRUNE_EXPERIMENT_TEST_VALUE";

// Sets (or with nullptr unsets) an environment variable for the duration of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

class EnvToggle : public testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(EnvToggle, ReadsTrimmedLowercasedWords) {
  ScopedEnv env(kVariable, GetParam().first);
  EXPECT_EQ(env_toggle_enabled(kVariable), GetParam().second) << (GetParam().first ? GetParam().first : "unset");
}

using Toggle = std::pair<const char*, bool>;
const Toggle kToggles[] = {
    {" TRUE ", true}, {"Yes", true}, {"ON\t", true}, {"1", true},
    {"\xE3\x80\x80on\xC2\xA0", true},  // ideographic space and no-break space are white space
    {"0", false}, {"no", false}, {"off", false}, {"false", false}, {"", false}, {"1.0", false},
    {"t", false}, {"2", false}, {"enabled", false}, {"\xFFon", false}, {nullptr, false},
};
INSTANTIATE_TEST_SUITE_P(Values, EnvToggle, testing::ValuesIn(kToggles));

std::string parse_outcome(const char* value) {
  ScopedEnv env(kVariable, value);
  try {
    const float parsed = parse_nonnegative_env_f32(kVariable);
    return (std::signbit(parsed) ? "-" : "") + std::to_string(std::fabs(parsed));
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
  EXPECT_EQ(parse_outcome("-0"), "-0.000000");
  EXPECT_EQ(parse_outcome("-0.0"), "-0.000000");
  EXPECT_EQ(parse_outcome("-1e-30"), out_of_range);
  EXPECT_EQ(parse_outcome("nan"), out_of_range);
  EXPECT_EQ(parse_outcome("inf"), out_of_range);
  EXPECT_EQ(parse_outcome("Infinity"), out_of_range);
  EXPECT_EQ(parse_outcome("abc"), invalid);
  EXPECT_EQ(parse_outcome("1,5"), invalid);
}

TEST(EnvFloat, SplitOptionsStopAtTheFirstInvalidVariable) {
  ScopedEnv l2(kSplitL2Variable, "bad");
  ScopedEnv l1(kSplitL1Variable, "-1");
  try {
    split_selection_options_from_env();
    FAIL() << "expected an error";
  } catch (const EngineError& error) {
    EXPECT_STREQ(error.what(), "invalid config: KESTRUNE_EXPERIMENT_SPLIT_L2 must be a finite, non-negative f32 value");
  }
}

TEST(EnvFloat, SplitOptionsDefaultsAndOverrides) {
  ScopedEnv l2(kSplitL2Variable, nullptr);
  ScopedEnv l1(kSplitL1Variable, "0.5");
  ScopedEnv hess(kMinChildHessVariable, " ");
  ScopedEnv magnitude(kSplitMinLeafMagnitudeVariable, "2");
  const SplitSelectionOptions options = split_selection_options_from_env();
  EXPECT_FALSE(options.gradient_noise_strength.has_value());
  EXPECT_EQ(options.missing_bin, 255u);
  EXPECT_EQ(options.split_l2, 0.0f);
  EXPECT_EQ(options.split_l1, 0.5f);
  EXPECT_EQ(options.min_child_hess, 0.0f);
  EXPECT_EQ(options.min_leaf_magnitude, 2.0f);
}

}  // namespace
}  // namespace kestrune::engine
