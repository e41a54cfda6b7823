#include "support/float_parse.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace kestrune::support {
namespace {

struct Accepted {
  const char* text;
  float expected;
};

class SupportParseF32Accepted : public ::testing::TestWithParam<Accepted> {};

TEST_P(SupportParseF32Accepted, GivesTheCorrectlyRoundedValue) {
  const auto parsed = parse_f32(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << GetParam().text;
  // Bit equality, so the sign of zero counts.
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*parsed), std::bit_cast<std::uint32_t>(GetParam().expected))
      << GetParam().text << " gave " << *parsed;
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportParseF32Accepted,
    ::testing::Values(
        Accepted{"0", 0.0f}, Accepted{"-0.0e5", -0.0f}, Accepted{"+1.5", 1.5f}, Accepted{"1.", 1.0f},
        Accepted{"-.5", -0.5f}, Accepted{"000001", 1.0f}, Accepted{"1E-3", 0.001f}, Accepted{"1e+3", 1000.0f},
        Accepted{"0.1", 0.1f}, Accepted{"INF", kInf}, Accepted{"+Infinity", kInf}, Accepted{"-iNfInItY", -kInf},
        // Ties round to even; the halfway point between 1 and its successor stays at 1.
        Accepted{"16777217", 16777216.0f}, Accepted{"1.000000059604644775390625", 1.0f},
        Accepted{"1.0000000596046447753906251", 1.00000012f},
        // Range edges: overflow gives infinity, underflow zero, both keeping the sign.
        Accepted{"3.40282356e38", kMax}, Accepted{"3.4028236e38", kInf}, Accepted{"-1e39", -kInf},
        Accepted{"7.1e-46", kDenormMin}, Accepted{"1e-46", 0.0f}, Accepted{"-1e-46", -0.0f},
        Accepted{"0.0000000000000000000000000000000000000000000000001e49", 1.0f},
        Accepted{"100000000000000000000000000000000000000000000000000e-50", 1.0f},
        Accepted{"0e999999999999", 0.0f}, Accepted{"-1e99999999999999999999", -kInf},
        Accepted{"1e-99999999999999999999", 0.0f}));

TEST(SupportParseF32, NanWordsInAnyCaseAndSign) {
  for (const char* text : {"nan", "NAN", "-nan"}) {
    const auto parsed = parse_f32(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_TRUE(std::isnan(*parsed)) << text;
  }
}

class SupportParseRejected : public ::testing::TestWithParam<std::string> {};

TEST_P(SupportParseRejected, GivesNothing) {
  EXPECT_EQ(parse_f32(GetParam()), std::nullopt) << GetParam();
  EXPECT_EQ(parse_f64(GetParam()), std::nullopt) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(SupportTable, SupportParseRejected,
                         ::testing::Values("", "+", ".", "+.", ".e5", "1e", "1e-", " 1", "1 ", "0x10", "1.5f",
                                           "1,5", "nan(1)", "infin", "infinityx", "1.2.3", "+-1", "1e5.5",
                                           "\xd9\xa1", std::string("1\0", 2), "1_000"));

TEST(SupportParseF64, FullPrecisionAndRange) {
  EXPECT_EQ(parse_f64("0.1000000000000000055511151231257827021181583404541015625"), 0.1);
  EXPECT_EQ(parse_f64("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(parse_f64("-1e309"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_f64("5e-324"), std::numeric_limits<double>::denorm_min());
  const auto tiny = parse_f64("-2e-324");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(*tiny, 0.0);
  EXPECT_TRUE(std::signbit(*tiny));
  // A value that float32 would overflow is an ordinary double.
  EXPECT_EQ(parse_f64("1e39"), 1e39);
}

}  // namespace
}  // namespace kestrune::support
