// Row lists and scratch blocks kept between nodes: a request gets room for what it asks, a
// kept buffer of a fitting size is handed out again, and one far too large is left for larger
// nodes.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"

namespace kestrune::backend_cpu {
namespace {

TEST(RowStore, ReusesFittingBuffersOnly) {
  struct Case {
    std::size_t kept_rows;
    std::size_t asked_rows;
    bool reused;
  };
  const std::vector<Case> cases = {
      // Large enough that buffers other tests left behind are no better fit.
      // Small enough that a pair list of this many pairs is kept.
      {800000, 800000, true},   // same size
      {800000, 240000, true},   // less than four times too large
      {800000, 160000, false},  // more than four times too large
      {800000, 800001, false},  // too small
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.kept_rows << " kept, " << c.asked_rows << " asked");
    std::vector<std::uint32_t> kept(c.kept_rows, 7u);
    const std::uint32_t* kept_data = kept.data();
    recycle_rows(std::move(kept));
    const std::vector<std::uint32_t> list = take_row_list(c.asked_rows);
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
    check_sized(std::vector<std::uint32_t>(c.kept_rows, 7u), recycle_rows, take_sized_row_list);
    check_sized(std::vector<core::GradientPair>(c.kept_rows), recycle_pairs, take_sized_pair_list);

    MappedBytes block(c.kept_rows * 12);
    const std::byte* block_data = block.data();
    recycle_scratch_block(std::move(block));
    const MappedBytes block_again = take_scratch_block(c.asked_rows * 12);
    EXPECT_GE(block_again.size(), c.asked_rows * 12);
    EXPECT_EQ(block_again.data() == block_data, c.reused);
    if (!c.reused) (void)take_scratch_block(c.kept_rows * 12);
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu
