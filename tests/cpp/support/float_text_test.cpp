#include "support/float_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace kestrune::support {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <typename T>
struct TextCase {
  T value;
  std::string expected;
};

using F32Case = TextCase<float>;
using F64Case = TextCase<double>;

class SupportFormatF32 : public ::testing::TestWithParam<F32Case> {};
TEST_P(SupportFormatF32, ShortestDigitsWithoutExponent) {
  EXPECT_EQ(format_f32(GetParam().value), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportFormatF32,
    ::testing::Values(F32Case{0.5f, "0.5"}, F32Case{2.0f, "2"}, F32Case{-0.0f, "-0"}, F32Case{-1.5f, "-1.5"},
                      F32Case{0.3f, "0.3"}, F32Case{1.0f / 3.0f, "0.33333334"}, F32Case{1e-7f, "0.0000001"},
                      F32Case{16777216.0f, "16777216"},
                      // Large magnitudes print the shortest digits padded with zeros, not the
                      // exact binary value (1e20f is 100000002004087734272 exactly).
                      F32Case{1e20f, "100000000000000000000"}, F32Case{123456789.0f, "123456790"},
                      F32Case{std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
                      F32Case{std::numeric_limits<float>::denorm_min(),
                              "0.000000000000000000000000000000000000000000001"},
                      F32Case{-kNanF, "NaN"}, F32Case{kInfF, "inf"}, F32Case{-kInfF, "-inf"}));

class SupportDebugF32 : public ::testing::TestWithParam<F32Case> {};
TEST_P(SupportDebugF32, WholeNumbersKeepAFractionAndExtremesUseExponents) {
  EXPECT_EQ(debug_f32(GetParam().value), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportDebugF32,
    ::testing::Values(F32Case{1.0f, "1.0"}, F32Case{0.1f, "0.1"}, F32Case{-0.0f, "-0.0"},
                      F32Case{0.0001f, "0.0001"}, F32Case{-1e-5f, "-1e-5"}, F32Case{2.5e-5f, "2.5e-5"},
                      F32Case{1.5e16f, "1.5e16"}, F32Case{1e15f, "1000000000000000.0"},
                      F32Case{123456789.0f, "123456790.0"}, F32Case{std::numeric_limits<float>::max(), "3.4028235e38"},
                      F32Case{std::numeric_limits<float>::denorm_min(), "1e-45"}, F32Case{kNanF, "NaN"},
                      F32Case{-kInfF, "-inf"}));

class SupportFormatF64 : public ::testing::TestWithParam<F64Case> {};
TEST_P(SupportFormatF64, ShortestDigitsWithoutExponent) {
  EXPECT_EQ(format_f64(GetParam().value), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportFormatF64,
    ::testing::Values(F64Case{0.1, "0.1"}, F64Case{0.1 + 0.2, "0.30000000000000004"}, F64Case{-0.0, "-0"},
                      F64Case{1e23, "100000000000000000000000"}, F64Case{1e-7, "0.0000001"},
                      F64Case{static_cast<double>(1e-7f), "0.00000010000000116860974"},
                      F64Case{std::numeric_limits<double>::denorm_min(), "0." + std::string(323, '0') + "5"},
                      F64Case{std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
                      F64Case{kNan, "NaN"}, F64Case{-kInf, "-inf"}));

class SupportDebugF64 : public ::testing::TestWithParam<F64Case> {};
TEST_P(SupportDebugF64, WholeNumbersKeepAFractionAndExtremesUseExponents) {
  EXPECT_EQ(debug_f64(GetParam().value), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportDebugF64,
    ::testing::Values(F64Case{1.0, "1.0"}, F64Case{1e15, "1000000000000000.0"}, F64Case{1e16, "1e16"},
                      F64Case{1e-4, "0.0001"}, F64Case{1e-5, "1e-5"},
                      F64Case{std::numeric_limits<double>::denorm_min(), "5e-324"},
                      F64Case{std::numeric_limits<double>::max(), "1.7976931348623157e308"},
                      F64Case{-0.0, "-0.0"}, F64Case{kInf, "inf"}));

// Each value in both renderings, so that every value sits on each side of the rules that differ:
// the plain text never has an exponent; the debug text keeps a fraction on whole numbers and uses
// an exponent below 1e-4 and from 1e16 on.
TEST(SupportFloatText, EveryValueInBothRenderings) {
  struct Both {
    std::string plain, debug;
  };
  using F = std::numeric_limits<float>;
  const std::pair<float, Both> f32[] = {
      {0.5f, {"0.5", "0.5"}}, {-0.0f, {"-0", "-0.0"}}, {1.0f / 3.0f, {"0.33333334", "0.33333334"}},
      {1e-7f, {"0.0000001", "1e-7"}}, {0.0001f, {"0.0001", "0.0001"}},
      {1e15f, {"1000000000000000", "1000000000000000.0"}}, {1e20f, {"100000000000000000000", "1e20"}},
      {123456789.0f, {"123456790", "123456790.0"}},
      {F::max(), {"340282350000000000000000000000000000000", "3.4028235e38"}},
      {F::denorm_min(), {"0.000000000000000000000000000000000000000000001", "1e-45"}},
      {-F::quiet_NaN(), {"NaN", "NaN"}}, {-F::infinity(), {"-inf", "-inf"}}};
  for (const auto& [value, text] : f32) {
    EXPECT_EQ(format_f32(value), text.plain) << text.debug;
    EXPECT_EQ(debug_f32(value), text.debug) << text.plain;
  }
  using D = std::numeric_limits<double>;
  const std::pair<double, Both> f64[] = {
      {0.1 + 0.2, {"0.30000000000000004", "0.30000000000000004"}}, {-0.0, {"-0", "-0.0"}}, {1.0, {"1", "1.0"}},
      {1e-4, {"0.0001", "0.0001"}}, {1e-5, {"0.00001", "1e-5"}}, {1e15, {"1000000000000000", "1000000000000000.0"}},
      {1e16, {"10000000000000000", "1e16"}}, {1e23, {"100000000000000000000000", "1e23"}},
      {static_cast<double>(1e-7f), {"0.00000010000000116860974", "1.0000000116860974e-7"}},
      {D::denorm_min(), {"0." + std::string(323, '0') + "5", "5e-324"}},
      {D::max(), {"17976931348623157" + std::string(292, '0'), "1.7976931348623157e308"}},
      {D::quiet_NaN(), {"NaN", "NaN"}}, {D::infinity(), {"inf", "inf"}}};
  for (const auto& [value, text] : f64) {
    EXPECT_EQ(format_f64(value), text.plain) << text.debug;
    EXPECT_EQ(debug_f64(value), text.debug) << text.plain;
  }
}

}  // namespace
}  // namespace kestrune::support
