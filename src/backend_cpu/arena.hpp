// Per-thread scratch for histogram building: one tile's bins at a time, reused from tile to
// tile so that steady-state building allocates only the histograms it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::backend_cpu {

// One bin while a tile is being summed. The count comes first: a row's update is then one
// four-lane float add whose first lane is replaced by the integer increment with a single move
// (see histogram_kernels.hpp), so every update is one 16-byte load and one 16-byte store.
struct alignas(16) ArenaCell {
  std::uint32_t count = 0;
  float grad_sum = 0.0f;
  float hess_sum = 0.0f;
  float grad_sq_sum = 0.0f;
};
static_assert(sizeof(ArenaCell) == 16, "ArenaCell must stay four 32-bit lanes");

// The bins of `features` consecutive features, feature k's bin b at k * bins_per_feature + b.
class HistogramArena {
 public:
  HistogramArena() = default;
  HistogramArena(std::size_t features, std::size_t bins) { resize_for_tile(features, bins); }

  // Exactly features * bins zeroed cells with stride `bins`; the capacity only grows.
  void resize_for_tile(std::size_t features, std::size_t bins);

  std::size_t bins_per_feature() const noexcept { return bins_per_feature_; }
  std::size_t feature_count() const noexcept { return bins_per_feature_ == 0 ? 0 : cells_.size() / bins_per_feature_; }
  std::span<ArenaCell> cells() noexcept { return cells_; }
  std::span<const ArenaCell> cells() const noexcept { return cells_; }
  // Feature k's bins; panics when k is not below feature_count().
  std::span<const ArenaCell> feature(std::size_t k) const;

 private:
  std::vector<ArenaCell> cells_;
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
