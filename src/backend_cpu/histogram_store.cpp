#include "backend_cpu/histogram_store.hpp"

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

}  // namespace

std::vector<core::HistogramBin> take_histogram_bins(std::size_t bins) {
  std::vector<core::HistogramBin> list;
  {
    Store& s = store();
    const std::lock_guard<parallel::SpinLock> held(s.lock);
    if (!s.lists.empty()) {
      list = std::move(s.lists.back());
      s.lists.pop_back();
      s.bytes -= list.capacity() * sizeof(core::HistogramBin);
    }
  }
  // A kept list of another length (another fit's bin count) is resized; same-length ones, the
  // common case, are handed out as they are.
  if (list.size() != bins) list.resize(bins);
  return list;
}

void recycle_histograms(core::HistogramBundle&& bundle) {
  Store& s = store();
  const std::lock_guard<parallel::SpinLock> held(s.lock);
  for (core::FeatureHistogram& histogram : bundle.histograms) {
    const std::size_t bytes = histogram.bins.capacity() * sizeof(core::HistogramBin);
    if (bytes == 0 || s.bytes + bytes > kKeptHistogramBytes) continue;
    s.bytes += bytes;
    s.lists.push_back(std::move(histogram.bins));
  }
  bundle.histograms.clear();
}

}  // namespace kestrune::backend_cpu
