#include "parallel/ordered_blocks.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/pool_size.hpp"

namespace kestrune::parallel {
namespace {

struct Case {
  std::size_t blocks;
  std::size_t slots;
  std::size_t threads;
  std::optional<std::size_t> failing_produce;  // this block and every third after it throw
  std::optional<std::size_t> failing_consume;
};

// Each block writes its number into its slot; the consumer checks it finds it there (a slot
// reused before its block was consumed, or a block consumed before it was produced, shows up as
// another number) and records the order. A failure ends the consumption at the first failing
// block, whose error is the one reported.
TEST(ParallelOrderedBlocks, ConsumesEveryBlockInOrderFromItsOwnSlot) {
  const std::size_t pool = current_num_threads();
  const std::vector<Case> cases = {
      {0, 4, pool, {}, {}},          {1, 1, pool, {}, {}},          {5, 1, pool, {}, {}},
      {100, 3, pool, {}, {}},        {1000, 32, pool, {}, {}},      {1000, 2, 1, {}, {}},
      {37, 7, 64, {}, {}},           {1000, 32, pool, 500, {}},     {1000, 4, pool, 0, {}},
      {1000, 32, pool, {}, 999},     {300, 5, pool, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("blocks " + std::to_string(c.blocks) + ", slots " + std::to_string(c.slots) + ", threads " +
                 std::to_string(c.threads));
    for (int repeat = 0; repeat < 20; ++repeat) {
      std::vector<std::size_t> slots(c.slots, static_cast<std::size_t>(-1));
      std::vector<std::size_t> consumed;
      std::vector<std::size_t> misplaced;
      std::string error;
      try {
        produce_and_consume_in_order(
            c.blocks, c.slots, c.threads,
            [&](std::size_t block, std::size_t slot) {
              if (c.failing_produce && block >= *c.failing_produce && (block - *c.failing_produce) % 3 == 0) {
                throw std::runtime_error("produce " + std::to_string(block));
              }
              slots[slot] = block;
            },
            [&](std::size_t block, std::size_t slot) {
              if (c.failing_consume == block) throw std::runtime_error("consume " + std::to_string(block));
              if (slot != block % c.slots || slots[slot] != block) misplaced.push_back(block);
              consumed.push_back(block);
            });
      } catch (const std::runtime_error& e) {
        error = e.what();
      }
      const std::size_t end = c.failing_produce ? *c.failing_produce : c.failing_consume.value_or(c.blocks);
      ASSERT_EQ(consumed.size(), end);
      for (std::size_t b = 0; b < end; ++b) ASSERT_EQ(consumed[b], b);
      ASSERT_TRUE(misplaced.empty()) << "first misplaced block " << misplaced.front();
      if (c.failing_produce) {
        ASSERT_EQ(error, "produce " + std::to_string(*c.failing_produce));
      } else if (c.failing_consume) {
        ASSERT_EQ(error, "consume " + std::to_string(*c.failing_consume));
      } else {
        ASSERT_EQ(error, "");
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::parallel
