// Node row lists and gradient pair lists kept for reuse across nodes and rounds.
// Each split makes two row lists and drops its parent's; small lists freed to the allocator from
// whichever thread held them last go back to per-thread heaps that are trimmed and faulted in
// again. The partition takes its lists from here first, and the growers hand the lists they are
// done with back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// At most this many bytes of each kind of list are kept; lists handed back beyond it are freed.
// Large lists live in the shared scratch region (core/node_lists.hpp), whose pages stay resident
// when a list goes back to it, so keeping them saves few page faults, and what is kept is held
// on top of the region. 500 rounds on 1,000,000 x 28 rows at 8 threads peaked 186-192 MiB over
// the data with 8 MiB kept, 179-181 with 4 and 172-178 with 1, in the same times (three
// alternating runs each).
inline constexpr std::size_t kKeptRowBytes = std::size_t{1} << 20;

// An empty row list with room for at least `rows` rows: the smallest kept one that is not more
// than about four times too large, else a new one.
core::RowList take_row_list(std::size_t rows);

// Keeps the list's memory for later partitions (while under the byte cap).
void recycle_rows(core::RowList&& rows);

// Keeps a pair list's memory the same way.
void recycle_pairs(core::PairList&& pairs);

// A list of exactly `rows` rows with unspecified contents (rows of an earlier list, or never
// written), for a caller that writes every element in place, chosen like a row list. Nothing is
// zeroed: that was a pass over the memory as long as the copy that follows.
core::RowList take_sized_row_list(std::size_t rows);

// A list of exactly `pairs` gradient pairs with unspecified contents, like take_sized_row_list.
core::PairList take_sized_pair_list(std::size_t pairs);

// The fewest training rows for which trim_heap_after_round trims.
inline constexpr std::size_t kTrimHeapRows = std::size_t{1} << 16;

// Hands the C library's free heap pages back to the system, when the training set has at least
// kTrimHeapRows rows. A round frees node row lists, pair lists and histograms on whichever pool
// thread last held them; the C library keeps that memory in per-thread heaps, where the next
// rounds' lists, sized differently, then take fresh pages beside the freed ones. Over hundreds of
// rounds on 1M rows the process held about 40 MiB more than any round needed. On small sets the
// buffers are too small to matter.
void trim_heap(std::size_t row_count);

// Rounds between two trims during a fit. Each trim hands back pages that the next round faults in
// again: trimming after every round took about 5% of the fit on each bench set at 8 threads (about
// a millisecond a round on 1M rows, and the page faults after it), where every fourth round took
// a third of that, for a peak within the noise of the former (0-5 MiB above it).
inline constexpr std::size_t kTrimHeapEveryRounds = 4;

// trim_heap after every kTrimHeapEveryRounds-th round; `rounds_done` counts the rounds run so far,
// this one included. A fit trims once more when it ends.
void trim_heap_after_round(std::size_t row_count, std::size_t rounds_done);

}  // namespace kestrune::backend_cpu
