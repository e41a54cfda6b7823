// The factor exposures each side of a candidate split would receive, for the split_penalty
// neutralization: the penalty grows with how much the children's values load on the factors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/neutralization.hpp"

namespace kestrune::engine::joint {

// (left sums, right sums), factor_count values each, over the node's rows in order. A missing
// row adds to neither side; a categorical split sends bins >= 64 and bins whose bit of
// category_mask is clear right; a numeric split sends bins > threshold_bin right. Rows outside the
// bins or the exposures panic.
std::pair<std::vector<float>, std::vector<float>> accumulate_factor_sums_for_threshold(
    const core::BinnedMatrix& binned, const core::FactorExposureMatrix& exposures,
    std::span<const std::uint32_t> rows, std::size_t feature_index, std::uint16_t threshold_bin, bool is_categorical,
    std::uint64_t category_mask);

}  // namespace kestrune::engine::joint
