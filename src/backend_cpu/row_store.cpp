#include "backend_cpu/row_store.hpp"

#include <malloc.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "parallel/spin.hpp"

namespace kestrune::backend_cpu {

namespace {

template <typename Item>
std::size_t bytes_of(const core::NodeList<Item>& list) {
  return list.capacity() * sizeof(Item);
}

// Kept buffers by size in bytes, so that a request takes the best fit.
template <typename Buffer>
struct Store {
  parallel::SpinLock lock;  // held only while buffers are popped or pushed
  std::multimap<std::size_t, Buffer> kept;
  std::size_t bytes = 0;

  // The smallest kept buffer of at least `size` bytes, unless even that is more than four times
  // too large (it would tie up memory a larger node could use); small requests take any buffer of
  // a few pages.
  std::optional<Buffer> take(std::size_t size) {
    const std::lock_guard<parallel::SpinLock> held(lock);
    const auto found = kept.lower_bound(size);
    if (found == kept.end() || found->first > std::max<std::size_t>(size * 4, 16384)) return std::nullopt;
    Buffer buffer = std::move(found->second);
    bytes -= found->first;
    kept.erase(found);
    return buffer;
  }

  void keep(Buffer&& buffer) {
    const std::size_t size = bytes_of(buffer);
    constexpr std::size_t cap = kKeptRowBytes;
    if (size == 0 || size > cap) return;
    std::vector<Buffer> evicted;  // freed once the lock is released
    const std::lock_guard<parallel::SpinLock> held(lock);
    // Smaller buffers make way for a larger one: large nodes' buffers cost the most faults.
    while (bytes + size > cap && !kept.empty() && kept.begin()->first < size) {
      bytes -= kept.begin()->first;
      evicted.push_back(std::move(kept.begin()->second));
      kept.erase(kept.begin());
    }
    if (bytes + size > cap) return;
    bytes += size;
    kept.emplace(size, std::move(buffer));
  }
};

template <typename Buffer>
Store<Buffer>& store() {
  // Never destroyed: pool workers may still hand buffers back while the process exits.
  static Store<Buffer>* kept = new Store<Buffer>();
  return *kept;
}

}  // namespace

namespace {

// An empty list of `count` items' room: the best fitting kept one, else a new one.
template <typename Item>
core::NodeList<Item> take_list(std::size_t count) {
  core::NodeList<Item> list = store<core::NodeList<Item>>().take(count * sizeof(Item)).value_or(core::NodeList<Item>{});
  list.clear();
  list.reserve(count);
  return list;
}

// A list of exactly `count` items: the best fitting kept one keeps its elements up to its size.
template <typename Item>
core::NodeList<Item> take_sized_list(std::size_t count) {
  core::NodeList<Item> list = store<core::NodeList<Item>>().take(count * sizeof(Item)).value_or(core::NodeList<Item>{});
  list.resize(count);
  return list;
}

}  // namespace

core::RowList take_row_list(std::size_t rows) { return take_list<std::uint32_t>(rows); }

core::RowList take_sized_row_list(std::size_t rows) { return take_sized_list<std::uint32_t>(rows); }

core::PairList take_sized_pair_list(std::size_t pairs) { return take_sized_list<core::GradientPair>(pairs); }

void recycle_rows(core::RowList&& rows) { store<core::RowList>().keep(std::move(rows)); }

void recycle_pairs(core::PairList&& pairs) { store<core::PairList>().keep(std::move(pairs)); }

void trim_heap(std::size_t row_count) {
#if defined(__GLIBC__)
  if (row_count >= kTrimHeapRows) malloc_trim(0);
#else
  (void)row_count;
#endif
}

void trim_heap_after_round(std::size_t row_count, std::size_t rounds_done) {
  if (rounds_done % kTrimHeapEveryRounds == 0) trim_heap(row_count);
}

}  // namespace kestrune::backend_cpu
