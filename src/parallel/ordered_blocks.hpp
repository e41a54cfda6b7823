// Blocks produced on the pool and consumed in order on the calling thread, for a serial pass
// (a float sum in row order) over values that are expensive to compute but cheap to consume:
// the calling thread consumes each block as soon as it is ready, while the workers produce the
// next ones, so the serial pass overlaps the parallel one instead of following it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>

#include "parallel/parallel.hpp"
#include "parallel/spin.hpp"

namespace kestrune::parallel {

// Calls produce(b, slot) for every block b = 0 .. block_count - 1 and consume(b, slot) for each
// of them, on the calling thread and in block order. Blocks are produced by up to `threads`
// threads (the calling thread included, which produces whenever the next block is not ready),
// claimed in order. Block b is handed slot b % slots, and is produced only once block b - slots
// has been consumed, so `slots` buffers of one block serve the whole pass. When produce or
// consume throws for a block, no later block is consumed, and the exception of the first block
// that failed is rethrown once every thread has stopped.
template <typename Produce, typename Consume>
void produce_and_consume_in_order(std::size_t block_count, std::size_t slots, std::size_t threads,
                                  Produce&& produce, Consume&& consume) {
  if (block_count == 0) return;
  slots = std::max<std::size_t>(slots, 1);
  struct Block {
    std::atomic<bool> ready{false};
    std::exception_ptr failure;
  };
  const std::unique_ptr<Block[]> blocks = std::make_unique<Block[]>(block_count);
  std::atomic<std::size_t> next_claim{0};
  std::atomic<std::size_t> consumed{0};
  // Blocks from here on are not claimed: the earliest failed block so far (the blocks before it
  // are still needed, and produced).
  std::atomic<std::size_t> stop_at{block_count};
  // Set when the calling thread has stopped consuming: slots are then never freed.
  std::atomic<bool> stopped{false};
  const auto stop_before = [&](std::size_t b) {
    std::size_t current = stop_at.load(std::memory_order_relaxed);
    while (b < current && !stop_at.compare_exchange_weak(current, b, std::memory_order_relaxed)) {
    }
  };
  // The next unclaimed block if it is below `limit` and the stop, else block_count.
  const auto claim = [&](std::size_t limit) {
    std::size_t b = next_claim.load(std::memory_order_relaxed);
    while (b < std::min(limit, stop_at.load(std::memory_order_relaxed))) {
      if (next_claim.compare_exchange_weak(b, b + 1, std::memory_order_relaxed)) return b;
    }
    return block_count;
  };
  const auto produce_block = [&](std::size_t b) {
    // The slot is free once the block that used it before has been consumed. When consumption
    // has stopped instead, nothing is produced: another block may still be using the slot.
    if (b >= slots) wait_until([&] { return consumed.load(std::memory_order_acquire) > b - slots; });
    if (!stopped.load(std::memory_order_acquire)) {
      try {
        produce(b, b % slots);
      } catch (...) {
        blocks[b].failure = std::current_exception();
        stop_before(b);
      }
    }
    blocks[b].ready.store(true, std::memory_order_release);
  };
  const auto consume_all = [&]() -> std::exception_ptr {
    // Ends the pass at block b: producers stop claiming, and those waiting for a slot are released.
    const auto fail = [&](std::size_t b, std::exception_ptr failure) {
      stop_before(b);
      stopped.store(true, std::memory_order_relaxed);
      consumed.store(block_count, std::memory_order_release);
      return failure;
    };
    for (std::size_t b = 0; b < block_count; ++b) {
      // While block b is not ready, the calling thread produces the blocks it can without waiting
      // on itself: those whose slots are free by the time block b is consumed. When none of them
      // is left to claim, block b is claimed (it comes before every failed block) and will be
      // ready.
      while (!blocks[b].ready.load(std::memory_order_acquire)) {
        const std::size_t mine = claim(b + slots);
        if (mine < block_count) {
          produce_block(mine);
        } else {
          wait_until([&] { return blocks[b].ready.load(std::memory_order_acquire); });
        }
      }
      if (blocks[b].failure) return fail(b, blocks[b].failure);
      try {
        consume(b, b % slots);
      } catch (...) {
        return fail(b, std::current_exception());
      }
      consumed.store(b + 1, std::memory_order_release);
    }
    return nullptr;
  };
  const std::size_t helpers = threads > 1 ? std::min(threads, block_count) - 1 : 0;
  std::exception_ptr failure;
  if (helpers == 0) {
    failure = consume_all();
  } else {
    PostedTask helping([&] {
      parallel_for(
          0, helpers,
          [&](std::size_t) {
            for (std::size_t b = claim(block_count); b < block_count; b = claim(block_count)) produce_block(b);
          },
          kDefaultMinParallel, helpers);
    });
    failure = consume_all();
    helping.wait();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kestrune::parallel
