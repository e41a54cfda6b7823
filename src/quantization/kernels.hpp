// The metadata-driven quantization kernels: every value of a dense row-major float32 matrix
// becomes one bin code, by the strategy's rule with the given metadata.
//
//   8-bit storage:  codes 0..254, NaN -> 255
//   16-bit storage: codes 0..max_bin, NaN -> max_bin + 1
//
// Quantile codes count the cuts at or below the value; in 16-bit storage they are capped at
// max_bin so that a value never takes the missing-value code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quantization/metadata.hpp"

namespace kestrune::quantization {

// The 8-bit kernel's fixed top code and missing-value code.
inline constexpr std::uint16_t kU8MaxBin = 254;
inline constexpr std::uint16_t kU8MissingBin = 255;

template <typename Code>
struct QuantizedDenseValues {
  // Each code as float32 (the missing code too); empty unless the caller kept them.
  std::vector<float> float_values;
  std::vector<Code> bins;
  // Largest code written, the missing code included; 0 for an empty matrix.
  std::uint16_t max_code = 0;
};

// Both throw EngineError ContractViolation when the metadata lacks what the strategy needs
// ("continuous linear minima are missing", "continuous linear maxima are missing", "continuous
// rank sorted values are missing", "continuous quantile cuts are missing"), before writing
// anything. Rows are processed in parallel chunks of at least 256 rows.
QuantizedDenseValues<std::uint8_t> quantize_dense_values_with_metadata(std::span<const float> values,
                                                                       std::size_t row_count,
                                                                       std::size_t feature_count,
                                                                       ContinuousBinningStrategy strategy,
                                                                       const ContinuousBinningMetadataInternal& metadata,
                                                                       bool keep_dense_values);

QuantizedDenseValues<std::uint16_t> quantize_dense_values_with_metadata_wide(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count,
    ContinuousBinningStrategy strategy, const ContinuousBinningMetadataInternal& metadata, bool keep_dense_values,
    std::uint16_t max_bin);

// Rows per parallel chunk: max(row_count / pool threads, minimum).
std::size_t rows_per_chunk(std::size_t row_count, std::size_t minimum_rows);

}  // namespace kestrune::quantization
