// Data-parallel loops, maps, reductions and join on the process-wide worker pool (pool.hpp).
//
// What every function here guarantees:
// - No result depends on the thread count or on scheduling. parallel_map returns its results in
//   input order. parallel_reduce folds fixed chunks, cut by the count and the chunk size alone,
//   and combines the chunk results left to right, so a float reduction is bit-identical with 1
//   or 64 threads and equal to the serial chunked computation. parallel_for and
//   parallel_for_chunks promise no order between tasks: each task writes only its own outputs.
// - Every task runs even when another one throws. A task's exception is caught inside the task
//   (none ever reaches a pool thread's loop); once all tasks have finished, the first exception in
//   input order is rethrown on the calling thread.
// - Calls nest: a call made from inside a pool task runs on that task's thread and on any idle
//   workers, with the same results. A pool of one thread runs everything on the calling thread
//   without touching the pool.
// - Fewer tasks than `min_parallel` run serially on the calling thread, with the same results.
//   `min_parallel` counts tasks: indices for parallel_for and parallel_map, chunks for
//   parallel_for_chunks. Callers whose tasks are cheap pass their own threshold.
// - `max_threads` caps the threads a call uses (the calling thread included): a caller that knows
//   its call holds only a little work asks for fewer threads than the pool has, so that it wakes
//   no more workers than the work can repay. It changes no result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"
#include "parallel/pool_size.hpp"
#include "support/panic.hpp"

