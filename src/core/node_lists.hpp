// The lists a tree's nodes carry: their rows, and the gradient pairs of a child's rows in order.
//
// Large lists take their memory from the scratch region that every thread shares. From the C
// library's heap, each pool thread's lists went to that thread's own heap, and each heap held on
// to about what its largest node had freed: a 500-round fit on 1,000,000 x 28 rows on 8 threads
// peaked 44 MiB lower with the C library held to one heap, and 32 MiB lower with its lists in the
// region. Small lists, and large ones the region has no room for, come from the heap as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kestrune::core {

// Lists of at least this many bytes (one granule of the region) are placed in the region. On the
// fit above, 256 KiB and up left the peak 4 MiB higher than 64 KiB and up, and 64 KiB (with
// 64 KiB granules) about 4 MiB higher than 16 KiB (medians of six alternating runs, times alike).
inline constexpr std::size_t kRegionListBytes = std::size_t{16} << 10;

// Under AddressSanitizer every list comes from the heap, where a read past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kNodeListsInRegion = false;
#else
inline constexpr bool kNodeListsInRegion = true;
#endif

// Memory for a list of `bytes` bytes: from the region when it is large and a range holds it,
// else from operator new; give_list_memory hands it back whichever it was.
void* take_list_memory(std::size_t bytes);
void give_list_memory(void* data, std::size_t bytes) noexcept;

template <typename T>
struct NodeListAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "list elements need no extended alignment");

  NodeListAllocator() noexcept = default;
  template <typename U>
  NodeListAllocator(const NodeListAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(take_list_memory(n * sizeof(T)));
  }
  void deallocate(T* data, std::size_t n) noexcept { give_list_memory(data, n * sizeof(T)); }

  // A list grown by resize() leaves its new elements unwritten: whoever sizes a list fills it
  // before anything reads it, and zero-filling a large node's lists first was a pass over them on
  // the one thread the partition's other threads wait for. Elements made from values are
  // constructed as usual.
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    if constexpr (!(std::is_trivially_copyable_v<U> && std::is_trivially_destructible_v<U>)) {
      ::new (static_cast<void*>(p)) U;
    }
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const NodeListAllocator&, const NodeListAllocator&) noexcept { return true; }
};

template <typename T>
using NodeList = std::vector<T, NodeListAllocator<T>>;

// A node's rows, in node order. (PairList, the gradient pairs of a list of rows in the list's
// order, is declared beside GradientPair.)
using RowList = NodeList<std::uint32_t>;

}  // namespace kestrune::core
