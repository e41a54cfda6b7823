// Per-round objective cost: the gradients (compute_gradients_into) and the training loss of
// binary cross-entropy on 1,000,000 rows, and of LambdaMART, pairwise, XeNDCG and YetiRank on the
// ranking benchmark's shape (20,000 queries of 10 to 50 rows, grades 0..4), with one pool thread
// and with the whole pool. Reports the median wall time per call.
//
// Usage: kestrune_objective_bench                  both settings, each in a process of its own
//        kestrune_objective_bench --threads N      one setting (N = 0: all logical CPUs)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "parallel/pool_size.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace obj = kestrune::engine::objectives;

constexpr int kRepeats = 7;

template <typename F>
double median_ms(F&& f) {
  std::vector<double> times;
  for (int r = 0; r < kRepeats; ++r) {
    const auto start = Clock::now();
    f();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

template <typename O>
void report(const char* name, const O& objective, const std::vector<float>& scores, const std::vector<float>& labels) {
  std::vector<kestrune::core::GradientPair> out;
  const double gradients = median_ms([&] { objective.compute_gradients_into(scores, labels, std::nullopt, out); });
  volatile float sink = 0.0f;
  const double loss = median_ms([&] { sink = objective.loss(scores, labels, std::nullopt); });
  std::printf("  %-10s rows=%zu gradients %.2f ms, loss %.2f ms\n", name, scores.size(), gradients, loss);
}

int run(const char* threads) {
  setenv("RAYON_NUM_THREADS", threads, 1);
  std::printf("threads=%zu\n", kestrune::parallel::current_num_threads());
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 1.5f);

  std::vector<float> scores(1000000), labels(1000000);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    scores[i] = normal(rng);
    labels[i] = rng() % 2 == 0 ? 1.0f : 0.0f;
  }
  report("binary", obj::BinaryCrossEntropyObjective{}, scores, labels);

  std::vector<std::uint32_t> ids;
  std::vector<float> rank_scores, grades;
  for (std::uint32_t q = 0; q < 20000; ++q) {
    const std::size_t rows = 10 + rng() % 41;
    for (std::size_t i = 0; i < rows; ++i) {
      ids.push_back(q);
      rank_scores.push_back(normal(rng));
      const float u = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
      grades.push_back(u < 0.55f ? 0.0f : u < 0.8f ? 1.0f : u < 0.92f ? 2.0f : u < 0.98f ? 3.0f : 4.0f);
    }
  }
  report("lambdamart", obj::LambdaMARTObjective(ids), rank_scores, grades);
  report("pairwise", obj::PairwiseRankingObjective(ids), rank_scores, grades);
  report("xendcg", obj::XeNDCGObjective(ids), rank_scores, grades);
  report("yetirank", obj::YetiRankObjective(ids, 10, 7), rank_scores, grades);
  std::fflush(stdout);  // the child ends with _exit, which flushes nothing
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--threads") == 0) return run(argv[2]);
  // The pool size is read once per process: each setting runs in a child of its own.
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
