// How the joint trainer reads a binned matrix. Training and prediction must see the same codes, so
// the joint code reads the matrix's own codes: 8-bit matrices as stored (missing bin 255), 16-bit
// matrices through their real 16-bit codes with the matrix's missing bin, never through the
// saturated 8-bit copy (which would merge every bin from 255 up with the missing values).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/binned.hpp"

namespace kestrune::engine::joint {

// The code that marks a missing value in the codes the joint trainer reads.
inline std::uint16_t joint_missing_bin(const core::BinnedMatrix& binned) noexcept {
  return binned.bins.is_u8() ? std::uint16_t{255} : binned.missing_bin;
}

// Histogram slots per feature: every code the matrix can hold, the missing bin included. 8-bit
// matrices keep the 256 slots of their code range; 16-bit matrices need max_bin + 2 (bins
// 0..max_bin and the missing bin after them), or more when the missing bin lies further out.
inline std::size_t joint_histogram_bin_count(const core::BinnedMatrix& binned) noexcept {
  if (binned.bins.is_u8()) return std::size_t{std::max<std::uint16_t>(binned.max_bin, 255)} + 1;
  return std::max(std::size_t{binned.max_bin} + 2, std::size_t{binned.missing_bin} + 1);
}

// Numeric thresholds t = 0 .. count - 1 (bins <= t go left), so the highest bin always goes right.
// 8-bit matrices keep at most 254 thresholds: their bin 255 is the missing value.
inline std::size_t joint_threshold_count(const core::BinnedMatrix& binned) noexcept {
  if (binned.bins.is_u8()) return std::min<std::uint16_t>(binned.max_bin, 254);
  return binned.max_bin;
}

// The code of (row, feature) in row-major codes with `stride` codes per row. Out-of-range cells
// panic.
inline std::uint16_t joint_bin(const core::BinnedMatrix& binned, std::size_t stride, std::size_t row,
                               std::size_t feature) {
  return binned.bins.at(row * stride + feature);
}

}  // namespace kestrune::engine::joint
