// Row partition and leaf prediction updates on 1,000,000 rows x 28 features (8-bit codes), all on
// one thread (the pool is set to one thread, so the block path's tasks and the work that
// assembles its sides run one after the other on the calling thread), timed in thread CPU time,
// best of 15:
// - a split of the root's rows about half and half, of the root's rows nine to one (as in the
//   lopsided trees of leaf-wise growth, whose largest side is summed in one chain), and of a
//   quarter of the rows scattered over the matrix, each through the serial partition and the
//   block path (8 blocks), in nanoseconds per row;
// - the deferred prediction updates of a tree of 256 leaves at depth 8 (every row gains 8 constant
//   increments), in nanoseconds per row.
//
// With a second argument, the pool has that many threads and the partitions are the trainer's
// entry point (apply_split_with_stats, in blocks on the pool from kParallelPartitionRows rows),
// timed in wall time, best and median.
//
// Usage: kestrune_partition_bench [rows] [threads]

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <time.h>
#include <vector>

#include "backend_cpu/partition.hpp"
#include "backend_cpu/row_store.hpp"
#include "core/binned.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "engine/tree_build/leaf_updates.hpp"
#include "parallel/pool_size.hpp"

namespace {

using namespace kestrune;

constexpr std::size_t kFeatures = 28;
constexpr int kRepeats = 15;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool g_wall = false;  // a pool of several threads: wall time

struct Timing {
  double best;
  double median;
};

// Best and median of kRepeats runs of body (after prepare, which is not timed), in seconds.
Timing time_runs(const std::function<void()>& body, const std::function<void()>& prepare = [] {}) {
  const auto clock = g_wall ? wall_seconds : thread_cpu_seconds;
  std::vector<double> runs;
  for (int i = 0; i < kRepeats; ++i) {
    prepare();
    const double start = clock();
    body();
    runs.push_back(clock() - start);
  }
  std::sort(runs.begin(), runs.end());
  return {runs.front(), runs[runs.size() / 2]};
}

void report(const char* name, Timing timing, std::size_t rows) {
  std::printf("%-44s %9.3f ms  %6.2f ns/row  (median %.3f ms)\n", name, timing.best * 1e3,
              timing.best * 1e9 / static_cast<double>(rows), timing.median * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("usage: kestrune_partition_bench [rows (default 1000000)] [pool threads (default 1)]\n");
    return 0;
  }
  const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  setenv("RAYON_NUM_THREADS", argc > 2 ? argv[2] : "1", 1);
  g_wall = parallel::current_num_threads() > 1;
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> codes(rows * kFeatures);
  std::uniform_int_distribution<int> code(0, 255);
  for (auto& c : codes) c = static_cast<std::uint8_t>(code(rng));
  const auto binned = core::BinnedMatrix::make(rows, kFeatures, 255, std::move(codes));
  std::vector<core::GradientPair> gradients(rows);
  std::uniform_real_distribution<float> grad(-1.0f, 1.0f);
  std::uniform_real_distribution<float> hess(0.05f, 1.0f);
  for (auto& pair : gradients) pair = core::GradientPair{grad(rng), hess(rng)};
  std::printf("rows %zu, features %zu, pool threads %zu\n", rows, kFeatures, parallel::current_num_threads());

  std::vector<std::uint32_t> root(rows);
  for (std::size_t r = 0; r < rows; ++r) root[r] = static_cast<std::uint32_t>(r);
  std::vector<std::uint32_t> quarter;
  std::bernoulli_distribution pick(0.25);
  for (std::size_t r = 0; r < rows; ++r) {
    if (pick(rng)) quarter.push_back(static_cast<std::uint32_t>(r));
  }
  // Codes are uniform over 0-255: a threshold of 127 sends about half the rows left, 229 nine in
  // ten; the sides follow no pattern a branch could learn.
  struct Case {
    const char* name;
    const std::vector<std::uint32_t>* node;
    std::uint16_t threshold;
  };
  const Case cases[] = {{"root 1:1", &root, 127}, {"root 9:1", &root, 229}, {"scattered quarter", &quarter, 127}};
  for (const auto& [name, node, threshold] : cases) {
    engine::SplitCandidate split;
    split.feature_index = 5;
    split.threshold_bin = threshold;
    split.default_left = true;
    char label[64];
    for (const bool blocks : {false, true}) {
      if (g_wall && !blocks) continue;
      const std::size_t chunk = blocks ? backend_cpu::partition_chunk_size(node->size(), 8) : 0;
      const core::NodeSlice slice = core::NodeSlice::make(0, *node);
      const Timing seconds = time_runs([&] {
        auto result = g_wall ? backend_cpu::apply_split_with_stats(binned, gradients, slice, split)
                             : backend_cpu::partition_rows(binned, gradients, *node, split, chunk);
        if (result.left_rows.size() + result.right_rows.size() != node->size()) std::abort();
        // As a grower does once it is done with them: a freed list's pages would be faulted in
        // again by the next call.
        backend_cpu::recycle_rows(std::move(result.left_rows));
        backend_cpu::recycle_rows(std::move(result.right_rows));
        backend_cpu::recycle_pairs(std::move(result.smaller_side_pairs));
      });
      std::snprintf(label, sizeof(label), "partition %s, %s", name,
                    g_wall ? "pool (wall)" : blocks ? "8 blocks" : "serial");
      report(label, seconds, node->size());
    }
  }

  // A complete tree of depth 8: every internal node splits with constant increments, every row
  // lies in one of the 256 leaves (chosen at random, each leaf's rows in order).
  constexpr std::uint32_t kDepth = 8;
  constexpr std::uint32_t kInternal = (1u << kDepth) - 1;
  std::vector<engine::TrainedStump> stumps(kInternal);
  for (std::uint32_t local = 0; local < kInternal; ++local) {
    stumps[local].node_id = local;
    stumps[local].left = 0.001f * static_cast<float>(local + 1);
    stumps[local].right = -0.002f * static_cast<float>(local + 1);
  }
  std::vector<core::RowList> leaf_rows(kInternal + 1);
  std::uniform_int_distribution<std::uint32_t> any_leaf(0, kInternal);
  for (std::size_t r = 0; r < rows; ++r) leaf_rows[any_leaf(rng)].push_back(static_cast<std::uint32_t>(r));
  core::TrainParams params;
  const engine::IterationControls controls = engine::IterationControls::make(1, 20, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  engine::SplitSelectionOptions options;
  std::vector<float> predictions(rows, 0.0f);
  const engine::tree_build::TreeGrowthRequest request{.binned = binned,
                                                      .gradients = gradients,
                                                      .root_rows = {},
                                                      .tree_index = 0,
                                                      .feature_tiles = {},
                                                      .options = options,
                                                      .params = params,
                                                      .controls = controls,
                                                      .predictions = predictions,
                                                      .feature_weights = {},
                                                      .categorical_features = {},
                                                      .morph = std::nullopt,
                                                      .raw_values = {},
                                                      .factor_exposures = nullptr};
  std::optional<engine::tree_build::TreePredictionUpdates> updates;
  const Timing update_seconds = time_runs([&] { updates->apply(stumps); },
                                             [&] {
                                               updates.emplace(request);
                                               for (std::uint32_t leaf = 0; leaf <= kInternal; ++leaf) {
                                                 updates->leaf(kInternal + leaf, leaf_rows[leaf]);
                                               }
                                             });
  report("leaf updates, depth 8", update_seconds, rows);
  return 0;
}
