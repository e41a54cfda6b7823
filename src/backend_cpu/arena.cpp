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
  carried_counts_.clear();
}

void HistogramArena::carry_counts() {
  if (carried_counts_.size() != cells_.size()) carried_counts_.assign(cells_.size(), 0);
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    carried_counts_[i] += support::saturating_cast<std::uint32_t>(cells_[i].count);
    cells_[i].count = 0.0f;
  }
}

std::uint32_t HistogramArena::count_at(std::size_t i) const {
  if (i >= cells_.size()) {
    support::panic("histogram arena cell " + std::to_string(i) + " is out of range for " +
                   std::to_string(cells_.size()) + " cells");
  }
  const std::uint32_t counted = support::saturating_cast<std::uint32_t>(cells_[i].count);
  return carried_counts_.empty() ? counted : carried_counts_[i] + counted;
}

ThreadArenaBorrow::ThreadArenaBorrow() {
  ThreadArenaSlot& slot = thread_arena_slot();
  if (slot.borrowed) support::panic("histogram arena is already borrowed on this thread");
  slot.borrowed = true;
  arena_ = &slot.arena;
}

ThreadArenaBorrow::~ThreadArenaBorrow() { thread_arena_slot().borrowed = false; }

}  // namespace kestrune::backend_cpu
