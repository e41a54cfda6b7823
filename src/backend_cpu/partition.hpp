// Row partition: the rows of a node divided by an accepted split, with each child's sums.
#pragma once

#include <cstddef>
#include <span>

#include "core/binned.hpp"
#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/backend_ops.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::backend_cpu {

// Nodes of at least this many rows are routed on the worker pool (when it has more than one thread).
// Wall times on 8 cores shared with other work (load 6-9), best of 15, rows in order over a
// 28-feature matrix, serial / on a pool of 8: 30,000 rows 0.047 / 0.03-0.06 ms, 50,000 0.075 /
// 0.05, 100,000 0.15 / 0.08-0.10, 300,000 0.46 / 0.18-0.27. In a fit the workers are mostly busy
// with other nodes: a threshold of 25,000 made the 300,000 x 28 leaf-wise fit no faster, one of
// 100,000 made it slower.
inline constexpr std::size_t kParallelPartitionRows = 50000;
// The smallest chunk of rows one pool task routes.
inline constexpr std::size_t kMinPartitionChunk = 4096;
// A parallel partition cuts its rows into this many blocks per pool thread: the summing pass
// starts once the first block is routed, and workers that join late still find blocks to take.
// One block per thread left the 300,000 x 28 fit about 5% slower than two or four.
inline constexpr std::size_t kPartitionBlocksPerThread = 4;
// A parallel partition wakes at most one thread per this many rows (at least 2, at most the
// pool). Between 6,000 and 50,000 the partitions above differed by less than the noise, and so
// did the fit for 10,000.
inline constexpr std::size_t kPartitionRowsPerThread = 25000;

using engine::WhileSumming;

// Rows per chunk of a parallel partition: max(rows / chunks, 4096), chunks taken as 1 when 0.
std::size_t partition_chunk_size(std::size_t rows, std::size_t chunks);

// Each row of the node goes left or right by the one routing rule (engine/routing.hpp) on its
// code for the split feature; both lists keep the node's order. Checks, first failure wins:
//   a node row >= row_count       -> the NodeSlice bounds error, wrapped as EngineError::Core
//   gradients length != row_count -> ContractViolation "gradients length {} does not match row_count {}"
//   feature_index >= feature_count -> ContractViolation "split feature_index {} exceeds feature_count {}"
//
// With `while_summing`, a node partitioned in blocks adds up its sums on a worker of their own,
// and the calling thread runs while_summing as soon as the lists are whole; a node partitioned
// on one thread calls it once the partition is complete. It is not called when the partition
// fails. The result is the same either way.
core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                             std::span<const core::GradientPair> gradients, const core::NodeSlice& node,
                                             const engine::SplitCandidate& split,
                                             const WhileSumming& while_summing = {});

// The same partition with the chunking chosen by the caller: serial when chunk_size is 0,
// otherwise chunks of chunk_size rows routed by whichever threads of the pool are free. Every
// chunking gives the same result. Rows are routed without a branch on their side, the codes (and
// gradient pairs) of rows further on fetched ahead. A chunk writes its rows into its own stretch of
// one buffer; the calling thread sums both sides in one pass in node order as the chunks are
// routed, and the chunks are then copied into the two lists at places known from their counts.
core::PartitionResult partition_rows(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                     std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                     std::size_t chunk_size, const WhileSumming& while_summing = {});

}  // namespace kestrune::backend_cpu
