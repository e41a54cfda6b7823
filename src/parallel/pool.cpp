#include "parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#if defined(__unix__)
#include <pthread.h>
#endif

#include "parallel/pool_size.hpp"
#include "support/panic.hpp"

namespace kestrune::parallel {

namespace {

// Far more threads than any machine has cores only oversubscribes it; a huge RAYON_NUM_THREADS
// starts at most this many workers (results do not depend on how many run).
constexpr std::size_t kMaxWorkers = 1023;

// How long an idle worker keeps looking for new work before it sleeps, and how long a caller
// looks for its last blocks to finish before it sleeps. The calls of a tree's growth come tens
// of microseconds apart, so a worker still looking joins the next call without a wake-up (a
// system call on the caller's side and a scheduling delay on the worker's).
//
// Looking is not free on a shared machine, even though it yields (see spin_until): where the
// scheduler shares CPU time between sessions rather than threads (Linux autogroups), every
// runnable thread of this process takes its part of the session's share, the caller's included.
// Measured on 8 cores kept at load 5 to 20 by other sessions, training 50 depth-6 trees on
// 30,000 x 20 rows with 8 threads: 100 us of looking cost 2.1 s of CPU for 0.3 s of wall time,
// where 50 us with wake-ups sized to the work (parallel.hpp, max_threads) cost about 0.5 s.
constexpr auto kWorkerSpin = std::chrono::microseconds(50);
constexpr auto kCallerSpin = std::chrono::microseconds(50);

thread_local std::size_t t_thread_index = 0;
thread_local bool t_inside_call = false;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Polls `done` until it holds or `budget` has passed; returns its last value. The first polls
// are back to back (the awaited store is often only a few hundred cycles away); after that each
// poll first offers the CPU to any other thread ready to run on it, so that a waiting thread does
// not hold up the threads doing work, ours or other processes', on a busy machine.
template <typename Done>
bool spin_until(Done&& done, std::chrono::microseconds budget) noexcept {
  for (int i = 0; i < 256; ++i) {
    if (done()) return true;
    cpu_relax();
  }
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (;;) {
    if (done()) return true;
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

void run_serially(std::size_t block_count, detail::BlockFunction block, void* context) noexcept {
  const bool was_inside = t_inside_call;
  t_inside_call = true;
  for (std::size_t b = 0; b < block_count; ++b) block(context, b);
  t_inside_call = was_inside;
}

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t workers) : slots_(std::make_unique<Slot[]>(workers)) {
    for (std::size_t i = 0; i < workers; ++i) {
      try {
        std::thread([this, i] { worker_loop(i); }).detach();
      } catch (const std::system_error&) {
        break;  // the system refused another thread: the pool works with the ones it has
      }
      started_.store(i + 1, std::memory_order_release);
    }
  }

  std::size_t started() const noexcept { return started_.load(std::memory_order_acquire); }

  void run(std::size_t block_count, std::size_t max_threads, detail::BlockFunction block, void* context) noexcept {
    std::unique_lock<std::mutex> lock(call_mutex_, std::try_to_lock);
    const std::size_t helpers = std::min({max_threads - 1, started(), block_count - 1});
    if (!lock.owns_lock() || helpers == 0 || block_count > kMaxBlocks) {
      run_serially(block_count, block, context);
      return;
    }
    // The job's fields are written before the claim word that opens it (release), and workers
    // read them only after claiming a block of it (acquire). The next job is published only
    // once every block of this one has finished, so no worker can read them while they change.
    block_ = block;
    context_ = context;
    unfinished_.store(static_cast<std::uint32_t>(block_count), std::memory_order_relaxed);
    const std::uint32_t generation = ++last_generation_;
    claim_.store(claim_word(generation, 0, block_count), std::memory_order_release);
    for (std::size_t i = 0; i < helpers; ++i) {
      Slot& slot = slots_[i];
      slot.generation.store(generation, std::memory_order_seq_cst);
      // A worker announces its sleep before re-reading its word, and we publish before reading
      // the announcement: one of the two sees the other, so no wake-up is lost, and a spinning
      // worker costs no system call.
      if (slot.sleeping.load(std::memory_order_seq_cst)) slot.generation.notify_one();
    }

    t_inside_call = true;
    take_blocks(generation);
    t_inside_call = false;

    const auto all_done = [this] { return unfinished_.load(std::memory_order_acquire) == 0; };
    if (!spin_until(all_done, kCallerSpin)) {
      for (std::uint32_t left = unfinished_.load(std::memory_order_acquire); left != 0;
           left = unfinished_.load(std::memory_order_acquire)) {
        unfinished_.wait(left, std::memory_order_acquire);
      }
    }
  }

 private:
  // Blocks are numbered in 16 bits of the claim word.
  static constexpr std::size_t kMaxBlocks = 0xFFFFu;

  // One worker's wake-up word, on a cache line of its own.
  struct alignas(64) Slot {
    std::atomic<std::uint32_t> generation{0};  // the last job this worker was asked to join
    std::atomic<bool> sleeping{false};
  };

  void worker_loop(std::size_t slot_index) noexcept {
    t_thread_index = slot_index + 1;
    t_inside_call = true;  // a parallel call from inside a block runs serially
    Slot& slot = slots_[slot_index];
    std::uint32_t seen = 0;
    for (;;) {
      const auto asked = [&] { return slot.generation.load(std::memory_order_acquire) != seen; };
      if (!spin_until(asked, kWorkerSpin)) {
        slot.sleeping.store(true, std::memory_order_seq_cst);
        while (slot.generation.load(std::memory_order_seq_cst) == seen) {
          slot.generation.wait(seen, std::memory_order_acquire);
        }
        slot.sleeping.store(false, std::memory_order_relaxed);
      }
      seen = slot.generation.load(std::memory_order_acquire);
      take_blocks(seen);
    }
  }

  // The claim word: the job's generation, the next unclaimed block and the job's block count.
  // Holding all three in one word makes a claim a single exchange that fails for any thread
  // still looking at an earlier job.
  static std::uint64_t claim_word(std::uint32_t generation, std::size_t next, std::size_t count) noexcept {
    return std::uint64_t{generation} << 32 | std::uint64_t{next} << 16 | std::uint64_t{count};
  }
  static constexpr std::uint64_t kOneBlock = std::uint64_t{1} << 16;

  // Claims and runs blocks of job `generation` until none is left. A thread that arrives after
  // a newer job was published claims nothing: the generation in the claim word no longer matches.
  void take_blocks(std::uint32_t generation) noexcept {
    for (;;) {
      std::uint64_t claim = claim_.load(std::memory_order_acquire);
      std::size_t next = 0;
      for (;;) {
        if (static_cast<std::uint32_t>(claim >> 32) != generation) return;
        next = static_cast<std::size_t>((claim >> 16) & 0xFFFFu);
        if (next >= static_cast<std::size_t>(claim & 0xFFFFu)) return;
        if (claim_.compare_exchange_weak(claim, claim + kOneBlock, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
          break;
        }
      }
      block_(context_, next);
      if (unfinished_.fetch_sub(1, std::memory_order_acq_rel) == 1) unfinished_.notify_all();
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::atomic<std::size_t> started_{0};
  std::mutex call_mutex_;
  std::uint32_t last_generation_ = 0;  // guarded by call_mutex_

  alignas(64) std::atomic<std::uint64_t> claim_{0};  // see claim_word
  alignas(64) std::atomic<std::uint32_t> unfinished_{0};
  detail::BlockFunction block_ = nullptr;
  void* context_ = nullptr;
};

std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_pool_creation;

#if defined(__unix__)
// A forked child has none of the parent's workers: it drops the parent's pool (leaked, its
// state belongs to threads that do not exist there) and starts its own on its first call.
void forget_pool_in_child() { g_pool.store(nullptr, std::memory_order_relaxed); }
#endif

WorkerPool& pool() {
  WorkerPool* existing = g_pool.load(std::memory_order_acquire);
  if (existing != nullptr) return *existing;
  const std::lock_guard<std::mutex> lock(g_pool_creation);
  existing = g_pool.load(std::memory_order_acquire);
  if (existing != nullptr) return *existing;
#if defined(__unix__)
  static const bool registered = [] { return pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0; }();
  (void)registered;
#endif
  // Never destroyed: detached workers may still be parked on it while the process exits.
  auto* created = new WorkerPool(std::min(current_num_threads(), kMaxWorkers + 1) - 1);
  g_pool.store(created, std::memory_order_release);
  return *created;
}

}  // namespace

std::size_t current_thread_index() noexcept { return t_thread_index; }

bool inside_parallel_call() noexcept { return t_inside_call; }

std::size_t started_worker_count() noexcept {
  const WorkerPool* existing = g_pool.load(std::memory_order_acquire);
  return existing == nullptr ? 0 : existing->started();
}

namespace detail {

void run_blocks(std::size_t block_count, std::size_t max_threads, BlockFunction block, void* context) noexcept {
  if (block_count == 0) return;
  if (max_threads <= 1 || block_count == 1 || t_inside_call || current_num_threads() <= 1) {
    run_serially(block_count, block, context);
    return;
  }
  WorkerPool* workers = nullptr;
  try {
    workers = &pool();
  } catch (...) {
    // Out of memory for the pool itself: the blocks still run, on this thread.
    run_serially(block_count, block, context);
    return;
  }
  workers->run(block_count, max_threads, block, context);
}

}  // namespace detail

}  // namespace kestrune::parallel
