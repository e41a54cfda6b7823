#include "engine/tree_build/pending_split_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <string>
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

  // Distinct gains, pops interleaved with pushes: always the current maximum.
  std::mt19937 rng(5);
  PendingSplitQueue queue;
  std::vector<float> gains;
  for (std::uint32_t i = 0; i < 400 && (i < 200 || !gains.empty()); ++i) {
    if (i < 200) gains.push_back(static_cast<float>(rng() % 100000) + static_cast<float>(i) / 1000.0f);
    if (i < 200) queue.push(entry(gains.back(), i));
    if (i % 3 != 0 && i < 200) continue;
    const auto best = std::max_element(gains.begin(), gains.end());
    ASSERT_EQ(queue.pop().candidate.gain, *best);
    gains.erase(best);
  }
  EXPECT_TRUE(gains.empty());
}

}  // namespace
}  // namespace kestrune::engine::tree_build
