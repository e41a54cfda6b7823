// Row partition: the rows of a node divided by an accepted split, with each child's sums.
#pragma once

#include <cstddef>
#include <span>

#include "core/binned.hpp"
#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::backend_cpu {

// Nodes of at least this many rows are routed on the worker pool (when it has more than one thread).
inline constexpr std::size_t kParallelPartitionRows = 50000;
// The smallest chunk of rows one pool task routes.
inline constexpr std::size_t kMinPartitionChunk = 4096;
// A parallel partition cuts its rows into this many blocks per pool thread: the summing pass
// starts once the first block is routed, and workers that join late still find blocks to take.
inline constexpr std::size_t kPartitionBlocksPerThread = 4;
// A parallel partition uses one thread per this many rows (at least 2, at most the pool). Means
// on 8 cores at load 8, rows spread over a 1,000,000-row matrix: 50,000 rows take 0.67 ms on one
// thread and 0.35-0.40 ms on 2; 100,000 1.3 ms and 0.5-0.7 ms on 4; 300,000 4.3 ms and 0.7-1.2 ms
// on 8; 1,000,000 14 ms and 5 ms on 8 (the two sides' sums, which keep the serial order, stay on
// two threads). Measured before routing became branch-free and prefetched.
inline constexpr std::size_t kPartitionRowsPerThread = 25000;

// Rows per chunk of a parallel partition: max(rows / threads, 4096), threads taken as 1 when 0.
std::size_t partition_chunk_size(std::size_t rows, std::size_t threads);

// Each row of the node goes left or right by the one routing rule (engine/routing.hpp) on its
// code for the split feature; both lists keep the node's order. Checks, first failure wins:
//   a node row >= row_count       -> the NodeSlice bounds error, wrapped as EngineError::Core
//   gradients length != row_count -> ContractViolation "gradients length {} does not match row_count {}"
//   feature_index >= feature_count -> ContractViolation "split feature_index {} exceeds feature_count {}"
core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                             std::span<const core::GradientPair> gradients, const core::NodeSlice& node,
                                             const engine::SplitCandidate& split);

// The same partition with the chunking chosen by the caller: serial when chunk_size is 0,
// otherwise chunks of chunk_size rows routed by whichever threads of the pool are free. Every
// chunking gives the same result. Rows are routed without a branch on their side, the codes (and
// gradient pairs) of rows further on fetched ahead. A chunk writes its rows into its own stretch of
// one buffer; the calling thread sums both sides in one pass in node order as the chunks are
// routed, and the chunks are then copied into the two lists at places known from their counts.
core::PartitionResult partition_rows(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                     std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                     std::size_t chunk_size);

}  // namespace kestrune::backend_cpu
