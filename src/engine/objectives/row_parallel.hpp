// How the objectives spread their per-row and per-group work over the worker pool.
//
// Every per-row gradient is a function of its own row alone, and every ranking group writes only
// its own rows, so the work is cut into fixed pieces that may run in any order. Sums keep their
// single running total in row (or group) order: the terms are computed on the pool a batch at a
// time and then added one by one on the calling thread, so every loss is the same float whatever
// the pool size, and the same as the plain serial loop.
//
// Small inputs stay on the calling thread: a call uses at most one thread per `work_per_thread`
// items, which each caller sets from what one item costs (a thread wakes in some microseconds;
// it must get at least a few tens of microseconds of work to repay that).
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "parallel/ordered_blocks.hpp"
#include "parallel/parallel.hpp"

namespace kestrune::engine::objectives {

// Rows per piece of a per-row loop: small enough to balance, large enough to stream.
inline constexpr std::size_t kRowChunk = 4096;

// Threads worth using for `items` items of which one thread should get at least `per_thread`.
inline std::size_t threads_for(std::size_t items, std::size_t per_thread) {
  return std::max<std::size_t>(items / std::max<std::size_t>(per_thread, 1), 1);
}

// body(first, last) over the chunks of kRowChunk rows of [0, rows).
template <typename Body>
void for_row_chunks(std::size_t rows, std::size_t rows_per_thread, Body&& body) {
  parallel::parallel_for_chunks(rows, kRowChunk, body, parallel::kDefaultMinParallel,
                                threads_for(rows, rows_per_thread));
}

// Items per block of the ordered folds below, and blocks in flight per thread: a block's terms are
// still in cache when the calling thread adds them up.
inline constexpr std::size_t kTermBlock = 2048;
inline constexpr std::size_t kTermBlocksPerThread = 4;

// Threads that fold_terms_in_order and fold_term_blocks_in_order use for `count` items.
inline std::size_t term_threads(std::size_t count, std::size_t items_per_thread) {
  return std::min(threads_for(count, items_per_thread), parallel::current_num_threads());
}

// fold(value) for every value that produce(first, terms) writes into `terms`, the terms of items
// first .. first + terms.size() - 1, for the blocks of kTermBlock items (the last may be shorter)
// in order, on the calling thread, so that a term's work may be shared across its block. The
// blocks are produced on the pool when the count is large enough, and the calling thread adds up
// each block as soon as it is ready, while the workers produce the next ones. A block that throws
// ends the call with the error of the first failing block.
template <typename T, typename ProduceBlock, typename Fold>
void fold_term_blocks_in_order(std::size_t count, std::size_t items_per_thread, ProduceBlock&& produce,
                               Fold&& fold) {
  const std::size_t threads = term_threads(count, items_per_thread);
  const std::size_t blocks = (count + kTermBlock - 1) / kTermBlock;
  const auto block_length = [&](std::size_t block) { return std::min(kTermBlock, count - block * kTermBlock); };
  if (threads <= 1) {
    std::vector<T> terms(std::min(count, kTermBlock));
    for (std::size_t block = 0; block < blocks; ++block) {
      const std::span<T> out = std::span<T>(terms).first(block_length(block));
      produce(block * kTermBlock, out);
      for (const T& value : out) fold(value);
    }
    return;
  }
  const std::size_t slots = kTermBlocksPerThread * threads;
  std::vector<T> terms(slots * kTermBlock);
  const auto block_span = [&](std::size_t block, std::size_t slot) {
    return std::span<T>(terms).subspan(slot * kTermBlock, block_length(block));
  };
  parallel::produce_and_consume_in_order(
      blocks, slots, threads,
      [&](std::size_t block, std::size_t slot) { produce(block * kTermBlock, block_span(block, slot)); },
      [&](std::size_t block, std::size_t slot) {
        for (const T& value : block_span(block, slot)) fold(value);
      });
}

// fold(term(i)) for i = 0 .. count - 1, in that order, on the calling thread; the terms are
// computed on the pool as fold_term_blocks_in_order computes its blocks. term must return exactly
// T. A term that throws ends the call with the first error in index order.
template <typename T, typename Term, typename Fold>
void fold_terms_in_order(std::size_t count, std::size_t items_per_thread, Term&& term, Fold&& fold) {
  if (term_threads(count, items_per_thread) <= 1) {
    for (std::size_t i = 0; i < count; ++i) fold(term(i));
    return;
  }
  fold_term_blocks_in_order<T>(
      count, items_per_thread,
      [&](std::size_t first, std::span<T> out) {
        for (std::size_t k = 0; k < out.size(); ++k) out[k] = term(first + k);
      },
      fold);
}

// Consecutive groups of `boundaries` cut into pieces of at least `min_rows` rows each (the last
// may hold fewer): piece p is groups pieces[p] .. pieces[p + 1] - 1. Fixed by the boundaries.
inline std::vector<std::size_t> group_pieces(std::span<const std::size_t> boundaries, std::size_t min_rows) {
  std::vector<std::size_t> pieces{0};
  const std::size_t groups = boundaries.empty() ? 0 : boundaries.size() - 1;
  std::size_t start_row = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    if (boundaries[g + 1] - start_row >= min_rows) {
      pieces.push_back(g + 1);
      start_row = boundaries[g + 1];
    }
  }
  if (pieces.back() != groups) pieces.push_back(groups);
  return pieces;
}

// Rows per piece of a per-group loop.
inline constexpr std::size_t kGroupPieceRows = 2048;

// body(first_group, last_group) over pieces of whole groups; the groups of a piece run in order
// on one thread. `rows_per_thread` as for for_row_chunks.
template <typename Body>
void for_group_pieces(std::span<const std::size_t> boundaries, std::size_t rows_per_thread, Body&& body) {
  const std::size_t rows = boundaries.empty() ? 0 : boundaries.back();
  const std::size_t threads = threads_for(rows, rows_per_thread);
  if (threads <= 1 || parallel::current_num_threads() <= 1) {
    body(std::size_t{0}, boundaries.empty() ? std::size_t{0} : boundaries.size() - 1);
    return;
  }
  const std::vector<std::size_t> pieces = group_pieces(boundaries, kGroupPieceRows);
  parallel::parallel_for(
      0, pieces.size() - 1, [&](std::size_t p) { body(pieces[p], pieces[p + 1]); }, parallel::kDefaultMinParallel,
      threads);
}

}  // namespace kestrune::engine::objectives
