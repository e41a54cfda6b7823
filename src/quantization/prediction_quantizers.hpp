// Prediction-time quantizers: raw feature values become float bin indices (2.0 for bin 2) for a
// model trained on bins. NaN stays NaN, so the model's missing-value routing applies. Each
// returns a new row-major buffer; the input is not modified. Rows are processed in parallel
// chunks of at least 4096 rows.
//
// The inputs come from Python with caller-given counts, so every length is checked before
// anything is read; a mismatch throws EngineError ContractViolation:
//   "feature_count must be greater than 0"
//   "values length {} does not match row_count * feature_count {}"
//   "bytes length {} does not match expected {} (row_count={} * feature_count={} * 4)"
//   "feature_mins/feature_maxs length must match feature_count"
//   "rank_flags/feature_sorted_values length must match feature_count"
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::quantization {

// The linear rule with the given top bin for every feature.
std::vector<float> quantize_dense_values_linear_inplace_wide(std::span<const float> values, std::size_t row_count,
                                                             std::size_t feature_count,
                                                             std::span<const float> feature_mins,
                                                             std::span<const float> feature_maxs,
                                                             std::uint16_t max_bin);

// The rank rule on feature_sorted_values[f] where rank_flags[f] is set, the linear rule elsewhere.
std::vector<float> quantize_dense_values_linear_rank_inplace_wide(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count,
    std::span<const float> feature_mins, std::span<const float> feature_maxs, const std::vector<bool>& rank_flags,
    std::span<const std::vector<float>> feature_sorted_values, std::uint16_t max_bin);

// The linear rule with top bin 254 on little-endian float32 bytes, read in place.
std::vector<float> quantize_f32_bytes_linear(std::span<const std::uint8_t> bytes, std::size_t row_count,
                                             std::size_t feature_count, std::span<const float> feature_mins,
                                             std::span<const float> feature_maxs);

}  // namespace kestrune::quantization
