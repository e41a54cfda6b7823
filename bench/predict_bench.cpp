// Prediction throughput: a synthetic 500-tree, 255-leaf single-output model over 100k rows of
// 28 features, scored through the artifact loader and the dense batch path. Prints rows per
// second with one pool thread and with the whole pool.
//
//   predict_bench                 both settings, each in a child process (the pool size is
//                                 fixed per process on first use)
//   predict_bench --threads N     one setting in this process (N = 0: all logical CPUs)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/trained_model.hpp"
#include "parallel/pool_size.hpp"
#include "predictor/predictor.hpp"

namespace {

constexpr std::size_t kTrees = 500;
constexpr std::size_t kLeaves = 255;
constexpr std::size_t kRows = 100000;
constexpr std::size_t kFeatures = 28;
constexpr std::uint16_t kMaxBin = 254;

// Trees grown like a leaf-wise learner: each split picks a random current leaf, so depths vary.
std::vector<kestrune::engine::TrainedStump> synthetic_stumps(std::mt19937_64& rng) {
  std::vector<kestrune::engine::TrainedStump> stumps;
  std::uniform_real_distribution<float> value(-0.1f, 0.1f);
  for (std::uint32_t t = 0; t < kTrees; ++t) {
    std::vector<std::uint32_t> leaves = {0};
    std::size_t splits = 0;
    while (splits + 1 < kLeaves) {
      const std::size_t pick = rng() % leaves.size();
      const std::uint32_t local = leaves[pick];
      if (local >= (1u << 18)) continue;  // keep children inside the 20-bit id space
      leaves[pick] = leaves.back();
      leaves.pop_back();
      kestrune::engine::TrainedStump stump;
      stump.node_id = (t << 20) | local;
      stump.feature_index = static_cast<std::uint32_t>(rng() % kFeatures);
      stump.split_bin = static_cast<std::uint16_t>(rng() % kMaxBin);
      stump.default_left = (rng() & 1) != 0;
      stump.left = value(rng);
      stump.right = value(rng);
      stumps.push_back(stump);
      leaves.push_back(2 * local + 1);
      leaves.push_back(2 * local + 2);
      ++splits;
    }
  }
  return stumps;
}

double rows_per_second(const kestrune::predictor::Predictor& predictor, const std::vector<float>& values) {
  double best = 0.0;
  for (int repeat = 0; repeat < 3; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<float> out = predictor.predict_batch_dense(values, kRows, kFeatures);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (out.size() != kRows) std::abort();
    best = std::max(best, static_cast<double>(kRows) / seconds);
  }
  return best;
}

int run(const char* threads) {
  setenv("RAYON_NUM_THREADS", threads, 1);
  std::mt19937_64 rng(42);
  kestrune::engine::TrainedModel model;
  model.feature_count = kFeatures;
  model.base_prediction = 0.5f;
  model.stumps = synthetic_stumps(rng);
  const kestrune::predictor::Predictor predictor =
      kestrune::predictor::Predictor::from_artifact_bytes(model.to_artifact_bytes());

  std::vector<float> values(kRows * kFeatures);
  for (float& v : values) v = static_cast<float>(rng() % (kMaxBin + 1));
  for (std::size_t i = 0; i < values.size(); i += 97) values[i] = std::numeric_limits<float>::quiet_NaN();

  const double rate = rows_per_second(predictor, values);
  std::printf("threads=%zu rows/s=%.0f\n", kestrune::parallel::current_num_threads(), rate);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--threads") == 0) return run(argv[2]);
  std::printf("model: %zu trees x %zu leaves, %zu rows x %zu features\n", kTrees, kLeaves, kRows, kFeatures);
  for (const char* threads : {"1", "0"}) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(run(threads));
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
