// Bin codes of a target-encoded column: the rank of each encoded value among the column's
// distinct encoded values, so that a larger encoded value gets a larger code. Values are ordered
// by the IEEE 754 total order (-0.0 below +0.0, the two distinct). The distinct values are the
// column's code space: rows of another matrix (validation) are coded into the same space, so a
// category carries the same code in both.
//
// Failures are engine::EngineError ContractViolation with the bare message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::categorical {

struct EncodedCodes {
  std::vector<std::uint16_t> codes;  // one per value, in input order
  std::uint16_t max_code = 0;        // distinct.size() - 1
  std::vector<float> distinct;       // ascending, no repeats
};

// "encoded values cannot be empty", "encoded value at index {} must be finite", then more than
// `max_distinct` distinct values: "encoded cardinality {} exceeds supported max {}". The caller
// picks the limit that keeps every code below the matrix's missing-value code.
EncodedCodes encode_bins_from_encoded_values(std::span<const float> values, std::size_t max_distinct);

// Each value takes the code of the largest distinct value not above it; a value below them all
// takes code 0. `distinct` is a code space from encode_bins_from_encoded_values. The same first
// two checks as there.
std::vector<std::uint16_t> codes_in_code_space(std::span<const float> distinct, std::span<const float> values);

}  // namespace kestrune::categorical
