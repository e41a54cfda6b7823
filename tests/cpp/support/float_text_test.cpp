#include "support/float_text.hpp"
#include "support/float_parse.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace kestrune::support {
namespace {

template <typename T>
struct TextCase {
  T value;
  std::string plain;  // shortest round-trip digits, never an exponent
  std::string debug;  // whole numbers keep a fraction; below 1e-4 and from 1e16 on, an exponent
};

TEST(SupportFloatText, ShortestDigitsPlainAndDebug) {
  using F = std::numeric_limits<float>;
  const TextCase<float> f32[] = {
      {0.5f, "0.5", "0.5"}, {-0.0f, "-0", "-0.0"}, {1.0f / 3.0f, "0.33333334", "0.33333334"},
      {1e-7f, "0.0000001", "1e-7"}, {0.0001f, "0.0001", "0.0001"}, {1e15f, "1000000000000000", "1000000000000000.0"},
      // Large magnitudes print the shortest digits padded with zeros, not the exact binary value
      // (1e20f is 100000002004087734272 exactly).
      {1e20f, "100000000000000000000", "1e20"}, {123456789.0f, "123456790", "123456790.0"},
      {F::max(), "340282350000000000000000000000000000000", "3.4028235e38"},
      {F::denorm_min(), "0.000000000000000000000000000000000000000000001", "1e-45"},
      {-F::quiet_NaN(), "NaN", "NaN"}, {-F::infinity(), "-inf", "-inf"}};
  for (const auto& c : f32) {
    EXPECT_EQ(format_f32(c.value), c.plain) << c.debug;
    EXPECT_EQ(debug_f32(c.value), c.debug) << c.plain;
  }
  using D = std::numeric_limits<double>;
  const TextCase<double> f64[] = {
      {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"}, {-0.0, "-0", "-0.0"}, {1.0, "1", "1.0"},
      {1e-4, "0.0001", "0.0001"}, {1e-5, "0.00001", "1e-5"}, {1e15, "1000000000000000", "1000000000000000.0"},
      {1e16, "10000000000000000", "1e16"}, {1e23, "100000000000000000000000", "1e23"},
      {static_cast<double>(1e-7f), "0.00000010000000116860974", "1.0000000116860974e-7"},
      {D::denorm_min(), "0." + std::string(323, '0') + "5", "5e-324"},
      {D::max(), "17976931348623157" + std::string(292, '0'), "1.7976931348623157e308"},
      {D::quiet_NaN(), "NaN", "NaN"}, {D::infinity(), "inf", "inf"}};
  for (const auto& c : f64) {
    EXPECT_EQ(format_f64(c.value), c.plain) << c.debug;
    EXPECT_EQ(debug_f64(c.value), c.debug) << c.plain;
  }
}

TEST(SupportParseF32, AcceptsDecimalTextCorrectlyRounded) {
  constexpr float kInf = std::numeric_limits<float>::infinity(), kNan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<const char*, float> accepted[] = {
      {"0", 0.0f}, {"-0.0e5", -0.0f}, {"+1.5", 1.5f}, {"1.", 1.0f}, {"-.5", -0.5f}, {"1E-3", 0.001f},
      {"0.1", 0.1f}, {"INF", kInf}, {"+Infinity", kInf}, {"-iNfInItY", -kInf},
      // Ties round to even; the halfway point between 1 and its successor stays at 1.
      {"16777217", 16777216.0f}, {"1.000000059604644775390625", 1.0f}, {"1.0000000596046447753906251", 1.00000012f},
      // Range edges: overflow gives infinity, underflow zero, both keeping the sign.
      {"3.40282356e38", std::numeric_limits<float>::max()}, {"3.4028236e38", kInf},
      {"7.1e-46", std::numeric_limits<float>::denorm_min()}, {"1e-46", 0.0f}, {"-1e-46", -0.0f},
      {"0.0000000000000000000000000000000000000000000000001e49", 1.0f},
      {"100000000000000000000000000000000000000000000000000e-50", 1.0f}, {"0e999999999999", 0.0f},
      {"-1e99999999999999999999", -kInf}, {"1e-99999999999999999999", 0.0f}};
  for (const auto& [text, expected] : accepted) {  // bit equality, so the sign of zero counts
    EXPECT_EQ(std::bit_cast<std::uint32_t>(parse_f32(text).value_or(kNan)), std::bit_cast<std::uint32_t>(expected)) << text;
  }
  for (const char* text : {"nan", "NAN", "-nan"}) EXPECT_TRUE(std::isnan(parse_f32(text).value_or(0.0f))) << text;
}

TEST(SupportParseF64, FullPrecisionRangeAndTheSameRejections) {
  EXPECT_EQ(parse_f64("0.1000000000000000055511151231257827021181583404541015625"), 0.1);
  EXPECT_EQ(parse_f64("-1e309"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_f64("5e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(parse_f64("1e39"), 1e39);  // an ordinary double, though float32 would overflow
  for (const std::string text : {"", "+", ".", "+.", ".e5", "1e", "1e-", " 1", "1 ", "0x10", "1.5f", "1,5", "nan(1)",
                                 "infin", "infinityx", "1.2.3", "+-1", "1e5.5", "\xd9\xa1", "1_000"}) {
    EXPECT_EQ(parse_f32(text), std::nullopt) << text;
    EXPECT_EQ(parse_f64(text), std::nullopt) << text;
  }
  EXPECT_EQ(parse_f64(std::string("1\0", 2)), std::nullopt);
}

}  // namespace
}  // namespace kestrune::support
