// Scratch blocks for the parallel builds: where a parallel partition routes a node's rows, and
// where a gathered histogram build copies a node's codes. They come from one reserved region of
// address space, lowest free address first, and go back to it as soon as their build is done.
// Large node lists take their memory from the same region (node_lists.hpp).
//
// Blocks mapped one by one and kept for reuse, best fit by size, each stayed as large as the
// largest node it ever served, and every size in use needed a block of its own: on 8 threads a
// fit held 38-63 MiB of blocks where at most 11-21 MiB were in use at once. Taken lowest address
// first, the blocks in use stay packed at the start of the region, whose pages stay resident
// and are not faulted in again, so the memory held follows the most in use at once.
#pragma once

#include <cstddef>

namespace kestrune::core {

// A block of scratch memory (contents unspecified), handed back when destroyed or reset.
class ScratchBlock {
 public:
  ScratchBlock() = default;
  ~ScratchBlock() { reset(); }
  ScratchBlock(ScratchBlock&& other) noexcept;
  ScratchBlock& operator=(ScratchBlock&& other) noexcept;
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;

  std::byte* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return bytes_; }

  // Hands the block back (from any thread); the block is empty afterwards.
  void reset() noexcept;

 private:
  friend ScratchBlock take_scratch_block(std::size_t bytes);
  ScratchBlock(std::byte* data, std::size_t bytes, bool in_region) noexcept
      : data_(data), bytes_(bytes), in_region_(in_region) {}

  std::byte* data_ = nullptr;
  std::size_t bytes_ = 0;
  bool in_region_ = false;  // else mapped on its own
};

// The address space reserved for scratch blocks and large node lists; nothing is resident until
// a block is written. Fits on 8 threads had at most 11-21 MiB of scratch in use at once, and a
// 255-leaf fit on 1,000,000 rows about 50 MiB with its lists; larger data gets its larger blocks
// mapped on their own and its larger lists from the heap. Kept well below a gibibyte, as address
// space counts against a process limit (ulimit -v) whether or not it is touched.
inline constexpr std::size_t kScratchRegionBytes = std::size_t{256} << 20;

// Blocks are carved in multiples of this many bytes: small enough that a node list just past a
// multiple wastes little of it.
inline constexpr std::size_t kScratchGranule = std::size_t{16} << 10;

// A block of at least `bytes` bytes: the lowest free range of the region that holds it, else (a
// block larger than the free ranges, or no region) memory mapped for it alone. Throws
// std::bad_alloc when neither can be had.
ScratchBlock take_scratch_block(std::size_t bytes);

// Memory for `bytes` bytes (nonzero, rounded up to whole granules) from the region's lowest free
// range that holds them; nullptr when none does (or there is no region).
void* take_region_bytes(std::size_t bytes) noexcept;

// Hands back what take_region_bytes gave for the same `bytes`.
void give_region_bytes(void* data, std::size_t bytes) noexcept;

// Whether `data` lies in the region.
bool in_scratch_region(const void* data) noexcept;

// Where the region's highest block in use so far ended, in bytes from its start: the most of it
// ever touched. For tests and measurement.
std::size_t scratch_region_high_water();

}  // namespace kestrune::core
