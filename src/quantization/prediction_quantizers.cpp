#include "quantization/prediction_quantizers.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "engine/error.hpp"
#include "parallel/parallel.hpp"
#include "quantization/bin_rules.hpp"
#include "quantization/kernels.hpp"
#include "support/casts.hpp"

namespace kestrune::quantization {
namespace {

constexpr std::size_t kMinRowsPerChunk = 4096;
constexpr std::uint16_t kBytesTopBin = 254;

// row_count x feature_count, after feature_count > 0 is established.
std::size_t checked_cells(std::size_t row_count, std::size_t feature_count) {
  if (feature_count == 0) throw engine::EngineError::contract_violation("feature_count must be greater than 0");
  const auto cells = support::checked_mul(row_count, feature_count);
  if (!cells) {
    throw engine::EngineError::contract_violation("row_count * feature_count overflows: row_count=" +
                                                  std::to_string(row_count) +
                                                  ", feature_count=" + std::to_string(feature_count));
  }
  return *cells;
}

void check_bounds_lengths(std::span<const float> mins, std::span<const float> maxs, std::size_t feature_count) {
  if (mins.size() != feature_count || maxs.size() != feature_count) {
    throw engine::EngineError::contract_violation("feature_mins/feature_maxs length must match feature_count");
  }
}

std::size_t checked_value_cells(std::span<const float> values, std::size_t row_count, std::size_t feature_count) {
  const std::size_t cells = checked_cells(row_count, feature_count);
  if (values.size() != cells) {
    throw engine::EngineError::contract_violation("values length " + std::to_string(values.size()) +
                                                  " does not match row_count * feature_count " + std::to_string(cells));
  }
  return cells;
}

// Fills out[i] = bin(row, feature, value at i) in parallel row chunks.
template <typename ReadValue, typename Code>
std::vector<float> quantize_rows(std::size_t row_count, std::size_t feature_count, std::size_t cells,
                                 ReadValue read_value, Code code) {
  std::vector<float> out(cells, 0.0f);
  if (cells == 0) return out;
  parallel::parallel_for_chunks(row_count, rows_per_chunk(row_count, kMinRowsPerChunk),
                                [&](std::size_t first_row, std::size_t end_row) {
                                  for (std::size_t row = first_row; row < end_row; ++row) {
                                    const std::size_t base = row * feature_count;
                                    for (std::size_t f = 0; f < feature_count; ++f) {
                                      const float x = read_value(base + f);
                                      out[base + f] = std::isnan(x) ? std::numeric_limits<float>::quiet_NaN()
                                                                    : static_cast<float>(code(f, x));
                                    }
                                  }
                                });
  return out;
}

}  // namespace

std::vector<float> quantize_dense_values_linear_inplace_wide(std::span<const float> values, std::size_t row_count,
                                                             std::size_t feature_count,
                                                             std::span<const float> feature_mins,
                                                             std::span<const float> feature_maxs,
                                                             std::uint16_t max_bin) {
  const std::size_t cells = checked_value_cells(values, row_count, feature_count);
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  return quantize_rows(
      row_count, feature_count, cells, [&](std::size_t i) { return values[i]; },
      [&](std::size_t f, float x) { return linear_code(x, feature_mins[f], feature_maxs[f], max_bin); });
}

std::vector<float> quantize_dense_values_linear_rank_inplace_wide(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count,
    std::span<const float> feature_mins, std::span<const float> feature_maxs, const std::vector<bool>& rank_flags,
    std::span<const std::vector<float>> feature_sorted_values, std::uint16_t max_bin) {
  const std::size_t cells = checked_value_cells(values, row_count, feature_count);
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  if (rank_flags.size() != feature_count || feature_sorted_values.size() != feature_count) {
    throw engine::EngineError::contract_violation("rank_flags/feature_sorted_values length must match feature_count");
  }
  return quantize_rows(
      row_count, feature_count, cells, [&](std::size_t i) { return values[i]; },
      [&](std::size_t f, float x) {
        return rank_flags[f] ? rank_code(x, feature_sorted_values[f], max_bin)
                             : linear_code(x, feature_mins[f], feature_maxs[f], max_bin);
      });
}

std::vector<float> quantize_f32_bytes_linear(std::span<const std::uint8_t> bytes, std::size_t row_count,
                                             std::size_t feature_count, std::span<const float> feature_mins,
                                             std::span<const float> feature_maxs) {
  const std::size_t cells = checked_cells(row_count, feature_count);
  const auto expected = support::checked_mul(cells, sizeof(float));
  if (!expected || bytes.size() != *expected) {
    throw engine::EngineError::contract_violation(
        "bytes length " + std::to_string(bytes.size()) + " does not match expected " +
        (expected ? std::to_string(*expected) : std::string("(overflow)")) + " (row_count=" +
        std::to_string(row_count) + " * feature_count=" + std::to_string(feature_count) + " * 4)");
  }
  check_bounds_lengths(feature_mins, feature_maxs, feature_count);
  return quantize_rows(
      row_count, feature_count, cells,
      [&](std::size_t i) {
        // In range: the byte length was checked against the cell count above.
        const std::uint8_t* p = bytes.data() + i * sizeof(float);
        const std::uint32_t bits = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                                   (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        return std::bit_cast<float>(bits);
      },
      [&](std::size_t f, float x) { return linear_code(x, feature_mins[f], feature_maxs[f], kBytesTopBin); });
}

}  // namespace kestrune::quantization
