// Node histograms' bin lists kept for reuse across nodes and rounds. A 255-leaf tree builds and
// drops hundreds of bundles; freed to the allocator, their memory goes back to per-thread heaps
// that are trimmed and faulted in again (thousands of page faults per tree on 8 threads). The
// growers hand the bundles they are done with back here and the histogram build takes its lists
// from here first.
#pragma once

#include <cstddef>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// At most this many bytes of bin lists are kept; lists handed back beyond it are freed. A
// depth-6 level-wise tree over 500 features (2 MiB a bundle) holds some 60 MiB of bundles at its
// last depths: with a 32 MiB cap each round freed and faulted in again about 5,700 pages.
inline constexpr std::size_t kKeptHistogramBytes = std::size_t{64} << 20;

// Up to this many bytes of the lists a thread hands back are kept for that thread's own next
// builds, which take them before the shared ones: a small node's histograms are often built,
// searched and handed back on one core, and the next small node built there then writes lines
// still in that core's cache. Children of nodes of 256-1,023 rows (higgs-like data, 8 threads)
// were built in 72-86 k cycles with it against 79-100 k without.
inline constexpr std::size_t kThreadKeptHistogramBytes = std::size_t{256} << 10;

// `count` lists of `bins` bins each (contents unspecified), appended to `lists`: kept ones first,
// taken under one hold of the store's lock. The builds take a list per feature, and eight threads
// taking them one at a time spent a millisecond a round waiting for one another on 90 features.
void take_histogram_lists(std::size_t count, std::size_t bins, std::vector<std::vector<core::HistogramBin>>& lists);

// Keeps the bundle's bin lists for later builds (while under the byte caps): this thread's own
// first, then the shared ones.
void recycle_histograms(core::HistogramBundle&& bundle);

}  // namespace kestrune::backend_cpu
