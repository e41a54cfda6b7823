#include "core/scratch_region.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "parallel/spin.hpp"

namespace kestrune::core {

namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// 2 MiB pages where the kernel allows them (a hint, Linux's): a build writes all of its block
// at once, and one fault per 2 MiB instead of per 4 KiB takes most of the kernel's time off a
// fresh block.
void ask_for_huge_pages(void* start, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageBytes) madvise(start, bytes, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

std::byte* map_bytes(std::size_t bytes) {
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return mapped == MAP_FAILED ? nullptr : static_cast<std::byte*>(mapped);
}

class Region {
 public:
  // Reserves the region on first use; a machine that refuses it gets blocks mapped one by one.
  Region() {
    std::byte* mapped = map_bytes(kScratchRegionBytes + kHugePageBytes);
    if (mapped == nullptr) return;
    // Starting on a 2 MiB boundary, so that its first pages can be huge ones.
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(mapped);
    const std::size_t skip = (kHugePageBytes - address % kHugePageBytes) % kHugePageBytes;
    start_ = mapped + skip;
    ask_for_huge_pages(start_, kScratchRegionBytes);
    free_.emplace(0, kScratchRegionBytes);
  }

  // The start of a free range of `bytes` (a multiple of the granule) at the lowest address, now
  // in use; nullptr when none holds it.
  std::byte* carve(std::size_t bytes) {
    if (start_ == nullptr) return nullptr;
    const std::lock_guard<parallel::SpinLock> held(lock_);
    const auto found =
        std::find_if(free_.begin(), free_.end(), [&](const auto& range) { return range.second >= bytes; });
    if (found == free_.end()) return nullptr;
    const std::size_t offset = found->first;
    const std::size_t left = found->second - bytes;
    if (left == 0) {
      free_.erase(found);
    } else {
      // The rest keeps the entry (its start moves up), so that no entry is made anew.
      auto entry = free_.extract(found);
      entry.key() = offset + bytes;
      entry.mapped() = left;
      free_.insert(std::move(entry));
    }
    high_water_ = std::max(high_water_, offset + bytes);
    return start_ + offset;
  }

  // Joins the block's range with its free neighbours.
  void give_back(std::byte* data, std::size_t bytes) noexcept {
    const std::lock_guard<parallel::SpinLock> held(lock_);
    const std::size_t offset = static_cast<std::size_t>(data - start_);
    const auto next = free_.lower_bound(offset);
    const bool joins_next = next != free_.end() && offset + bytes == next->first;
    if (next != free_.begin()) {
      const auto before = std::prev(next);
      if (before->first + before->second == offset) {
        before->second += bytes;
        if (joins_next) {
          before->second += next->second;
          free_.erase(next);
        }
        return;
      }
    }
    if (joins_next) {
      // The range after it now starts here: its entry is moved, not made anew.
      auto entry = free_.extract(next);
      entry.key() = offset;
      entry.mapped() += bytes;
      free_.insert(std::move(entry));
      return;
    }
    try {
      free_.emplace(offset, bytes);
    } catch (...) {
      // Without memory for the entry the range stays out of use; the region still serves.
    }
  }

  bool contains(const void* data) const noexcept {
    const auto* byte = static_cast<const std::byte*>(data);
    return start_ != nullptr && byte >= start_ && byte < start_ + kScratchRegionBytes;
  }

  std::size_t high_water() {
    const std::lock_guard<parallel::SpinLock> held(lock_);
    return high_water_;
  }

 private:
  std::byte* start_ = nullptr;
  parallel::SpinLock lock_;  // held only while ranges are looked up or joined
  std::map<std::size_t, std::size_t> free_;  // offset -> length, no two adjacent
  std::size_t high_water_ = 0;
};

// The bytes the region sets aside for a request of `bytes` (at most the region's size).
std::size_t whole_granules(std::size_t bytes) {
  return (bytes + kScratchGranule - 1) / kScratchGranule * kScratchGranule;
}

Region& region() {
  // Never destroyed: pool workers may still hand blocks back while the process exits.
  static Region* reserved = new Region();
  return *reserved;
}

}  // namespace

ScratchBlock::ScratchBlock(ScratchBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)),
      in_region_(std::exchange(other.in_region_, false)) {}

ScratchBlock& ScratchBlock::operator=(ScratchBlock&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    in_region_ = std::exchange(other.in_region_, false);
  }
  return *this;
}

void ScratchBlock::reset() noexcept {
  if (data_ == nullptr) return;
  if (in_region_) {
    region().give_back(data_, bytes_);
  } else {
    munmap(data_, bytes_);
  }
  data_ = nullptr;
  bytes_ = 0;
  in_region_ = false;
}

void* take_region_bytes(std::size_t bytes) noexcept {
  if (bytes == 0 || bytes > kScratchRegionBytes) return nullptr;
  return region().carve(whole_granules(bytes));
}

void give_region_bytes(void* data, std::size_t bytes) noexcept {
  region().give_back(static_cast<std::byte*>(data), whole_granules(bytes));
}

ScratchBlock take_scratch_block(std::size_t bytes) {
  const std::size_t wanted = std::max<std::size_t>(bytes, 1);
  if (void* carved = take_region_bytes(wanted)) {
    return ScratchBlock(static_cast<std::byte*>(carved), whole_granules(wanted), true);
  }
  std::byte* mapped = map_bytes(wanted);
  if (mapped == nullptr) throw std::bad_alloc();
  ask_for_huge_pages(mapped, wanted);
  return ScratchBlock(mapped, wanted, false);
}

bool in_scratch_region(const void* data) noexcept { return region().contains(data); }

std::size_t scratch_region_high_water() { return region().high_water(); }

}  // namespace kestrune::core
