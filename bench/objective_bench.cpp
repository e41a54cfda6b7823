// Per-round objective cost: the gradients (compute_gradients_into) and the training loss of
// binary cross-entropy on 1,000,000 rows, and of LambdaMART, pairwise, XeNDCG and YetiRank on the
// ranking benchmark's shape (20,000 queries of 10 to 50 rows, grades 0..4), with one pool thread
// and with the whole pool; for LambdaMART also both from one pass. Reports the median wall time
// per call and the median CPU time of all threads.
//
// Usage: kestrune_objective_bench                  both settings, each in a process of its own
//        kestrune_objective_bench --threads N [--only NAME]
//                                                  one setting (N = 0: all logical CPUs), optionally
//                                                  one objective (binary, lambdamart, pairwise,
//                                                  xendcg, yetirank) timed many more times, for a
//                                                  profiler

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <ctime>
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

int repeats = 7;
const char* only = nullptr;

bool wanted(const char* name) { return only == nullptr || std::strcmp(only, name) == 0; }

double process_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

struct Timing {
  double wall_ms;
  double cpu_ms;  // of all threads
};

template <typename F>
Timing median_ms(F&& f) {
  std::vector<double> walls, cpus;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_ms();
    f();
    cpus.push_back(process_cpu_ms() - cpu_start);
    walls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

template <typename O>
void report(const char* name, const O& objective, const std::vector<float>& scores, const std::vector<float>& labels) {
  if (!wanted(name)) return;
  std::vector<kestrune::core::GradientPair> out;
  const Timing gradients = median_ms([&] { objective.compute_gradients_into(scores, labels, std::nullopt, out); });
  volatile float sink = 0.0f;
  const Timing loss = median_ms([&] { sink = objective.loss(scores, labels, std::nullopt); });
  std::printf("  %-10s rows=%zu gradients %.2f ms (cpu %.2f), loss %.2f ms (cpu %.2f)\n", name, scores.size(),
              gradients.wall_ms, gradients.cpu_ms, loss.wall_ms, loss.cpu_ms);
  if constexpr (requires { objective.compute_gradients_and_loss_into(scores, labels, std::nullopt, out); }) {
    const Timing both =
        median_ms([&] { sink = objective.compute_gradients_and_loss_into(scores, labels, std::nullopt, out); });
    std::printf("  %-10s gradients with the loss %.2f ms (cpu %.2f)\n", name, both.wall_ms, both.cpu_ms);
  }
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
  if ((argc == 3 || argc == 5) && std::strcmp(argv[1], "--threads") == 0) {
    if (argc == 5) {
      if (std::strcmp(argv[3], "--only") != 0) return 2;
      only = argv[4];
      repeats = 41;
    }
    return run(argv[2]);
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: kestrune_objective_bench [--threads N [--only NAME]]\n");
    return 2;
  }
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
