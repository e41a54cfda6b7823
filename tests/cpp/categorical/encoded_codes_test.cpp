// Codes of encoded values: ranks among the column's distinct values (IEEE total order), a limit
// that keeps the missing code free, and coding of other rows into the same code space.
#include "categorical/encoded_codes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/error.hpp"

namespace kestrune::categorical {
namespace {

std::string failure(std::vector<float> values, std::size_t limit) {
  try {
    encode_bins_from_encoded_values(values, limit);
  } catch (const engine::EngineError& error) {
    EXPECT_EQ(error.kind(), engine::EngineErrorKind::ContractViolation);
    return error.message();
  }
  return "accepted";
}

std::vector<float> ramp(std::size_t n) {
  std::vector<float> values;
  for (std::size_t i = 0; i < n; ++i) values.push_back(static_cast<float>(i) * 0.25f - 3.0f);
  return values;
}

TEST(EncodedCodes, RanksAmongDistinctValues) {
  struct Case {
    std::vector<float> values;
    std::vector<std::uint16_t> codes;
    std::uint16_t max_code;
  };
  const Case cases[] = {
      {{0.5f, 0.1f, 0.5f, 0.9f}, {1, 0, 1, 2}, 2},
      {{0.3f, 0.3f}, {0, 0}, 0},
      {{0.0f, -0.0f, 0.0f, -1.0f}, {2, 1, 2, 0}, 2},  // -0.0 below +0.0, two codes
  };
  for (const Case& c : cases) {
    const EncodedCodes codes = encode_bins_from_encoded_values(c.values, 256);
    EXPECT_EQ(codes.codes, c.codes);
    EXPECT_EQ(codes.max_code, c.max_code);
    EXPECT_EQ(codes.distinct.size(), static_cast<std::size_t>(c.max_code) + 1);
  }
}

TEST(EncodedCodes, RefusesInOrder) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(failure({}, 256), "encoded values cannot be empty");
  EXPECT_EQ(failure({1.0f, std::nanf(""), inf}, 256), "encoded value at index 1 must be finite");
  // The limit is the one the storage has: 255 codes beside 8-bit storage's missing code 255.
  EXPECT_EQ(encode_bins_from_encoded_values(ramp(255), 255).max_code, 254);
  EXPECT_EQ(failure(ramp(256), 255), "encoded cardinality 256 exceeds supported max 255");
  EXPECT_EQ(encode_bins_from_encoded_values(ramp(256), 256).max_code, 255);
  EXPECT_EQ(failure(ramp(257), 256), "encoded cardinality 257 exceeds supported max 256");
}

// A value takes the code of the largest distinct value not above it, clamped to 0 below them
// all: the brute-force count of distinct values <= v, minus one.
TEST(EncodedCodes, OtherRowsJoinTheColumnsCodeSpace) {
  const std::vector<float> training = {0.5f, -2.0f, 0.5f, 1.25f, 7.0f, -0.0f};
  const EncodedCodes space = encode_bins_from_encoded_values(training, 256);
  // The training values themselves get their own codes back.
  EXPECT_EQ(codes_in_code_space(space.distinct, training), space.codes);
  const std::vector<float> probes = {-5.0f, -2.0f, -1.0f, -0.0f, 0.0f, 0.4f, 0.5f, 1.0f, 7.0f, 100.0f};
  const std::vector<std::uint16_t> codes = codes_in_code_space(space.distinct, probes);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    int not_above = 0;
    for (const float d : space.distinct) not_above += (d < probes[i] || d == probes[i]) ? 1 : 0;
    // -0.0 == 0.0 in this count; the total order puts +0.0 above -0.0, both map to -0.0's code.
    EXPECT_EQ(static_cast<int>(codes[i]), std::max(not_above - 1, 0)) << probes[i];
  }
  EXPECT_THROW(codes_in_code_space(space.distinct, std::vector<float>{std::nanf("")}), engine::EngineError);
}

}  // namespace
}  // namespace kestrune::categorical
