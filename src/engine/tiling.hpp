// Feature tiling: each round's sampled features cut into contiguous ranges. A tile is the unit
// of parallel work of histogram building, so tiles are sized to give each pool thread about
// two of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::engine {

struct SampledFeatureTiles {
  std::vector<core::FeatureTile> tiles;
  std::size_t sampled_feature_count = 0;
};

// The round's column sample (sampling::sampled_indices of feature_count, seed, round_index and
// col_subsample) cut into tiles for the pool's thread count. An empty sample fails with
// ContractViolation "feature subsampling produced no feature indices".
SampledFeatureTiles sampled_feature_tiles(std::size_t feature_count, std::uint64_t seed, std::uint64_t round_index,
                                          float col_subsample);

// Widest tile: max(ceil(n / (2 t)), 16) when n >= 17 and t >= 2, else n; never above 64.
std::size_t feature_tile_width_cap(std::size_t sampled_count, std::size_t thread_count);

// Maximal runs of consecutive indices of the ascending list, each at most `width_cap` wide, in
// ascending order. A tile bound that does not fit 32 bits fails as FeatureTile::make does
// (wrapped as EngineError::Core).
std::vector<core::FeatureTile> feature_tiles_from_indices(std::span<const std::size_t> indices, std::size_t width_cap);

}  // namespace kestrune::engine
