#include "support/casts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace kestrune::support {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

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
    ::testing::Values(F32ToI32{1.9f, 1}, F32ToI32{-1.9f, -1}, F32ToI32{-0.0f, 0}, F32ToI32{kNanF, 0},
                      F32ToI32{-kNanF, 0}, F32ToI32{kInfF, INT32_MAX}, F32ToI32{-kInfF, INT32_MIN},
                      // 2^31 is the first float past the range; the float just below it fits.
                      F32ToI32{2147483648.0f, INT32_MAX}, F32ToI32{2147483520.0f, 2147483520},
                      F32ToI32{-2147483648.0f, INT32_MIN}, F32ToI32{-2147483904.0f, INT32_MIN}));

TEST(SupportSaturatingCast, UnsignedAndSixtyFourBitEdges) {
  EXPECT_EQ(saturating_cast<std::uint8_t>(-0.5f), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(-kInfF), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(255.9f), 255);
  EXPECT_EQ(saturating_cast<std::uint8_t>(256.0f), 255);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967040.0f), 4294967040u);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967296.0f), UINT32_MAX);
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709549568.0), 18446744073709549568ull);
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709551616.0), UINT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854774784.0), 9223372036854774784ll);
  EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(saturating_cast<std::size_t>(1e300), kMax);
  EXPECT_EQ(saturating_cast<std::int16_t>(-32768.9), -32768);
}

TEST(SupportIntegerCasts, WrapKeepsLowBitsCheckedRefusesWhatDoesNotFit) {
  EXPECT_EQ(wrapping_cast<std::uint32_t>(std::uint64_t{0x1'0000'0005}), 5u);
  EXPECT_EQ(wrapping_cast<std::int32_t>(std::uint32_t{0xFFFF'FFFF}), -1);
  EXPECT_EQ(wrapping_cast<std::uint64_t>(std::int32_t{-2}), UINT64_MAX - 1);
  EXPECT_EQ(checked_cast<std::uint32_t>(-1), std::nullopt);
  EXPECT_EQ(checked_cast<std::int32_t>(std::uint64_t{1} << 31), std::nullopt);
  EXPECT_EQ(checked_cast<std::int32_t>((std::uint64_t{1} << 31) - 1), INT32_MAX);
  EXPECT_EQ(checked_cast<std::int64_t>(UINT64_MAX), std::nullopt);
  EXPECT_EQ(checked_cast<std::uint64_t>(INT64_MIN), std::nullopt);
  EXPECT_EQ(checked_cast<std::int8_t>(-128), -128);
}

TEST(SupportCheckedArithmetic, ReportsOverflow) {
  EXPECT_EQ(checked_mul(0, kMax), 0u);
  EXPECT_EQ(checked_mul(kMax / 2, 2), kMax - 1);
  EXPECT_EQ(checked_mul(kMax / 2 + 1, 2), std::nullopt);
  EXPECT_EQ(checked_mul(std::size_t{1} << 32, std::size_t{1} << 32), std::nullopt);
  EXPECT_EQ(checked_add(kMax - 1, 1), kMax);
  EXPECT_EQ(checked_add(1, kMax), std::nullopt);
}

}  // namespace
}  // namespace kestrune::support
