// Per-thread scratch for histogram building: one tile's bins at a time, reused from tile to
// tile so that steady-state building allocates only the histograms it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::backend_cpu {

// One bin while a tile is being summed, in the lane order of core::HistogramBin. The count is
// kept as a float32 so that a row's update is a single four-lane add (one 16-byte load and one
// 16-byte store). Whole numbers below 2^24 are exact in float32 and adding 1 to them is exact;
// the builder moves the float counts into `carried_counts` before any of them can reach 2^24.
struct alignas(16) ArenaCell {
  float grad_sum = 0.0f;
  float hess_sum = 0.0f;
  float grad_sq_sum = 0.0f;
  float count = 0.0f;
};
static_assert(sizeof(ArenaCell) == 16, "ArenaCell must stay four 32-bit lanes");

// Rows one pass may add before the float counts are carried over: no bin can then hold 2^24.
inline constexpr std::size_t kExactFloatCountRows = (std::size_t{1} << 24) - 1;

// The bins of `features` consecutive features, feature k's bin b at k * bins_per_feature + b.
class HistogramArena {
 public:
  HistogramArena() = default;
  HistogramArena(std::size_t features, std::size_t bins) { resize_for_tile(features, bins); }

  // Exactly features * bins zeroed cells with stride `bins`, no carried counts; the capacity
  // only grows.
  void resize_for_tile(std::size_t features, std::size_t bins);

  // Adds every cell's float count to its carried count and zeroes the float count.
  void carry_counts();
  // Cell i's count: carried plus float count, as a 32-bit unsigned (wrapping).
  std::uint32_t count_at(std::size_t i) const;

  // Every cell's carried count, or empty when nothing was carried since the last resize.
  std::span<const std::uint32_t> carried_counts() const noexcept { return carried_counts_; }

  std::size_t bins_per_feature() const noexcept { return bins_per_feature_; }
  std::size_t feature_count() const noexcept { return bins_per_feature_ == 0 ? 0 : cells_.size() / bins_per_feature_; }
  std::span<ArenaCell> cells() noexcept { return cells_; }
  std::span<const ArenaCell> cells() const noexcept { return cells_; }

 private:
  std::vector<ArenaCell> cells_;
  // Empty until the first carry: only nodes of 2^24 rows or more ever carry.
  std::vector<std::uint32_t> carried_counts_;
  std::size_t bins_per_feature_ = 0;
};

// Exclusive use of the calling thread's arena for the lifetime of the borrow. The arena is
// created empty on the thread's first borrow and released when the thread ends. Tile builds
// never nest, so a second borrow on a thread that holds one is a bug and panics.
class ThreadArenaBorrow {
 public:
  ThreadArenaBorrow();
  ~ThreadArenaBorrow();
  ThreadArenaBorrow(const ThreadArenaBorrow&) = delete;
  ThreadArenaBorrow& operator=(const ThreadArenaBorrow&) = delete;

  HistogramArena& arena() noexcept { return *arena_; }

 private:
  HistogramArena* arena_;
};

}  // namespace kestrune::backend_cpu