namespace kestrune::parallel {

// Two tasks are enough to use the pool unless the caller asks for more.
inline constexpr std::size_t kDefaultMinParallel = 2;

// No cap on the threads of a call beyond the pool's size.
inline constexpr std::size_t kAllThreads = static_cast<std::size_t>(-1);

// Items per chunk of parallel_reduce when the caller does not choose. For a combine that is not
// associative (float sums) the chunking is part of the result: changing it moves the last bits.
inline constexpr std::size_t kDefaultReduceChunk = 1024;

namespace detail {

// Tasks are dealt out in blocks, a few per thread, so that uneven tasks still balance, a thread
// that starts late leaves little for the others to wait on, and cheap tasks do not pay for one
// claim each.
inline constexpr std::size_t kBlocksPerThread = 4;

// A huge RAYON_NUM_THREADS does not start that many threads: the team is capped; the reported
// pool size, and hence every result, stays as configured.
inline constexpr std::size_t kMaxTeamSize = 1024;

inline std::size_t ceil_div(std::size_t count, std::size_t divisor) {
  return count / divisor + (count % divisor != 0 ? 1 : 0);
}

// Threads to use for `task_count` tasks; 1 means serially on the calling thread.
inline std::size_t team_size(std::size_t task_count, std::size_t min_parallel, std::size_t max_threads) {
  const std::size_t pool = current_num_threads();
  if (pool <= 1 || max_threads <= 1 || task_count < 2 || task_count < min_parallel) return 1;
  return std::min({pool, task_count, max_threads, kMaxTeamSize});
}

// Runs task(first) .. task(last - 1) in order, every one of them, and returns the first
// exception thrown (null if none).
template <typename Task>
std::exception_ptr run_range(Task& task, std::size_t first, std::size_t last) noexcept {
  std::exception_ptr failure;
  for (std::size_t i = first; i < last; ++i) {
    try {
      task(i);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  return failure;
}

// Runs task(i) for every i in [0, task_count), in blocks of `block_size` tasks handed to
// run(block_count, block, context) (run_blocks or run_blocks_when_idle); rethrows the first
// exception in index order after all tasks have run.
template <typename Task, typename Run>
void run_task_blocks(std::size_t task_count, std::size_t block_size, Task& task, Run&& run) {
  const std::size_t block_count = ceil_div(task_count, block_size);
  // One slot per block: a block runs on one thread, so each slot has a single writer, and the
  // first failed block holds the first failure in index order.
  std::vector<std::exception_ptr> failures(block_count);
  struct Job {
    Task* task;
    std::size_t task_count;
    std::size_t block_size;
    std::exception_ptr* failures;
  } job{&task, task_count, block_size, failures.data()};
  run(
      block_count,
      [](void* context, std::size_t block) noexcept {
        const Job& j = *static_cast<const Job*>(context);
        const std::size_t first = block * j.block_size;
        j.failures[block] = run_range(*j.task, first, std::min(first + j.block_size, j.task_count));
      },
      &job);
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// Runs task(i) for every i in [0, task_count), on the pool when worthwhile; rethrows the first
// exception in index order after all tasks have run.
template <typename Task>
void run_tasks(std::size_t task_count, std::size_t min_parallel, std::size_t max_threads, Task&& task) {
  const std::size_t team = team_size(task_count, min_parallel, max_threads);
  if (team <= 1) {
    if (std::exception_ptr failure = run_range(task, 0, task_count)) {
      std::rethrow_exception(failure);
    }
    return;
  }
  run_task_blocks(task_count, ceil_div(task_count, team * kBlocksPerThread), task,
                  [team](std::size_t block_count, BlockFunction block, void* context) {
                    run_blocks(block_count, team, block, context);
                  });
}

}  // namespace detail

// body(i) for every i in [begin, end); an empty or reversed range does nothing.
template <typename Body>
void parallel_for(std::size_t begin, std::size_t end, Body&& body,
                  std::size_t min_parallel = kDefaultMinParallel, std::size_t max_threads = kAllThreads) {
  if (end <= begin) return;
  detail::run_tasks(end - begin, min_parallel, max_threads, [&](std::size_t i) { body(begin + i); });
}

// body(chunk_begin, chunk_end) for the chunks [0, s), [s, 2s), ... of [0, count), s being
// `chunk_size`, on the calling thread and on pool workers that find no other work to do (see
// detail::run_blocks_when_idle): for work that may wait while the pool is busy with other calls.
// Every chunk runs; the first exception in chunk order is rethrown once all have run.
template <typename Body>
void for_chunks_when_idle(std::size_t count, std::size_t chunk_size, Body&& body) {
  support::invariant(chunk_size > 0, "parallel chunk size must be positive");
  auto chunk_task = [&](std::size_t chunk) {
    const std::size_t first = chunk * chunk_size;
    body(first, first + std::min(chunk_size, count - first));
  };
  detail::run_task_blocks(detail::ceil_div(count, chunk_size), 1, chunk_task, detail::run_blocks_when_idle);
}

// body(chunk_begin, chunk_end) for the chunks [0, s), [s, 2s), ... of [0, count), s being
// `chunk_size`; the last chunk may be shorter. The chunks depend on count and chunk_size only.
template <typename Body>
void parallel_for_chunks(std::size_t count, std::size_t chunk_size, Body&& body,
                         std::size_t min_parallel = kDefaultMinParallel, std::size_t max_threads = kAllThreads) {
  support::invariant(chunk_size > 0, "parallel chunk size must be positive");
  detail::run_tasks(detail::ceil_div(count, chunk_size), min_parallel, max_threads, [&](std::size_t chunk) {
    const std::size_t first = chunk * chunk_size;
    body(first, first + std::min(chunk_size, count - first));
  });
}

// [f(0), f(1), ..., f(count - 1)], in input order. f must return exactly T, so that a double
// result is never narrowed to a float behind the caller's back.
template <typename T, typename F>
std::vector<T> parallel_map(std::size_t count, F&& f,
                            std::size_t min_parallel = kDefaultMinParallel,
                            std::size_t max_threads = kAllThreads) {
  static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<F&, std::size_t>>, T>,
                "parallel_map: f(i) must return the element type");
  // vector<bool> packs its elements into shared words: concurrent writes to it would race.
  if constexpr (std::is_default_constructible_v<T> && std::is_move_assignable_v<T> &&
                !std::is_same_v<T, bool>) {
    std::vector<T> results(count);
    detail::run_tasks(count, min_parallel, max_threads, [&](std::size_t i) { results[i] = f(i); });
    return results;
  } else {
    std::vector<std::optional<T>> slots(count);
    detail::run_tasks(count, min_parallel, max_threads, [&](std::size_t i) { slots[i].emplace(f(i)); });
    std::vector<T> results;
    results.reserve(count);
    for (std::optional<T>& slot : slots) results.push_back(std::move(*slot));
    return results;
  }
}

// Reduces map(0), ..., map(count - 1) with `combine`. The items are cut into chunks of
// `chunk_size`; each chunk is folded left to right from `identity`
// (acc = combine(acc, map(i))), then the chunk results are combined left to right, the first
// chunk's result being the start. An empty count gives `identity`. map must return exactly T.
template <typename T, typename Map, typename Combine>
T parallel_reduce(std::size_t count, const T& identity, Map&& map, Combine&& combine,
                  std::size_t chunk_size = kDefaultReduceChunk) {
  static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Map&, std::size_t>>, T>,
                "parallel_reduce: map(i) must return the type of the identity");
  support::invariant(chunk_size > 0, "parallel chunk size must be positive");
  if (count == 0) return identity;
  std::vector<std::optional<T>> partials(detail::ceil_div(count, chunk_size));
  detail::run_tasks(partials.size(), kDefaultMinParallel, kAllThreads, [&](std::size_t chunk) {
    const std::size_t first = chunk * chunk_size;
    const std::size_t last = first + std::min(chunk_size, count - first);
    T acc = identity;
    for (std::size_t i = first; i < last; ++i) acc = combine(std::move(acc), map(i));
    partials[chunk].emplace(std::move(acc));
  });
  T total = std::move(*partials.front());
  for (std::size_t chunk = 1; chunk < partials.size(); ++chunk) {
    total = combine(std::move(total), std::move(*partials[chunk]));
  }
  return total;
}

// A task handed to the pool's idle workers while the calling thread goes on with other work
// (which may make parallel calls of its own). wait() returns once the task has run, running it
// on the calling thread if no worker has started it, and rethrows its exception; a task that is
// destroyed unwaited is waited for first, its exception dropped. Only the thread that posted
// the task may wait for it. On a pool of one thread the task runs inside wait(). A thread that
// waits outside every parallel call takes blocks of other calls (never other posted tasks) while
// its task runs elsewhere, so it must hold no per-thread scratch of its own across the wait.
template <typename F>
class PostedTask {
 public:
  explicit PostedTask(F task) : task_(std::move(task)) { handle_ = detail::post_block(&run, this); }
  ~PostedTask() { collect(); }
  PostedTask(const PostedTask&) = delete;
  PostedTask& operator=(const PostedTask&) = delete;

