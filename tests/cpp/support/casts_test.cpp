#include "support/casts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrune::support {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The helper is usable in constant expressions (array sizes, static tables).
static_assert(saturating_cast<std::int32_t>(2.9f) == 2);
static_assert(saturating_cast<std::uint8_t>(-3.0) == 0);

struct F32ToI32 {
  float value;
  std::int32_t expected;
};

class SupportSaturatingCastI32 : public ::testing::TestWithParam<F32ToI32> {};

TEST_P(SupportSaturatingCastI32, TruncatesAndClamps) {
  EXPECT_EQ(saturating_cast<std::int32_t>(GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportSaturatingCastI32,
    ::testing::Values(F32ToI32{1.9f, 1}, F32ToI32{-1.9f, -1}, F32ToI32{0.999f, 0}, F32ToI32{-0.0f, 0},
                      F32ToI32{kNanF, 0}, F32ToI32{-kNanF, 0}, F32ToI32{kInfF, INT32_MAX},
                      F32ToI32{-kInfF, INT32_MIN},
                      // 2^31 is the first float past the range; the float just below it fits.
                      F32ToI32{2147483648.0f, INT32_MAX}, F32ToI32{2147483520.0f, 2147483520},
                      F32ToI32{-2147483648.0f, INT32_MIN}, F32ToI32{-2147483904.0f, INT32_MIN},
                      F32ToI32{1e30f, INT32_MAX}, F32ToI32{-1e30f, INT32_MIN}));

TEST(SupportSaturatingCast, UnsignedTargetsClampNegativesToZero) {
  EXPECT_EQ(saturating_cast<std::uint8_t>(-0.5f), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(-1.0f), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(-kInfF), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(255.9f), 255);
  EXPECT_EQ(saturating_cast<std::uint8_t>(256.0f), 255);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967040.0f), 4294967040u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967296.0f), UINT32_MAX);
  EXPECT_EQ(saturating_cast<std::uint32_t>(kNanF), 0u);
}

TEST(SupportSaturatingCast, SixtyFourBitEdgesFromDouble) {
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709549568.0), 18446744073709549568ull);
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709551616.0), UINT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854774784.0), 9223372036854774784ll);
  EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(saturating_cast<std::int64_t>(-kInf), INT64_MIN);
  EXPECT_EQ(saturating_cast<std::size_t>(1e300), std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(saturating_cast<std::int16_t>(-32768.9), -32768);
  EXPECT_EQ(saturating_cast<std::int16_t>(32767.9), 32767);
}

TEST(SupportWrappingCast, KeepsTheLowBits) {
  EXPECT_EQ(wrapping_cast<std::uint32_t>(std::uint64_t{0x1'0000'0005}), 5u);
  EXPECT_EQ(wrapping_cast<std::int32_t>(std::uint32_t{0xFFFF'FFFF}), -1);
  EXPECT_EQ(wrapping_cast<std::uint8_t>(-1), 255);
  EXPECT_EQ(wrapping_cast<std::int8_t>(200), -56);
  EXPECT_EQ(wrapping_cast<std::uint64_t>(std::int32_t{-2}), UINT64_MAX - 1);
}

TEST(SupportCheckedCast, OnlyValuesThatFit) {
  EXPECT_EQ(checked_cast<std::uint32_t>(-1), std::nullopt);
  EXPECT_EQ(checked_cast<std::int32_t>(std::uint64_t{1} << 31), std::nullopt);
  EXPECT_EQ(checked_cast<std::int32_t>((std::uint64_t{1} << 31) - 1), INT32_MAX);
  EXPECT_EQ(checked_cast<std::uint16_t>(65535), 65535);
  EXPECT_EQ(checked_cast<std::uint16_t>(65536), std::nullopt);
  EXPECT_EQ(checked_cast<std::int64_t>(UINT64_MAX), std::nullopt);
  EXPECT_EQ(checked_cast<std::uint64_t>(INT64_MIN), std::nullopt);
  EXPECT_EQ(checked_cast<std::int8_t>(-128), -128);
}

TEST(SupportCheckedArithmetic, ReportsOverflow) {
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(checked_mul(0, max), 0u);
  EXPECT_EQ(checked_mul(max, 0), 0u);
  EXPECT_EQ(checked_mul(max, 1), max);
  EXPECT_EQ(checked_mul(max / 2, 2), max - 1);
  EXPECT_EQ(checked_mul(max / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(checked_mul(std::size_t{1} << 32, std::size_t{1} << 32), std::nullopt);
  EXPECT_EQ(checked_add(max - 1, 1), max);
  EXPECT_EQ(checked_add(max, 1), std::nullopt);
  EXPECT_EQ(checked_add(1, max), std::nullopt);
  EXPECT_EQ(checked_add(0, 0), 0u);
}

}  // namespace
}  // namespace kestrune::support
