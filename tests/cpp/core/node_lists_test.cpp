// Node lists: large ones live in the shared region and go back to it, small ones and ones the
// region cannot hold live on the heap, and every list keeps what was written to it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "core/histogram.hpp"
#include "core/node_lists.hpp"
#include "core/scratch_region.hpp"

namespace kestrune::core {
namespace {

TEST(NodeLists, LargeListsLiveInTheRegionAndGoBackToIt) {
  const std::size_t small_rows = kRegionListBytes / sizeof(std::uint32_t) - 1;
  const std::size_t large_rows = kRegionListBytes / sizeof(std::uint32_t) + 3;  // not a whole granule
  struct Case {
    const char* name;
    std::size_t rows;
    bool in_region;
  };
  const std::vector<Case> cases = {
      {"below the threshold", small_rows, false},
      {"above it", large_rows, kNodeListsInRegion},
  };
  if (kNodeListsInRegion) {
    // A list of exactly one granule takes one: two taken in a row on the empty region abut.
    const PairList first(kRegionListBytes / sizeof(GradientPair));
    const PairList second(kRegionListBytes / sizeof(GradientPair));
    EXPECT_EQ(reinterpret_cast<const std::byte*>(second.data()) - reinterpret_cast<const std::byte*>(first.data()),
              static_cast<std::ptrdiff_t>(kRegionListBytes));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RowList rows(c.rows);
    std::iota(rows.begin(), rows.end(), 0u);
    EXPECT_EQ(in_scratch_region(rows.data()), c.in_region);
    // Copies and growth move the rows between places; none is lost.
    RowList copy = rows;
    copy.push_back(7u);
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), copy.begin()));
    EXPECT_EQ(copy.back(), 7u);
  }
  // More than the region holds comes from the heap (untouched here, so no page is written).
  void* beyond = take_list_memory(kScratchRegionBytes + 1);
  EXPECT_FALSE(in_scratch_region(beyond));
  give_list_memory(beyond, kScratchRegionBytes + 1);
  if (!kNodeListsInRegion) return;
  // Lists handed back leave their ranges free: the same lists taken again take the same places.
  std::vector<const void*> first_places;
  {
    std::vector<PairList> held;
    for (int k = 0; k < 6; ++k) held.emplace_back(kRegionListBytes / sizeof(GradientPair) * (k + 1));
    for (const PairList& list : held) first_places.push_back(list.data());
  }
  std::vector<PairList> again;
  for (int k = 0; k < 6; ++k) {
    again.emplace_back(kRegionListBytes / sizeof(GradientPair) * (k + 1));
    EXPECT_EQ(again.back().data(), first_places[k]) << k;
  }
}

}  // namespace
}  // namespace kestrune::core