  void wait() {
    collect();
    rethrow_failure();
  }

  // Waits like wait(), but gives up as soon as `signal` no longer holds `seen` while a worker
  // still runs the task: false then, and the task is still to be waited for. Lets the poster
  // react to other work finishing meanwhile. A poster that finds nothing else to do sleeps on
  // the signal, so the task must change it as it ends, and `seen` must be read before the task
  // has done so: a task that changed the signal may still be returning, and is waited for with
  // wait() (for instance once a flag the task sets before changing the signal is seen set).
  bool wait_unless(const std::atomic<std::uint32_t>& signal, std::uint32_t seen) {
    if (!collected_) {
      if (!detail::collect_posted_unless(handle_, &run, this, signal, seen)) return false;
      collected_ = true;
    }
    rethrow_failure();
    return true;
  }

 private:
  void rethrow_failure() {
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }
  static void run(void* self, std::size_t) noexcept {
    auto* posted = static_cast<PostedTask*>(self);
    try {
      posted->task_();
    } catch (...) {
      posted->error_ = std::current_exception();
    }
  }
  void collect() noexcept {
    if (collected_) return;
    collected_ = true;
    detail::collect_posted(handle_, &run, this);
  }

  F task_;
  std::size_t handle_ = detail::kNotPosted;
  std::exception_ptr error_;
  bool collected_ = false;
};

// Runs a() and b(), possibly at the same time, and returns {a(), b()} (or nothing when both
// return void). Both always run; if both throw, a's exception is the one rethrown.
template <typename A, typename B>
auto join(A&& a, B&& b) {
  using ResultA = std::invoke_result_t<A&>;
  using ResultB = std::invoke_result_t<B&>;
  static_assert(std::is_void_v<ResultA> == std::is_void_v<ResultB>,
                "join: both tasks return a value or neither does");
  if constexpr (std::is_void_v<ResultA>) {
    detail::run_tasks(2, 2, 2, [&](std::size_t i) {
      if (i == 0) {
        a();
      } else {
        b();
      }
    });
  } else {
    static_assert(!std::is_reference_v<ResultA> && !std::is_reference_v<ResultB>,
                  "join: tasks return values, not references");
    std::optional<ResultA> result_a;
    std::optional<ResultB> result_b;
    detail::run_tasks(2, 2, 2, [&](std::size_t i) {
      if (i == 0) {
        result_a.emplace(a());
      } else {
        result_b.emplace(b());
      }
    });
    return std::pair<ResultA, ResultB>(std::move(*result_a), std::move(*result_b));
  }
}

}  // namespace kestrune::parallel
