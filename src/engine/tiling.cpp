#include "engine/tiling.hpp"

#include <algorithm>
#include <limits>

#include "engine/error.hpp"
#include "engine/sampling.hpp"
#include "parallel/pool_size.hpp"
#include "support/casts.hpp"

namespace kestrune::engine {

namespace {

constexpr std::size_t kMinCappedWidth = 16;
constexpr std::size_t kMaxTileWidth = 64;
constexpr std::size_t kMinFeaturesForCap = 17;

}  // namespace

std::size_t feature_tile_width_cap(std::size_t sampled_count, std::size_t thread_count) {
  std::size_t cap = sampled_count;
  if (sampled_count >= kMinFeaturesForCap && thread_count >= 2) {
    const std::size_t tasks = support::checked_mul(2, thread_count).value_or(std::numeric_limits<std::size_t>::max());
    const std::size_t per_task = sampled_count / tasks + (sampled_count % tasks != 0 ? 1 : 0);
    cap = std::max(per_task, kMinCappedWidth);
  }
  return std::min(cap, kMaxTileWidth);
}

std::vector<core::FeatureTile> feature_tiles_from_indices(std::span<const std::size_t> indices,
                                                          std::size_t width_cap) {
  std::vector<core::FeatureTile> tiles;
  if (indices.empty()) return tiles;
  const auto close_run = [&](std::size_t start, std::size_t last) {
    // The bounds are 32-bit; the end is computed as a 32-bit value, as the records store it.
    const auto start32 = support::wrapping_cast<std::uint32_t>(start);
    const auto end32 = support::wrapping_cast<std::uint32_t>(support::wrapping_cast<std::uint32_t>(last) + 1u);
    tiles.push_back(with_core_errors([&] { return core::FeatureTile::make(start32, end32); }));
  };
  std::size_t start = indices.front();
  std::size_t last = start;
  for (std::size_t i = 1; i < indices.size(); ++i) {
    const std::size_t index = indices[i];
    if (index == last + 1 && index - start < width_cap) {
      last = index;
      continue;
    }
    close_run(start, last);
    start = last = index;
  }
  close_run(start, last);
  return tiles;
}

SampledFeatureTiles sampled_feature_tiles(std::size_t feature_count, std::uint64_t seed, std::uint64_t round_index,
                                          float col_subsample) {
  const std::vector<std::size_t> indices = sampled_indices(feature_count, seed, round_index, col_subsample);
  if (indices.empty()) throw EngineError::contract_violation("feature subsampling produced no feature indices");
  const std::size_t cap = feature_tile_width_cap(indices.size(), parallel::current_num_threads());
  return SampledFeatureTiles{feature_tiles_from_indices(indices, cap), indices.size()};
}

}  // namespace kestrune::engine
