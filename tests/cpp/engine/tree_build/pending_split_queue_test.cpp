#include "engine/tree_build/pending_split_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace kestrune::engine::tree_build {
namespace {

PendingSplit entry(float gain, std::uint32_t label) {
  PendingSplit split;
  split.candidate.gain = gain;
  split.local_id = label;
  return split;
}

std::vector<std::uint32_t> drain(PendingSplitQueue& queue) {
  std::vector<std::uint32_t> order;
  while (!queue.empty()) order.push_back(queue.pop().local_id);
  return order;
}

TEST(GrowQueue, LargestGainFirstAndTiesFollowTheHeapDiscipline) {
  // A pushed entry stops below a parent of equal gain; after a pop the hole walks to the right
  // child on a tie, so entry 2 overtakes entry 1.
  PendingSplitQueue ties;
  for (const auto& [gain, label] : {std::pair{1.0f, 0u}, {2.0f, 1u}, {1.0f, 2u}, {1.0f, 3u}}) ties.push(entry(gain, label));
  EXPECT_EQ(drain(ties), (std::vector<std::uint32_t>{1, 2, 0, 3}));
  std::mt19937 rng(5);
  PendingSplitQueue queue;
  for (std::uint32_t i = 0; i < 200; ++i) queue.push(entry(static_cast<float>(rng() % 1000) + 0.5f * (i % 3), i));
  std::vector<float> gains;
  while (!queue.empty()) gains.push_back(queue.pop().candidate.gain);
  EXPECT_TRUE(std::is_sorted(gains.rbegin(), gains.rend()));
}

}  // namespace
}  // namespace kestrune::engine::tree_build
