#include "engine/tree_build/pending_split_queue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
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

TEST(GrowQueue, EqualGainsFollowTheHeapDiscipline) {
  // A pushed entry stops below a parent of equal gain: the earlier one comes out first.
  PendingSplitQueue pair;
  pair.push(entry(1.0f, 0));
  pair.push(entry(1.0f, 1));
  EXPECT_EQ(drain(pair), (std::vector<std::uint32_t>{0, 1}));

  // After the first pop the hole walks to the right child on a tie, so entry 2 overtakes entry 1.
  PendingSplitQueue ties;
  ties.push(entry(1.0f, 0));
  ties.push(entry(2.0f, 1));
  ties.push(entry(1.0f, 2));
  ties.push(entry(1.0f, 3));
  EXPECT_EQ(drain(ties), (std::vector<std::uint32_t>{1, 2, 0, 3}));
}

TEST(GrowQueue, DistinctGainsComeOutLargestFirst) {
  std::mt19937 rng(5);
  PendingSplitQueue queue;
  std::vector<float> gains;
  for (std::uint32_t i = 0; i < 200; ++i) {
    gains.push_back(static_cast<float>(rng() % 100000) + static_cast<float>(i) / 1000.0f);
    queue.push(entry(gains.back(), i));
    if (i % 7 == 0) {
      // Interleaved pops take the current maximum.
      const PendingSplit top = queue.pop();
      float best = -1.0f;
      for (float g : gains) best = std::max(best, g);
      ASSERT_EQ(top.candidate.gain, best);
      gains.erase(std::find(gains.begin(), gains.end(), best));
    }
  }
  float previous = 1e30f;
  while (!queue.empty()) {
    const PendingSplit next = queue.pop();
    EXPECT_LT(next.candidate.gain, previous);
    previous = next.candidate.gain;
  }
  EXPECT_TRUE(queue.empty());
}

TEST(GrowQueue, ManyTiedGainsComeOutNonIncreasing) {
  std::mt19937 rng(5);
  PendingSplitQueue queue;
  for (std::uint32_t i = 0; i < 200; ++i) queue.push(entry(static_cast<float>(rng() % 1000) + 0.5f * (i % 3), i));
  std::vector<float> gains;
  while (!queue.empty()) gains.push_back(queue.pop().candidate.gain);
  EXPECT_TRUE(std::is_sorted(gains.rbegin(), gains.rend()));
}

// Checks largest() on a queue of these gains against the gains sorted.
void expect_largest_match_a_sort(std::vector<float> gains) {
  PendingSplitQueue queue;
  for (std::uint32_t i = 0; i < gains.size(); ++i) queue.push(entry(gains[i], i));
  std::sort(gains.rbegin(), gains.rend());
  std::vector<PendingSplit*> found;
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{17},
                                  gains.size() - 1, gains.size(), gains.size() + 100}) {
    SCOPED_TRACE(count);
    const float least = queue.largest(count, found);
    std::vector<float> found_gains;
    std::vector<std::uint32_t> ids;
    for (const PendingSplit* split : found) {
      found_gains.push_back(split->candidate.gain);
      ids.push_back(split->local_id);
    }
    std::sort(found_gains.rbegin(), found_gains.rend());
    const auto taken = static_cast<std::ptrdiff_t>(std::min(count, gains.size()));
    EXPECT_EQ(found_gains, std::vector<float>(gains.begin(), gains.begin() + taken));
    // The least gain found when as many as asked were found.
    const float expected_least = count > gains.size()  ? -std::numeric_limits<float>::infinity()
                                 : count == 0          ? std::numeric_limits<float>::infinity()
                                                       : gains[count - 1];
    EXPECT_EQ(least, expected_least);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "an entry found twice";
  }
}

TEST(GrowQueue, LargestFindsTheTopGainsAgainstASort) {
  std::mt19937 rng(11);
  // Distinct gains, so that any entry found in place of a larger one shows.
  std::vector<float> distinct(90);
  for (std::size_t i = 0; i < distinct.size(); ++i) distinct[i] = static_cast<float>(i);
  std::shuffle(distinct.begin(), distinct.end(), rng);
  expect_largest_match_a_sort(distinct);
  // Few distinct gains, so that ties straddle the cut.
  std::vector<float> tied(90);
  for (float& gain : tied) gain = static_cast<float>(rng() % 25);
  expect_largest_match_a_sort(tied);
}

}  // namespace
}  // namespace kestrune::engine::tree_build
