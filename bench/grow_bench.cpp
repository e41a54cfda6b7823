// One full leaf-wise tree of 255 leaves on 1,000,000 rows x 28 features of random 8-bit bins
// (255 bin values, 5% missing), or with --level one level-wise tree of depth 8 on 500,000 rows x
// 90 features (the regression benchmark's shape), or with --wide one of depth 6 on 200,000 rows x
// 500 features, with one pool thread and with the whole pool.
// Reports the best
// wall time per tree and how it splits between histogram building (smaller child only; siblings
// by subtraction), split search, row partition and the rest of the grower; then the median wall
// time and the median CPU time the process used per tree (all threads, spinning included), which
// tell how much a busy machine disturbed the runs and what the parallel work cost in total; and
// the minor page faults per tree once the first tree has warmed the allocator, with the share
// taken while histograms were being built. Several nodes are worked on at once, so with more
// than one thread the phase times are summed over threads (they may add up to more than the
// tree's wall time, and "other" turns negative), and faults of other phases that overlap a
// build count as the build's.
//
// Usage: kestrune_grow_bench [--level|--wide]                  both settings, each in a process of its own
//        kestrune_grow_bench [--level|--wide] --threads N      one setting (N = 0: all logical CPUs)

#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/env.hpp"
#include "engine/tiling.hpp"
#include "engine/tree_build/leaf_wise.hpp"
#include "engine/tree_build/level_wise.hpp"
#include "engine/types.hpp"
#include "parallel/pool_size.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace core = kestrune::core;
namespace engine = kestrune::engine;

// The tree grown and the matrix it is grown on.
struct Shape {
  const char* name;
  std::size_t rows;
  std::size_t features;
  core::TreeGrowth growth;
  std::size_t max_depth;
  std::optional<std::size_t> max_leaves;
};
constexpr Shape kLeafShape{"leaf-wise tree: 255 leaves", 1000000, 28, core::TreeGrowth::Leaf, 64, 255};
constexpr Shape kLevelShape{"level-wise tree: depth 8", 500000, 90, core::TreeGrowth::Level, 8, std::nullopt};
constexpr Shape kWideShape{"level-wise tree: depth 6", 200000, 500, core::TreeGrowth::Level, 6, std::nullopt};
constexpr int kRepeats = 5;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long minor_page_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The CPU backend with a stopwatch on each operation.
class TimedBackend {
 public:
  // Summed over the threads that call the backend: the growers work on several nodes at once.
  mutable std::atomic<double> histogram_seconds = 0.0;
  mutable std::atomic<double> search_seconds = 0.0;
  mutable std::atomic<double> partition_seconds = 0.0;
  mutable std::atomic<std::size_t> histogram_builds = 0;
  mutable std::atomic<long> histogram_faults = 0;

  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles) const {
    const auto start = Clock::now();
    const long faults = minor_page_faults();
    core::HistogramBundle bundle = cpu_.build_histograms(binned, gradients, node, tiles);
    histogram_seconds += since(start);
    histogram_faults += minor_page_faults() - faults;
    ++histogram_builds;
    return bundle;
  }
  // The build of a child from what its parent's partition handed over, as the trainer calls it.
  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles,
                                         std::span<const core::GradientPair> node_pairs) const {
    const auto start = Clock::now();
    const long faults = minor_page_faults();
    core::HistogramBundle bundle = cpu_.build_histograms(binned, gradients, node, tiles, node_pairs);
    histogram_seconds += since(start);
    histogram_faults += minor_page_faults() - faults;
    ++histogram_builds;
    return bundle;
  }
  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const engine::SplitCandidate& split) const {
    const auto start = Clock::now();
    core::PartitionResult result = cpu_.apply_split_with_stats(binned, gradients, node, split);
    partition_seconds += since(start);
    return result;
  }
  std::optional<engine::SplitCandidate> best_split_with_factor_context(
      const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options, std::span<const float> weights,
      std::span<const engine::CategoricalFeature> categorical, const engine::FactorSplitContext* factor) const {
    const auto start = Clock::now();
    std::optional<engine::SplitCandidate> best =
        cpu_.best_split_with_factor_context(bundle, options, weights, categorical, factor);
    search_seconds += since(start);
    return best;
  }
  std::optional<engine::SplitCandidate> best_split_morph_with_factor_context(
      const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options, std::span<const float> weights,
      std::span<const engine::CategoricalFeature> categorical, const engine::MorphContext& morph,
      const engine::FactorSplitContext* factor) const {
    return cpu_.best_split_morph_with_factor_context(bundle, options, weights, categorical, morph, factor);
  }
  std::optional<engine::LinearLeafPair> compute_linear_leaf_pair_from_partitions(
      const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
      const engine::LinearLeafPairRequest& request) const {
    return cpu_.compute_linear_leaf_pair_from_partitions(binned, gradients, request);
  }

  void reset() const {
    histogram_seconds = search_seconds = partition_seconds = 0.0;
    histogram_builds = 0;
    histogram_faults = 0;
  }

 private:
  kestrune::backend_cpu::CpuBackend cpu_;
};
static_assert(engine::BackendOps<TimedBackend>);

