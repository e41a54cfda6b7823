// Row lists kept between nodes: a request gets room for what it asks, a kept buffer of a
// fitting size is handed out again, and one far too large is left for larger nodes. Scratch
// blocks come from one region, lowest free address first.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "core/scratch_region.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::kScratchGranule;
using core::kScratchRegionBytes;
using core::ScratchBlock;
using core::scratch_region_high_water;
using core::take_scratch_block;

TEST(RowStore, ReusesFittingBuffersOnly) {
  struct Case {
    std::size_t kept_rows;
    std::size_t asked_rows;
    bool reused;
  };
  const std::vector<Case> cases = {
      // Large enough that buffers other tests left behind are no better fit.
      // Small enough that a pair list of this many pairs is kept.
      {100000, 100000, true},   // same size
      {100000, 30000, true},    // less than four times too large
      {100000, 20000, false},   // more than four times too large
      {100000, 100001, false},  // too small
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.kept_rows << " kept, " << c.asked_rows << " asked");
    core::RowList kept(c.kept_rows, 7u);
    const std::uint32_t* kept_data = kept.data();
    recycle_rows(std::move(kept));
    const core::RowList list = take_row_list(c.asked_rows);
    EXPECT_TRUE(list.empty());
    EXPECT_GE(list.capacity(), c.asked_rows);
    EXPECT_EQ(list.data() == kept_data, c.reused);
    // Leave nothing behind for the next case.
    if (!c.reused) (void)take_row_list(c.kept_rows);

    // A list taken at its size reuses the same buffers, with exactly the size asked: row lists
    // and pair lists alike.
    const auto check_sized = [&](auto kept_again, auto recycle, auto take_sized) {
      const auto* kept_again_data = kept_again.data();
      recycle(std::move(kept_again));
      const auto sized = take_sized(c.asked_rows);
      EXPECT_EQ(sized.size(), c.asked_rows);
      EXPECT_EQ(sized.data() == kept_again_data, c.reused);
      if (!c.reused) (void)take_sized(c.kept_rows);
    };
    check_sized(core::RowList(c.kept_rows, 7u), recycle_rows, take_sized_row_list);
    check_sized(core::PairList(c.kept_rows), recycle_pairs, take_sized_pair_list);
  }
}

// Blocks taken and handed back in a random order, of sizes from one granule to megabytes, as
// nodes of every size take them at once on several threads: the blocks in use never overlap,
// each holds what it asked, and a region whose blocks are all back serves the lowest address
// again, so that the part of the region ever touched follows the most in use at once.
TEST(ScratchRegion, BlocksInUseNeverOverlapAndFreedRangesJoin) {
  std::mt19937 rng(17);
  std::vector<ScratchBlock> held;
  std::size_t most_in_use = 0;
  for (int step = 0; step < 4000; ++step) {
    if (!held.empty() && rng() % 2 == 0) {
      const std::size_t k = rng() % held.size();
      std::swap(held[k], held.back());
      held.pop_back();  // handed back
      continue;
    }
    const std::size_t bytes = 1 + rng() % (std::size_t{3} << 20);
    held.push_back(take_scratch_block(bytes));
    ASSERT_GE(held.back().size(), bytes);
    ASSERT_EQ(held.back().size() % kScratchGranule, 0u);
    std::size_t in_use = 0;
    for (const ScratchBlock& block : held) {
      in_use += block.size();
      if (&block == &held.back()) continue;
      const bool apart = block.data() + block.size() <= held.back().data() ||
                         held.back().data() + held.back().size() <= block.data();
      ASSERT_TRUE(apart) << "step " << step;
    }
    most_in_use = std::max(most_in_use, in_use);
  }
  held.clear();
  // Packed lowest first: never more than about twice the most in use at once was touched.
  EXPECT_LE(scratch_region_high_water(), 2 * most_in_use + (std::size_t{8} << 20));
  EXPECT_EQ(take_scratch_block(kScratchGranule).size(), kScratchGranule);  // no granule more than asked
  ScratchBlock first = take_scratch_block(1);
  ScratchBlock whole = take_scratch_block(scratch_region_high_water());
  EXPECT_EQ(whole.data(), first.data() + first.size()) << "the freed ranges were joined";
  whole.reset();
  EXPECT_EQ(whole.data(), nullptr);
  // A block moved onto another takes its place, and the one it held goes back at once.
  ScratchBlock second = take_scratch_block(1);
  std::byte* const held_before = second.data();
  ScratchBlock third = take_scratch_block(1);
  std::byte* const moved = third.data();
  second = std::move(third);
  EXPECT_EQ(second.data(), moved);
  EXPECT_EQ(third.data(), nullptr);
  EXPECT_EQ(take_scratch_block(1).data(), held_before);
  EXPECT_EQ(take_scratch_block(0).size(), kScratchGranule);  // an empty request still gets a block
  // A block larger than the region is mapped on its own, and goes back to the system, not into
  // the region: once the region is full, the next block is mapped anew and can be written.
  ScratchBlock outside = take_scratch_block(kScratchRegionBytes + 1);
  EXPECT_GE(outside.size(), kScratchRegionBytes + 1);
  EXPECT_FALSE(core::in_scratch_region(outside.data()));
  outside.reset();
  first.reset();
  second.reset();
  const ScratchBlock all = take_scratch_block(kScratchRegionBytes);
  EXPECT_TRUE(core::in_scratch_region(all.data()));
  const ScratchBlock extra = take_scratch_block(kScratchGranule);
  EXPECT_FALSE(core::in_scratch_region(extra.data()));
  std::memset(extra.data(), 1, extra.size());
  EXPECT_LE(scratch_region_high_water(), kScratchRegionBytes);  // nothing was carved past the end
}

}  // namespace
}  // namespace kestrune::backend_cpu
