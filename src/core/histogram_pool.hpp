// Storage of histogram bins, kept for reuse across nodes, trees and rounds.
//
// A tree of 255 leaves over 28 features holds about 30 MB of histograms at its peak and releases
// them all when it is done; handed back to the C library, that memory returns to the system
// between trees and every new tree pays a page fault per 4 KiB to get it back. Bin lists
// allocate through this pool instead: a released buffer waits, keyed by its exact size, for the
// next list of that size, so after the first tree histograms cost no fresh memory.
//
// Only memory is reused, never contents: a list is initialised by its own constructor as with
// any allocator, so no histogram value depends on which buffer it got.
#pragma once

#include <cstddef>
#include <new>

namespace kestrune::core {

// Bytes of released buffers the pool keeps at most; buffers released beyond it are freed. Enough
// for the live histograms of a 255-leaf tree over a few hundred features of 256 bins.
inline constexpr std::size_t kHistogramPoolBytes = std::size_t{256} << 20;

// A buffer of `bytes` bytes aligned for any histogram record: reused when one of that size was
// released, else newly allocated (std::bad_alloc as operator new).
void* histogram_pool_acquire(std::size_t bytes);
// Returns a buffer from histogram_pool_acquire of the same size; kept or freed.
void histogram_pool_release(void* buffer, std::size_t bytes) noexcept;
// The bytes the pool keeps now (for tests and benchmarks).
std::size_t histogram_pool_kept_bytes() noexcept;

// The allocator of bin lists. Stateless: every instance shares the one pool, so lists move and
// swap their buffers freely.
template <typename T>
struct HistogramPoolAllocator {
  using value_type = T;

  HistogramPoolAllocator() noexcept = default;
  template <typename U>
  HistogramPoolAllocator(const HistogramPoolAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(histogram_pool_acquire(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { histogram_pool_release(p, n * sizeof(T)); }

  template <typename U>
  bool operator==(const HistogramPoolAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace kestrune::core
