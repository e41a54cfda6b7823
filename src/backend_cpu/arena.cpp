#include "backend_cpu/arena.hpp"

#include <string>

#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

struct ThreadArenaSlot {
  HistogramArena arena;
  bool borrowed = false;
};

ThreadArenaSlot& thread_arena_slot() {
  thread_local ThreadArenaSlot slot;
  return slot;
}

}  // namespace

void HistogramArena::resize_for_tile(std::size_t features, std::size_t bins) {
  const auto total = support::checked_mul(features, bins);
  if (!total) support::panic("histogram arena size overflows");
  bins_per_feature_ = bins;
  // assign() keeps the capacity, so a thread's arena stops allocating once it has seen its
  // largest tile.
  cells_.assign(*total, ArenaCell{});
}

std::span<const ArenaCell> HistogramArena::feature(std::size_t k) const {
  if (k >= feature_count()) {
    support::panic("histogram arena feature " + std::to_string(k) + " is out of range for " +
                   std::to_string(feature_count()) + " features");
  }
  return std::span<const ArenaCell>(cells_).subspan(k * bins_per_feature_, bins_per_feature_);
}

ThreadArenaBorrow::ThreadArenaBorrow() {
  ThreadArenaSlot& slot = thread_arena_slot();
  if (slot.borrowed) support::panic("histogram arena is already borrowed on this thread");
  slot.borrowed = true;
  arena_ = &slot.arena;
}

ThreadArenaBorrow::~ThreadArenaBorrow() { thread_arena_slot().borrowed = false; }

}  // namespace kestrune::backend_cpu
