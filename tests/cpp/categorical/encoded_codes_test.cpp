// Codes of encoded values: ranks among the column's distinct values (IEEE total order), a limit
// that keeps the missing code free, and coding of other rows into the same code space.
#include "categorical/encoded_codes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/error.hpp"

namespace kestrune::categorical {
namespace {

std::vector<float> ramp(std::size_t n) {
  std::vector<float> values;
  for (std::size_t i = 0; i < n; ++i) values.push_back(static_cast<float>(i) * 0.25f - 3.0f);
  return values;
}

TEST(EncodedCodes, RanksWithinTheLimit) {
  struct Case {
    std::vector<float> values;
    std::size_t limit;
    std::vector<std::uint16_t> codes;  // empty: refused with `message`
    std::string message;
  };
  const Case cases[] = {
      {{0.5f, 0.1f, 0.5f, 0.9f}, 256, {1, 0, 1, 2}, ""},
      {{0.3f, 0.3f}, 256, {0, 0}, ""},
      {{0.0f, -0.0f, 0.0f, -1.0f}, 256, {2, 1, 2, 0}, ""},  // -0.0 below +0.0, two codes
      {{}, 256, {}, "encoded values cannot be empty"},
      {{1.0f, std::nanf(""), INFINITY}, 256, {}, "encoded value at index 1 must be finite"},
      // The limit is the one the storage has: 255 codes beside 8-bit storage's missing code 255.
      {ramp(256), 255, {}, "encoded cardinality 256 exceeds supported max 255"},
      {ramp(257), 256, {}, "encoded cardinality 257 exceeds supported max 256"},
  };
  for (const Case& c : cases) {
    try {
      const EncodedCodes codes = encode_bins_from_encoded_values(c.values, c.limit);
      EXPECT_EQ(codes.codes, c.codes);
      EXPECT_EQ(codes.max_code + 1u, codes.distinct.size());
      // The column's own values take their codes in its code space.
      EXPECT_EQ(codes_in_code_space(codes.distinct, c.values), codes.codes);
    } catch (const engine::EngineError& error) {
      EXPECT_EQ(error.message(), c.message);
    }
  }
  EXPECT_EQ(encode_bins_from_encoded_values(ramp(255), 255).max_code, 254);
  EXPECT_EQ(encode_bins_from_encoded_values(ramp(256), 256).max_code, 255);
}

// A value takes the code of the largest distinct value not above it, clamped to 0 below them
// all: the brute-force count of distinct values <= v, minus one (-0.0 and +0.0 both land on
// -0.0's code, the largest value not above either).
TEST(EncodedCodes, OtherRowsJoinTheColumnsCodeSpace) {
  const std::vector<float> training = {0.5f, -2.0f, 0.5f, 1.25f, 7.0f, -0.0f};
  const EncodedCodes space = encode_bins_from_encoded_values(training, 256);
  EXPECT_EQ(codes_in_code_space(space.distinct, training), space.codes);
  const std::vector<float> probes = {-5.0f, -2.0f, -1.0f, -0.0f, 0.0f, 0.4f, 0.5f, 1.0f, 7.0f, 100.0f};
  const std::vector<std::uint16_t> codes = codes_in_code_space(space.distinct, probes);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    int not_above = 0;
    for (const float d : space.distinct) not_above += d <= probes[i] ? 1 : 0;
    EXPECT_EQ(static_cast<int>(codes[i]), std::max(not_above - 1, 0)) << probes[i];
  }
}

}  // namespace
}  // namespace kestrune::categorical
