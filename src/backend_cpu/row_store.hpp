// Node row lists and the partition's scratch kept for reuse across nodes and rounds. Each split
// makes two row lists and drops its parent's; freed to the allocator from whichever thread held
// them last, their memory goes back to per-thread heaps that are trimmed and faulted in again
// (thousands of page faults per tree on 8 threads). The partition takes its lists and scratch
// from here first, and the growers hand the lists they are done with back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// At most this many bytes of each kind of buffer are kept; buffers handed back beyond it are freed.
inline constexpr std::size_t kKeptRowBytes = std::size_t{32} << 20;

// An empty row list with room for at least `rows` rows: the smallest kept one that is not more
// than about four times too large, else a new one.
std::vector<std::uint32_t> take_row_list(std::size_t rows);

// Keeps the list's memory for later partitions (while under the byte cap).
void recycle_rows(std::vector<std::uint32_t>&& rows);

// An empty list of gradient pairs with room for at least `pairs`, chosen like a row list.
std::vector<core::GradientPair> take_pair_list(std::size_t pairs);

void recycle_pairs(std::vector<core::GradientPair>&& pairs);

// Uninitialised bytes a parallel partition routes rows and gathers gradient pairs into.
struct PartitionScratch {
  std::unique_ptr<std::byte[]> bytes;
  std::size_t size = 0;
};

// Scratch of at least `size` bytes (contents unspecified), chosen like a row list.
PartitionScratch take_partition_scratch(std::size_t size);

void recycle_partition_scratch(PartitionScratch&& scratch);

}  // namespace kestrune::backend_cpu
