#include "support/casts.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace kestrune::support {
namespace {

constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();

// The helper is usable in constant expressions (array sizes, static tables).
static_assert(saturating_cast<std::int32_t>(2.9f) == 2);
static_assert(saturating_cast<std::uint8_t>(-3.0) == 0);

TEST(SupportSaturatingCast, TruncatesAndClampsAtEveryEdge) {
  const struct {
    float value;
    std::int32_t expected;
  } to_i32[] = {{1.9f, 1}, {-1.9f, -1}, {-0.0f, 0}, {kNanF, 0}, {kInfF, INT32_MAX}, {-kInfF, INT32_MIN},
                // 2^31 is the first float past the range; the float just below it fits.
                {2147483648.0f, INT32_MAX}, {2147483520.0f, 2147483520}, {-2147483648.0f, INT32_MIN},
                {-2147483904.0f, INT32_MIN}};
  for (const auto& c : to_i32) EXPECT_EQ(saturating_cast<std::int32_t>(c.value), c.expected) << c.value;
  EXPECT_EQ(saturating_cast<std::uint8_t>(-0.5f), 0);
  EXPECT_EQ(saturating_cast<std::uint8_t>(256.0f), 255);
  EXPECT_EQ(saturating_cast<std::uint32_t>(4294967296.0f), UINT32_MAX);
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709549568.0), 18446744073709549568ull);
  EXPECT_EQ(saturating_cast<std::uint64_t>(18446744073709551616.0), UINT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(saturating_cast<std::int64_t>(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(saturating_cast<std::size_t>(1e300), std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(saturating_cast<std::int16_t>(-32768.9), -32768);
}

}  // namespace
}  // namespace kestrune::support
