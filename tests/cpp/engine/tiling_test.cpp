#include "engine/tiling.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "engine_test_support.hpp"
#include "parallel/pool_size.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_contract_violation;
using testing_support::throws_engine_error;
using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Ranges ranges_of(const std::vector<core::FeatureTile>& tiles) {
  Ranges out;
  for (const auto& tile : tiles) out.emplace_back(tile.start_feature, tile.end_feature);
  return out;
}

std::vector<std::size_t> consecutive(std::size_t n) {
  std::vector<std::size_t> indices(n);
  std::iota(indices.begin(), indices.end(), std::size_t{0});
  return indices;
}

TEST(TilingWidthCap, AboutTwoTilesPerThreadBetweenSixteenAndSixtyFour) {
  struct Case {
    std::size_t features, threads, cap;
  };
  const Case cases[] = {
      {10, 8, 10}, {17, 1, 17}, {17, 2, 16}, {100, 4, 16}, {100, 1, 64},
      {200, 2, 50}, {1000, 0, 64}, {1000, std::numeric_limits<std::size_t>::max(), 16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(feature_tile_width_cap(c.features, c.threads), c.cap) << c.features << " features, " << c.threads;
  }
}

TEST(TilingRuns, ConsecutiveRunsCutAtTheCap) {
  EXPECT_EQ(ranges_of(feature_tiles_from_indices(consecutive(100), 16)),
            (Ranges{{0, 16}, {16, 32}, {32, 48}, {48, 64}, {64, 80}, {80, 96}, {96, 100}}));
  const std::vector<std::size_t> gaps{0, 1, 2, 5, 6, 9};
  EXPECT_EQ(ranges_of(feature_tiles_from_indices(gaps, 3)), (Ranges{{0, 3}, {5, 7}, {9, 10}}));
  EXPECT_EQ(ranges_of(feature_tiles_from_indices(gaps, 2)), (Ranges{{0, 2}, {2, 3}, {5, 7}, {9, 10}}));
  EXPECT_TRUE(feature_tiles_from_indices({}, 4).empty());
  // An end past 32 bits cannot be stored: the tile record's own check reports it.
  EXPECT_TRUE(throws_engine_error(
      [] { feature_tiles_from_indices(std::vector<std::size_t>{std::numeric_limits<std::uint32_t>::max()}, 1); },
      EngineErrorKind::Core, "validation error: feature tile must satisfy start_feature < end_feature"));
}

TEST(TilingSample, TilesCoverExactlyTheSampleWithThePoolsCap) {
  for (const float rate : {1.0f, 0.5f, 0.1f}) {
    const SampledFeatureTiles sampled = sampled_feature_tiles(300, 42, 3, rate);
    const std::size_t cap = feature_tile_width_cap(sampled.sampled_feature_count, parallel::current_num_threads());
    std::size_t covered = 0;
    std::uint32_t previous_end = 0;
    for (const core::FeatureTile& tile : sampled.tiles) {
      EXPECT_GE(tile.start_feature, previous_end);
      EXPECT_LE(tile.end_feature - tile.start_feature, cap);
      covered += tile.end_feature - tile.start_feature;
      previous_end = tile.end_feature;
    }
    EXPECT_EQ(covered, sampled.sampled_feature_count);
    EXPECT_LE(previous_end, 300u);
  }
  EXPECT_EQ(sampled_feature_tiles(300, 42, 3, 1.0f).sampled_feature_count, 300u);
  EXPECT_EQ(sampled_feature_tiles(1, 42, 3, 0.01f).sampled_feature_count, 1u);
  EXPECT_TRUE(throws_contract_violation([] { sampled_feature_tiles(0, 1, 0, 1.0f); },
                                        "feature subsampling produced no feature indices"));
}

}  // namespace
}  // namespace kestrune::engine
