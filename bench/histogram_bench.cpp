// Histogram building on 1,000,000 rows x 28 features x 255 bins (8-bit codes): the root build,
// the smaller child's build after a split (each on one thread and with the tiles of this pool
// size), and the sibling by subtraction. Each is reported in
// nanoseconds per row-feature next to the floor set by the bytes the loop has to read at the
// machine's single-thread streaming bandwidth, measured here with a plain read loop. Then the
// per-call costs a grower pays per node: the sibling's bundle by subtraction, and the
// histograms of nodes of 64, 1,024 and 4,096 scattered rows.
//
// Usage: kestrune_histogram_bench [rows] [nodes]   (RAYON_NUM_THREADS sets the pool of the tiled
// run; "nodes" runs only the small-node lines)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string_view>
#include <time.h>
#include <vector>

#include "backend_cpu/histogram.hpp"
#include "backend_cpu/histogram_subtract.hpp"
#include "backend_cpu/partition.hpp"
#include "core/binned.hpp"
#include "engine/tiling.hpp"
#include "engine/tree_build/node_split.hpp"
#include "parallel/pool_size.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kestrune::core::FeatureTile;
using kestrune::core::GradientPair;

constexpr std::size_t kFeatures = 28;
constexpr std::uint16_t kMaxBin = 255;  // 256 bins per feature, code 255 the missing bin
constexpr int kRepeats = 7;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Best of kRepeats runs, in seconds; the best run is the one least disturbed by the machine.
// Single-thread loops are timed in the calling thread's CPU time, which a busy machine does not
// inflate by preempting the thread; pool runs need wall time.
double best_seconds(const std::function<void()>& body, bool wall = false) {
  double best = 1e30;
  for (int i = 0; i < kRepeats; ++i) {
    const auto start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    body();
    const double seconds = wall ? std::chrono::duration<double>(Clock::now() - start).count()
                                : thread_cpu_seconds() - cpu_start;
    best = std::min(best, seconds);
  }
  return best;
}

// Single-thread streaming read bandwidth in bytes per second: a sum over a buffer far larger
// than the caches, with independent accumulators so that the adds do not limit it.
double streaming_read_bandwidth() {
  const std::size_t words = std::size_t{1} << 26;  // 512 MiB
  std::vector<std::uint64_t> buffer(words);
  for (std::size_t i = 0; i < words; ++i) buffer[i] = i * 0x9E3779B97F4A7C15ull;
  volatile std::uint64_t sink = 0;
  const double seconds = best_seconds([&] {
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    for (std::size_t i = 0; i < words; i += 4) {
      a += buffer[i];
      b += buffer[i + 1];
      c += buffer[i + 2];
      d += buffer[i + 3];
    }
    sink = sink + (a ^ b ^ c ^ d);
  });
  return static_cast<double>(words * sizeof(std::uint64_t)) / seconds;
}

void report(const char* name, double seconds, std::size_t rows, std::size_t features, double bytes, double bandwidth) {
  const double cells = static_cast<double>(rows) * static_cast<double>(features);
  const double ns = seconds * 1e9 / cells;
  const double floor_ns = bytes / bandwidth * 1e9 / cells;
  std::printf("%-34s %9.3f ms  %7.3f ns/row-feature  floor %6.3f ns  (%.2fx)\n", name, seconds * 1e3, ns, floor_ns,
              ns / floor_ns);
}

