// Parallel histogram building for nodes whose rows lie scattered over the matrix.
//
// A pass over a node's rows is bound by memory latency when the rows are scattered: each row
// costs a cache miss for its codes and one for its gradient pair, however few features the pass
// sums. Cutting the features into pieces for the pool then only repeats those misses once per
// piece. A gathered build first copies the node's codes (the passes' features) and gradient pairs
// into one compact block, row chunks on the pool, so that the misses are spread over the threads,
// and the pieces then sum the block, which they read in sequence. The block holds the codes
// column by column, so that each piece reads only its own features' codes.
//
// The block lists the rows in the node's order, so every bin still receives its rows in that
// order: the histograms are bit-identical to those of any other build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// Rows per pool task of the gather.
inline constexpr std::size_t kGatherChunkRows = 4096;
// The largest block a gathered build copies, in codes; a larger node is built without gathering.
inline constexpr std::size_t kMaxGatheredCodes = std::size_t{1} << 28;

// Whether a parallel build of the node should gather: the arena loop serves the bin count, the
// rows are not one contiguous run of the matrix (those are read in sequence already) and the
// block stays within kMaxGatheredCodes.
bool gathered_build_applies(std::span<const std::uint32_t> rows, std::size_t total_width,
                            std::size_t bins_per_feature);

// The histograms of `pieces`, one list per piece in piece order, built from the node's rows
// gathered into a block on at most `threads` threads. `passes` are the feature ranges gathered
// (the tiles joined, see histogram_passes) and `pieces` the same features cut for the pool; every
// range must lie inside the matrix (panic otherwise). A row outside the matrix, or a code not
// below bins_per_feature, panics as in the other loops. `node_pairs`, when it holds one pair per
// row, are the rows' gradient pairs in node order, used instead of gathering them.
std::vector<std::vector<core::FeatureHistogram>> build_gathered_pieces(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    std::span<const std::uint32_t> rows, std::span<const core::FeatureTile> passes,
    std::span<const core::FeatureTile> pieces, std::size_t bins_per_feature, std::size_t threads,
    std::span<const core::GradientPair> node_pairs = {});

// A parallel build of a node holding at least one in kIndexedColumnsRowShare of the matrix's
// rows, over at least kIndexedColumnsMinFeatures features, reads the column-major codes at the
// node's rows instead of gathering them: each column's codes it reads lie close together, and
// the copy into a block is saved, as is the block's memory. Built alone on 8 threads, such a
// node took 0.62-0.71x the gathered build's time over 500 features and 0.67-0.92x over 40 (at
// half the rows); over 28 features the gain was small, and 200 rounds of a 1,000,000 x 28 fit
// were 2% slower with it. A node of an eighth of the rows or fewer was as fast gathered or
// faster (twice as fast at a sixteenth): the columns' cache lines then serve few of its rows.
// Fits at 8 threads: on 200,000 x 500 7% faster over 300 rounds (13% over 100), on 500,000 x 90
// and 596,061 x 40 the same; memory 5-20 MiB lower. Inside a fit, where other nodes' work runs
// beside a node's build, nodes of an eighth of the rows did better read in place too (one in 8
// against one in 4, three alternating pairs each at 8 threads: 200,000 x 500 over 300 rounds
// 8.76-9.56 against 9.16-10.13 s, 500,000 x 90 over 500 rounds 11.67-11.90 against 12.16-12.68 s,
// 596,061 x 40 over 300 rounds about 1% faster; memory 2-18 MiB lower); one in 16 was no better.
inline constexpr std::size_t kIndexedColumnsRowShare = 8;
inline constexpr std::size_t kIndexedColumnsMinFeatures = 32;

// Whether a parallel build of the node (one gathered_build_applies to) reads the column-major
// codes at its rows instead: they exist, the node holds a large enough share of the rows and
// the build covers enough features.
bool indexed_columns_apply(const core::BinnedMatrix& binned, std::span<const std::uint32_t> rows,
                           std::size_t total_width);

// The histograms of `pieces`, as build_gathered_pieces gives them, summed straight from the
// column-major codes at the node's rows, each piece on its own task. Every piece must lie
// inside the matrix (panic otherwise); a row outside the matrix, or a code not below
// bins_per_feature, panics as in the other loops.
std::vector<std::vector<core::FeatureHistogram>> build_indexed_column_pieces(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    std::span<const std::uint32_t> rows, std::span<const core::FeatureTile> pieces, std::size_t bins_per_feature,
    std::size_t threads, std::span<const core::GradientPair> node_pairs = {});

}  // namespace kestrune::backend_cpu
