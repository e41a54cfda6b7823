#include "backend_cpu/histogram_store.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "parallel/spin.hpp"

namespace kestrune::backend_cpu {

namespace {

struct Store {
  parallel::SpinLock lock;  // held only while lists are popped or pushed
  std::vector<std::vector<core::HistogramBin>> lists;
  std::size_t bytes = 0;
};

Store& store() {
  // Never destroyed: pool workers may still hand lists back while the process exits.
  static Store* kept = new Store();
  return *kept;
}

// The lists this thread handed back last, which its own next builds take first.
struct ThreadKept {
  std::vector<std::vector<core::HistogramBin>> lists;
  std::size_t bytes = 0;
};

ThreadKept& thread_kept() {
  thread_local ThreadKept kept;
  return kept;
}

}  // namespace

void take_histogram_lists(std::size_t count, std::size_t bins, std::vector<std::vector<core::HistogramBin>>& lists) {
  const std::size_t first = lists.size();
  const auto missing = [&] { return count - (lists.size() - first); };
  ThreadKept& own = thread_kept();
  while (missing() != 0 && !own.lists.empty()) {
    lists.push_back(std::move(own.lists.back()));
    own.lists.pop_back();
    own.bytes -= lists.back().capacity() * sizeof(core::HistogramBin);
  }
  if (missing() != 0) {
    Store& s = store();
    const std::lock_guard<parallel::SpinLock> held(s.lock);
    const std::size_t kept = std::min(missing(), s.lists.size());
    for (std::size_t k = 0; k < kept; ++k) {
      lists.push_back(std::move(s.lists.back()));
      s.lists.pop_back();
      s.bytes -= lists.back().capacity() * sizeof(core::HistogramBin);
    }
  }
  lists.resize(first + count);
  // A kept list of another length (another fit's bin count) is resized; same-length ones, the
  // common case, are handed out as they are.
  for (std::size_t k = first; k < lists.size(); ++k) {
    if (lists[k].size() != bins) lists[k].resize(bins);
  }
}

void recycle_histograms(core::HistogramBundle&& bundle) {
  ThreadKept& own = thread_kept();
  std::size_t i = 0;
  for (; i < bundle.histograms.size(); ++i) {
    std::vector<core::HistogramBin>& bins = bundle.histograms[i].bins;
    const std::size_t bytes = bins.capacity() * sizeof(core::HistogramBin);
    if (bytes == 0) continue;
    if (own.bytes + bytes > kThreadKeptHistogramBytes) break;
    own.bytes += bytes;
    own.lists.push_back(std::move(bins));
  }
  if (i == bundle.histograms.size()) {
    bundle.histograms.clear();
    return;
  }
  Store& s = store();
  const std::lock_guard<parallel::SpinLock> held(s.lock);
  for (; i < bundle.histograms.size(); ++i) {
    core::FeatureHistogram& histogram = bundle.histograms[i];
    const std::size_t bytes = histogram.bins.capacity() * sizeof(core::HistogramBin);
    if (bytes == 0 || s.bytes + bytes > kKeptHistogramBytes) continue;
    s.bytes += bytes;
    s.lists.push_back(std::move(histogram.bins));
  }
  bundle.histograms.clear();
}

}  // namespace kestrune::backend_cpu
