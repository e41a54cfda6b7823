#include "backend_cpu/row_store.hpp"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "parallel/spin.hpp"

namespace kestrune::backend_cpu {

namespace {

template <typename Item>
std::size_t bytes_of(const std::vector<Item>& list) {
  return list.capacity() * sizeof(Item);
}
std::size_t bytes_of(const MappedBytes& block) { return block.size(); }

template <typename Buffer>
constexpr std::size_t kept_bytes_cap() {
  return std::is_same_v<Buffer, MappedBytes> ? kKeptScratchBytes : kKeptRowBytes;
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
    constexpr std::size_t cap = kept_bytes_cap<Buffer>();
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
std::vector<Item> take_list(std::size_t count) {
  std::vector<Item> list = store<std::vector<Item>>().take(count * sizeof(Item)).value_or(std::vector<Item>{});
  list.clear();
  list.reserve(count);
  return list;
}

// A list of exactly `count` items: the best fitting kept one keeps its elements up to its size.
template <typename Item>
std::vector<Item> take_sized_list(std::size_t count) {
  std::vector<Item> list = store<std::vector<Item>>().take(count * sizeof(Item)).value_or(std::vector<Item>{});
  list.resize(count);
  return list;
}

}  // namespace

std::vector<std::uint32_t> take_row_list(std::size_t rows) { return take_list<std::uint32_t>(rows); }

std::vector<std::uint32_t> take_sized_row_list(std::size_t rows) { return take_sized_list<std::uint32_t>(rows); }

std::vector<core::GradientPair> take_sized_pair_list(std::size_t pairs) {
  return take_sized_list<core::GradientPair>(pairs);
}

void recycle_rows(std::vector<std::uint32_t>&& rows) { store<std::vector<std::uint32_t>>().keep(std::move(rows)); }

void recycle_pairs(std::vector<core::GradientPair>&& pairs) {
  store<std::vector<core::GradientPair>>().keep(std::move(pairs));
}

MappedBytes::MappedBytes(std::size_t bytes) : bytes_(bytes) {
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::byte*>(mapped);
#if defined(MADV_HUGEPAGE)
  // Large blocks in 2 MiB pages: a gathered build writes all of its block at once, and one fault
  // per 2 MiB instead of per 4 KiB takes most of the kernel's time off a fresh block. Only a
  // hint (Linux's): the kernel may refuse it, and the block works either way.
  constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
  if (bytes >= kHugePageBytes) madvise(mapped, bytes, MADV_HUGEPAGE);
#endif
}

MappedBytes::~MappedBytes() {
  if (data_ != nullptr) munmap(data_, bytes_);
}

MappedBytes::MappedBytes(MappedBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

MappedBytes& MappedBytes::operator=(MappedBytes&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(data_, bytes_);
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

MappedBytes take_scratch_block(std::size_t bytes) {
  if (std::optional<MappedBytes> kept = store<MappedBytes>().take(bytes)) return std::move(*kept);
  // Pages are touched only as far as a build writes, so the rounding costs address space only.
  const std::size_t rounded = bytes <= kKeptScratchBytes ? std::bit_ceil(std::max<std::size_t>(bytes, 1)) : bytes;
  return MappedBytes(rounded);
}

void recycle_scratch_block(MappedBytes&& block) { store<MappedBytes>().keep(std::move(block)); }

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