int run(const Shape& shape, const char* threads) {
  const std::size_t kRows = shape.rows;
  const std::size_t kFeatures = shape.features;
  setenv("RAYON_NUM_THREADS", threads, 1);
  std::mt19937_64 rng(42);
  std::vector<std::uint8_t> bins(kRows * kFeatures);
  for (std::uint8_t& bin : bins) bin = rng() % 20 == 0 ? 255 : static_cast<std::uint8_t>(rng() % 255);
  // Squared-error gradients of a target that depends on a few features, so that the tree has
  // structure to find at every depth.
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<core::GradientPair> gradients(kRows);
  for (std::size_t r = 0; r < kRows; ++r) {
    const std::uint8_t* row = &bins[r * kFeatures];
    const float target = (row[0] < 128 ? 1.0f : -1.0f) + static_cast<float>(row[1]) / 128.0f +
                         (row[2] > 200 && row[3] < 50 ? 2.0f : 0.0f) + 0.5f * noise(rng);
    gradients[r] = {-target, 1.0f};
  }
  const core::BinnedMatrix binned = core::BinnedMatrix::make(kRows, kFeatures, 255, std::move(bins));

  core::TrainParams params;
  params.tree_growth = shape.growth;
  params.max_depth = shape.max_depth;
  params.max_leaves = shape.max_leaves;
  engine::IterationControls controls = engine::IterationControls::make(1, 20, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  controls.max_leaves = shape.max_leaves;
  engine::SplitSelectionOptions options;
  options.missing_bin = binned.missing_bin;
  const std::vector<core::FeatureTile> tiles = engine::sampled_feature_tiles(kFeatures, 1, 0, 1.0f).tiles;
  core::RowList rows(kRows);
  for (std::size_t r = 0; r < kRows; ++r) rows[r] = static_cast<std::uint32_t>(r);

  const TimedBackend backend;
  double best = 1e30;
  double histogram = 0.0, search = 0.0, partition = 0.0;
  std::size_t leaves = 0, builds = 0;
  long last_histogram_faults = 0;
  std::vector<double> walls, cpus;
  long faults_after_first = 0;
  std::uint64_t digest = 0;  // of the predictions: equal digests before and after a change tell equal trees
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    if (repeat == 1) faults_after_first = minor_page_faults();
    std::vector<float> predictions(kRows, 0.0f);
    backend.reset();
    const double cpu_start = process_cpu_seconds();
    const auto start = Clock::now();
    engine::tree_build::TreeGrowthRequest request{.binned = binned,
                                                       .gradients = gradients,
                                                       .root_rows = rows,
                                                       .tree_index = 0,
                                                       .feature_tiles = tiles,
                                                       .options = options,
                                                       .params = params,
                                                       .controls = controls,
                                                       .predictions = predictions,
                                                       .feature_weights = {},
                                                       .categorical_features = {},
                                                       .morph = std::nullopt,
                                                       .raw_values = {},
                                                       .factor_exposures = nullptr};
    const engine::tree_build::GrownTree tree =
        shape.growth == core::TreeGrowth::Leaf ? engine::tree_build::build_tree_leaf_wise(backend, std::move(request))
                                               : engine::tree_build::build_tree_level_wise(backend, std::move(request));
    const double seconds = since(start);
    digest = 14695981039346656037ull;
    for (const float p : predictions) {
      std::uint32_t bits = 0;
      std::memcpy(&bits, &p, sizeof bits);
      digest = (digest ^ bits) * 1099511628211ull;
    }
    last_histogram_faults = backend.histogram_faults;
    walls.push_back(seconds);
    cpus.push_back(process_cpu_seconds() - cpu_start);
    if (seconds < best) {
      best = seconds;
      histogram = backend.histogram_seconds;
      search = backend.search_seconds;
      partition = backend.partition_seconds;
      builds = backend.histogram_builds;
      leaves = tree.stumps.size() + 1;
    }
  }
  const long faults_per_tree = (minor_page_faults() - faults_after_first) / (kRepeats - 1);
  std::printf("threads=%zu tiles=%zu leaves=%zu tree=%.1f ms (histograms %.1f ms in %zu builds, search %.1f ms, "
              "partition %.1f ms, other %.1f ms); median %.1f ms, cpu %.1f ms; %ld page faults per tree after the "
              "first, %ld of them in the last tree's histogram builds; predictions digest %016llx\n",
              kestrune::parallel::current_num_threads(), tiles.size(), leaves, best * 1e3, histogram * 1e3, builds,
              search * 1e3, partition * 1e3, (best - histogram - search - partition) * 1e3, median(walls) * 1e3,
              median(cpus) * 1e3, faults_per_tree, last_histogram_faults, static_cast<unsigned long long>(digest));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool level = argc > 1 && std::strcmp(argv[1], "--level") == 0;
  const bool wide = argc > 1 && std::strcmp(argv[1], "--wide") == 0;
  const Shape& shape = level ? kLevelShape : wide ? kWideShape : kLeafShape;
  if (level || wide) {
    --argc;
    ++argv;
  }
  if (argc == 3 && std::strcmp(argv[1], "--threads") == 0) return run(shape, argv[2]);
  std::printf("%s, %zu rows x %zu features, 8-bit bins; best of %d\n", shape.name, shape.rows, shape.features,
              kRepeats);
  for (const char* threads : {"1", "0"}) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(run(shape, threads));
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