// The histograms of small nodes (a 64-row node is almost all fixed cost), each averaged over
// many calls on a few different row sets scattered over the matrix.
void small_node_lines(const kestrune::core::BinnedMatrix& binned, const std::vector<GradientPair>& gradients,
                      std::size_t rows, std::mt19937& rng) {
  const std::vector<FeatureTile> one_tile{FeatureTile{0, kFeatures}};
  for (const std::size_t node_rows : {std::size_t{64}, std::size_t{1024}, std::size_t{4096}}) {
    std::vector<kestrune::core::NodeSlice> nodes;
    for (std::uint32_t k = 0; k < 8; ++k) {
      std::vector<std::uint32_t> picked;
      std::uniform_int_distribution<std::uint32_t> any_row(0, static_cast<std::uint32_t>(rows - 1));
      for (std::size_t i = 0; i < node_rows; ++i) picked.push_back(any_row(rng));
      std::sort(picked.begin(), picked.end());
      nodes.push_back(kestrune::core::NodeSlice::make(k, std::move(picked)));
    }
    const int calls = static_cast<int>(std::max<std::size_t>(1, 128000 / node_rows));
    const double small_seconds = best_seconds([&] {
      for (int i = 0; i < calls; ++i) {
        const auto bundle = kestrune::backend_cpu::build_histograms(binned, gradients, nodes[i % nodes.size()], one_tile);
        if (bundle.histograms.size() != kFeatures) std::abort();
      }
    });
    char name[64];
    std::snprintf(name, sizeof(name), "%zu-row node, one thread", node_rows);
    std::printf("%-34s %9.3f us per call\n", name, small_seconds * 1e6 / calls);
    // The per-feature loop alone on the same nodes: the loop of small nodes and of histograms of
    // more bins than the arena holds.
    const double per_feature_seconds = best_seconds([&] {
      for (int i = 0; i < calls; ++i) {
        const auto histograms = kestrune::backend_cpu::build_tile_histograms_per_feature(
            binned, gradients, nodes[i % nodes.size()].row_indices, one_tile[0], kMaxBin + 1);
        if (histograms.size() != kFeatures) std::abort();
      }
    });
    std::snprintf(name, sizeof(name), "%zu-row node, per-feature loop", node_rows);
    std::printf("%-34s %9.3f us per call\n", name, per_feature_seconds * 1e6 / calls);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::mt19937 rng(12345);

  std::vector<std::uint8_t> codes(rows * kFeatures);
  std::uniform_int_distribution<int> code(0, kMaxBin);
  for (auto& c : codes) c = static_cast<std::uint8_t>(code(rng));
  const auto binned = kestrune::core::BinnedMatrix::make(rows, kFeatures, kMaxBin, std::move(codes));
  std::vector<GradientPair> gradients(rows);
  std::uniform_real_distribution<float> grad(-1.0f, 1.0f);
  std::uniform_real_distribution<float> hess(0.05f, 1.0f);
  for (auto& pair : gradients) pair = GradientPair{grad(rng), hess(rng)};
  std::vector<std::uint32_t> all_rows(rows);
  for (std::size_t r = 0; r < rows; ++r) all_rows[r] = static_cast<std::uint32_t>(r);
  const auto root = kestrune::core::NodeSlice::make(0, all_rows);

  const bool nodes_only = argc > 2 && std::string_view(argv[2]) == "nodes";
  if (nodes_only) {
    small_node_lines(binned, gradients, rows, rng);
    return 0;
  }
  const double bandwidth = streaming_read_bandwidth();
  std::printf("rows %zu, features %zu, bins %d, pool threads %zu\n", rows, kFeatures, kMaxBin + 1,
              kestrune::parallel::current_num_threads());
  std::printf("single-thread streaming read: %.2f GB/s\n", bandwidth / 1e9);
  // What the loop must read: one code per row-feature, and per row its index and gradient pair.
  const auto bytes_for = [](std::size_t n) {
    return static_cast<double>(n) * (kFeatures + sizeof(std::uint32_t) + sizeof(GradientPair));
  };

  // One tile of all features: a single pass on the calling thread.
  const std::vector<FeatureTile> one_tile{FeatureTile{0, kFeatures}};
  kestrune::core::HistogramBundle parent;
  const double root_seconds = best_seconds([&] {
    parent = kestrune::backend_cpu::build_histograms(binned, gradients, root, one_tile);
  });
  report("root, one thread", root_seconds, rows, kFeatures, bytes_for(rows), bandwidth);

  // The round's tiles for the pool size of this process.
  const auto tiles = kestrune::engine::feature_tiles_from_indices(
      [] {
        std::vector<std::size_t> all(kFeatures);
        for (std::size_t f = 0; f < kFeatures; ++f) all[f] = f;
        return all;
      }(),
      kestrune::engine::feature_tile_width_cap(kFeatures, kestrune::parallel::current_num_threads()));
  const double tiled_seconds = best_seconds([&] {
    (void)kestrune::backend_cpu::build_histograms(binned, gradients, root, tiles);
  }, /*wall=*/true);
  std::printf("%-34s %9.3f ms  (%zu tiles)\n", "root, pool tiles", tiled_seconds * 1e3, tiles.size());

  // A split sending about a fifth of the rows left: the left child is the smaller one, its rows
  // scattered over the whole matrix.
  kestrune::engine::SplitCandidate split;
  split.feature_index = 3;
  split.threshold_bin = 50;
  split.default_left = false;
  const auto parts = kestrune::backend_cpu::apply_split_with_stats(binned, gradients, root, split);
  const auto child = kestrune::core::NodeSlice::make(1, parts.left_rows);
  kestrune::core::HistogramBundle child_bundle;
  const double child_seconds = best_seconds([&] {
    child_bundle = kestrune::backend_cpu::build_histograms(binned, gradients, child, one_tile);
  });
  report("smaller child, one thread", child_seconds, child.row_indices.size(), kFeatures,
         bytes_for(child.row_indices.size()), bandwidth);
  // The same child with the round's tiles: on a pool of several threads its scattered rows are
  // gathered first, then summed in pieces.
  const double child_tiled_seconds = best_seconds([&] {
    (void)kestrune::backend_cpu::build_histograms(binned, gradients, child, tiles);
  }, /*wall=*/true);
  std::printf("%-34s %9.3f ms  (%zu tiles)\n", "smaller child, pool tiles", child_tiled_seconds * 1e3, tiles.size());

  std::vector<kestrune::core::FeatureHistogram> sibling(kFeatures);
  const double subtract_seconds = best_seconds([&] {
    for (std::size_t f = 0; f < kFeatures; ++f) {
      sibling[f] = kestrune::backend_cpu::subtract_histograms(parent.histograms[f], child_bundle.histograms[f]);
    }
  });
  std::printf("%-34s %9.3f us  (%zu histograms of %d bins)\n", "sibling by subtraction", subtract_seconds * 1e6,
              kFeatures, kMaxBin + 1);

  // What a grower pays per node: the sibling bundle made and dropped, and the histograms of
  // small nodes.
  constexpr int kCalls = 2000;
  const double bundle_subtract_seconds = best_seconds([&] {
    for (int i = 0; i < kCalls; ++i) {
      // As a grower does: the parent's bundle is moved in and comes back as the sibling's.
      parent = kestrune::engine::tree_build::subtract_histogram_bundle(std::move(parent), child_bundle, 2);
      if (parent.histograms.size() != kFeatures) std::abort();
    }
  });
  std::printf("%-34s %9.3f us per call\n", "sibling bundle (grower)", bundle_subtract_seconds * 1e6 / kCalls);
  small_node_lines(binned, gradients, rows, rng);
  return 0;
}
