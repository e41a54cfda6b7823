#include "engine/stump_list.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrune::engine {
namespace {

// Rounds of equal size fill the room the first one reserved: the list moves once, and every stump
// keeps its place in round order. A larger round than foreseen, or an unknown number of rounds
// left (0), still fits.
TEST(AppendRoundStumps, ReservesForTheRoundsLeftAndKeepsOrder) {
  const auto round_of = [](std::uint32_t first, std::size_t size) {
    std::vector<TrainedStump> round(size);
    for (std::size_t k = 0; k < size; ++k) round[k].node_id = first + static_cast<std::uint32_t>(k);
    return round;
  };
  std::vector<TrainedStump> stumps;
  append_round_stumps(stumps, round_of(0, 3), 4);
  const TrainedStump* const first_home = stumps.data();
  EXPECT_GE(stumps.capacity(), 12u);
  append_round_stumps(stumps, round_of(3, 3), 3);
  append_round_stumps(stumps, round_of(6, 3), 2);
  append_round_stumps(stumps, round_of(9, 3), 1);
  EXPECT_EQ(stumps.data(), first_home);
  append_round_stumps(stumps, round_of(12, 5), 0);
  ASSERT_EQ(stumps.size(), 17u);
  // With no rounds foreseen the list grows by the round alone, not by doubling.
  EXPECT_EQ(stumps.capacity(), 17u);
  for (std::size_t k = 0; k < stumps.size(); ++k) EXPECT_EQ(stumps[k].node_id, k);
}

}  // namespace
}  // namespace kestrune::engine
