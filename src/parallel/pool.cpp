#include "parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__unix__)
#include <pthread.h>
#endif

#include "parallel/pool_size.hpp"
#include "parallel/spin.hpp"
#include "support/panic.hpp"

namespace kestrune::parallel {

namespace {

// Far more threads than any machine has cores only oversubscribes it; a huge RAYON_NUM_THREADS
// starts at most this many workers (results do not depend on how many run).
constexpr std::size_t kMaxWorkers = 1023;

// How long an idle worker keeps looking for new work before it sleeps, and how long a caller
// looks for its last blocks to finish before it sleeps. The calls of a tree's growth come tens to
// hundreds of microseconds apart, so a worker still looking joins the next call without a
// wake-up: a system call on the caller's side that costs it more the more workers it wakes, and
// a scheduling delay on the worker's.
//
// Measured on 8 cores, training 1,000,000 x 28 rows with 255-leaf trees on 8 threads: with 50 us
// of looking, about 10% of the calling thread's time went into waking workers, and 300 us made
// the fit 10-15% faster for no more CPU time (the workers that slept were woken again within
// microseconds anyway). Looking yields its CPU to other runnable threads (see spin_until): with
// six busy processes of other sessions on the same 8 cores, a fit of 50 depth-6 trees on
// 30,000 x 20 rows took the same wall and CPU time with 300 us as with 50 us.
constexpr auto kWorkerSpin = std::chrono::microseconds(300);
constexpr auto kCallerSpin = std::chrono::microseconds(300);

// Calls open at the same time, nested ones included. A call that finds every slot taken runs
// serially, which changes no result.
constexpr std::size_t kJobSlots = 64;

// Blocks are numbered in 16 bits of a job's claim word, and its helpers counted in 8.
constexpr std::size_t kMaxBlocks = 0xFFFFu;
constexpr std::size_t kMaxHelpers = 0xFFu;

thread_local std::size_t t_thread_index = 0;
thread_local bool t_inside_call = false;

// Runs the blocks on the calling thread, in order, as blocks of a call.
void run_serially(std::size_t block_count, detail::BlockFunction block, void* context) noexcept {
  const bool was_inside = t_inside_call;
  t_inside_call = true;
  for (std::size_t b = 0; b < block_count; ++b) block(context, b);
  t_inside_call = was_inside;
}

// A job's claim word: a generation (so that a thread still holding an earlier job's word fails
// its exchange), the most workers that may join, the workers that have joined, the next
// unclaimed block and the block count. One word makes joining and claiming a single exchange.
struct ClaimWord {
  static constexpr std::uint64_t kOneBlock = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kOneHelper = std::uint64_t{1} << 32;

  static std::uint64_t make(std::uint16_t generation, std::size_t helper_cap, std::size_t count) noexcept {
    return std::uint64_t{generation} << 48 | std::uint64_t{helper_cap} << 40 | std::uint64_t{count};
  }
  static std::uint16_t generation(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w >> 48); }
  static std::size_t helper_cap(std::uint64_t w) noexcept { return static_cast<std::size_t>((w >> 40) & 0xFFu); }
  static std::size_t helpers(std::uint64_t w) noexcept { return static_cast<std::size_t>((w >> 32) & 0xFFu); }
  static std::size_t next(std::uint64_t w) noexcept { return static_cast<std::size_t>((w >> 16) & 0xFFFFu); }
  static std::size_t count(std::uint64_t w) noexcept { return static_cast<std::size_t>(w & 0xFFFFu); }
  static bool open(std::uint64_t w) noexcept { return next(w) < count(w); }
  static bool joinable(std::uint64_t w) noexcept { return open(w) && helpers(w) < helper_cap(w); }
  // Joinable, and with `calls_only` a call's job rather than a posted block (the only jobs of one
  // block: a call of one block runs on its caller without a job).
  static bool joinable(std::uint64_t w, bool calls_only) noexcept {
    return joinable(w) && !(calls_only && count(w) == 1);
  }
};

// One open call. Its owner (the thread that made the call) writes the fields while it holds the
// slot and before the claim word opens the job (release); other threads read them only after a
// successful claim (acquire). A claimed block keeps the job unfinished, so the owner cannot
// release or reuse the slot while anyone still reads them.
struct alignas(64) Job {
  std::atomic<std::uint64_t> claim{0};  // see ClaimWord
  alignas(64) std::atomic<std::uint32_t> unfinished{0};
  detail::BlockFunction block = nullptr;
  void* context = nullptr;
  std::uint16_t generation = 0;  // the owner's
};

// The blocks of a run_blocks_when_idle call: claimed one at a time from `next` by its owner and by
// idle workers.
struct IdleWork {
  std::atomic<std::size_t> next{0};
  std::size_t count = 0;
  detail::BlockFunction block = nullptr;
  void* context = nullptr;

  // Claims and runs one block; false when none was left.
  bool run_one() noexcept {
    const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
    if (b >= count) return false;
    block(context, b);
    return true;
  }
};

// The owner's blocks of a run_blocks_when_idle call, as blocks of a call of its own.
void run_own_blocks(IdleWork& work) noexcept {
  const bool was_inside = t_inside_call;
  t_inside_call = true;
  while (work.run_one()) {
  }
  t_inside_call = was_inside;
}

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t workers) : jobs_(std::make_unique<Job[]>(kJobSlots)) {
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
    const std::size_t helpers = std::min({max_threads - 1, started(), block_count - 1, kMaxHelpers});
    const std::size_t slot = helpers == 0 || block_count > kMaxBlocks ? kJobSlots : reserve_slot();
    if (slot == kJobSlots) {
      run_serially(block_count, block, context);
      return;
    }
    Job& job = jobs_[slot];
    const std::uint64_t bit = std::uint64_t{1} << slot;
    job.block = block;
    job.context = context;
    job.unfinished.store(static_cast<std::uint32_t>(block_count), std::memory_order_relaxed);
    const std::uint16_t generation = ++job.generation;
    job.claim.store(ClaimWord::make(generation, helpers, block_count), std::memory_order_release);
    // The open bit, then the epoch, each before reading the sleepers; a worker going to sleep
    // counts itself, reads the epoch and then looks for open jobs. One of the two sees the
    // other, so no wake-up is lost, and a worker that is still looking costs no system call.
    open_.fetch_or(bit, std::memory_order_seq_cst);
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    const std::size_t sleeping = sleepers_.load(std::memory_order_seq_cst);
    if (sleeping != 0) {
      if (helpers >= sleeping) {
        epoch_.notify_all();
      } else {
        for (std::size_t i = 0; i < helpers; ++i) epoch_.notify_one();
      }
    }

    finish(slot);
  }

  // The owner's side of run_blocks_when_idle: offers the work to idle workers unless another
  // owner's is offered, takes blocks until none is left, then withdraws the offer and waits for
  // the workers that took it up. A worker counts itself a visitor before it reads the offer and
  // until its block has run, so once the offer is withdrawn and no visitor is left, no worker
  // holds the work any more (both sides sequentially consistent: either the worker reads the
  // withdrawn offer, or the owner sees the worker counted).
  void run_when_idle(IdleWork& work) noexcept {
    IdleWork* none = nullptr;
    const bool offered = started() > 0 && idle_work_.compare_exchange_strong(none, &work, std::memory_order_seq_cst);
    run_own_blocks(work);
    if (!offered) return;
    IdleWork* mine = &work;
    idle_work_.compare_exchange_strong(mine, nullptr, std::memory_order_seq_cst);
    wait_until([this] { return idle_visitors_.load(std::memory_order_acquire) == 0; });
  }

  // A job of one block that only a worker takes while it is open; its owner collects it later.
  std::size_t post(detail::BlockFunction block, void* context) noexcept {
    if (started() == 0) return detail::kNotPosted;
    const std::size_t slot = reserve_slot();
    if (slot == kJobSlots) return detail::kNotPosted;
    Job& job = jobs_[slot];
    job.block = block;
    job.context = context;
    job.unfinished.store(1, std::memory_order_relaxed);
    const std::uint16_t generation = ++job.generation;
    job.claim.store(ClaimWord::make(generation, 1, 1), std::memory_order_release);
    open_.fetch_or(std::uint64_t{1} << slot, std::memory_order_seq_cst);
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) epoch_.notify_one();
    return slot;
  }

  // The owner's part of a job it opened: takes the blocks still unclaimed (a posted job's single
  // block runs here if no worker took it), closes the job, waits for the blocks other threads
  // took and releases the slot.
  //
  // A collecting thread that is outside every call (no block of any call is on its stack, so no
  // block's per-thread scratch is in use there) takes blocks of other calls while its posted
  // block runs elsewhere: the poster is usually waiting for the very job whose nested calls those
  // are. It never takes another posted block, which could hold it far longer than the one it
  // waits for.
  //
  // With a `signal`, the wait for a posted block that a worker runs also ends, without releasing
  // the slot, as soon as the signal no longer holds `seen`; the result is false then, and the
  // owner calls again later. The sleeping owner waits on the signal: the block must change it as
  // it ends, after the owner read `seen`.
  bool finish(std::size_t slot, bool posted = false, const std::atomic<std::uint32_t>* signal = nullptr,
              std::uint32_t seen = 0) noexcept {
    Job& job = jobs_[slot];
    const std::uint64_t bit = std::uint64_t{1} << slot;
    const bool was_inside = t_inside_call;
    t_inside_call = true;
    take_blocks(job, job.generation, 0);
    open_.fetch_and(~bit, std::memory_order_relaxed);
    const auto all_done = [&job] { return job.unfinished.load(std::memory_order_acquire) == 0; };
    const auto signalled = [signal, seen] {
      return signal != nullptr && signal->load(std::memory_order_acquire) != seen;
    };
    if (posted && !was_inside) {
      const auto call_open = [this] { return work_available(true); };
      while (!all_done() && !signalled()) {
        if (help(true)) continue;
        if (!spin_until([&] { return all_done() || signalled() || call_open(); }, kCallerSpin)) break;
      }
    }
    t_inside_call = was_inside;
    if (signal != nullptr) {
      if (!spin_until([&] { return all_done() || signalled(); }, kCallerSpin)) {
        while (!all_done() && !signalled()) signal->wait(seen, std::memory_order_acquire);
      }
      if (!all_done()) return false;
    } else if (!spin_until(all_done, kCallerSpin)) {
      for (std::uint32_t left = job.unfinished.load(std::memory_order_acquire); left != 0;
           left = job.unfinished.load(std::memory_order_acquire)) {
        job.unfinished.wait(left, std::memory_order_acquire);
      }
    }
    reserved_.fetch_and(~bit, std::memory_order_release);
    return true;
  }

 private:
  // A free job slot, now the caller's, or kJobSlots when all are taken.
  std::size_t reserve_slot() noexcept {
    std::uint64_t taken = reserved_.load(std::memory_order_relaxed);
    while (taken != ~std::uint64_t{0}) {
      const int slot = std::countr_one(taken);
      if (reserved_.compare_exchange_weak(taken, taken | std::uint64_t{1} << slot, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
        return static_cast<std::size_t>(slot);
      }
    }
    return kJobSlots;
  }

  // Claims and runs blocks of the job until none is left, starting from `claim` (a word of the
  // job's generation). `join` is the claim word increment of the first claim: a worker counts
  // itself among the job's helpers with it, the owner does not.
  void take_blocks(Job& job, std::uint16_t generation, std::uint64_t join) noexcept {
    std::uint64_t claim = job.claim.load(std::memory_order_acquire);
    for (;;) {
      if (ClaimWord::generation(claim) != generation || !ClaimWord::open(claim)) return;
      if (join != 0 && !ClaimWord::joinable(claim)) return;
      if (!job.claim.compare_exchange_weak(claim, claim + join + ClaimWord::kOneBlock, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
        continue;
      }
      join = 0;
      job.block(job.context, ClaimWord::next(claim));
      if (job.unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) job.unfinished.notify_all();
      claim = job.claim.load(std::memory_order_acquire);
    }
  }

  // True when some open job has a block left that one more helper may take; `calls_only` leaves
  // out posted blocks.
  bool work_available(bool calls_only = false) const noexcept {
    for (std::uint64_t open = open_.load(std::memory_order_seq_cst); open != 0; open &= open - 1) {
      const Job& job = jobs_[static_cast<std::size_t>(std::countr_zero(open))];
      if (ClaimWord::joinable(job.claim.load(std::memory_order_acquire), calls_only)) return true;
    }
    return false;
  }

  // Joins the first open job that takes one more helper and runs its blocks until none is left;
  // false when there was none. Which job a worker helps changes no result.
  bool help(bool calls_only = false) noexcept {
    for (std::uint64_t open = open_.load(std::memory_order_acquire); open != 0; open &= open - 1) {
      Job& job = jobs_[static_cast<std::size_t>(std::countr_zero(open))];
      const std::uint64_t claim = job.claim.load(std::memory_order_acquire);
      if (!ClaimWord::joinable(claim, calls_only)) continue;
      take_blocks(job, ClaimWord::generation(claim), ClaimWord::kOneHelper);
      return true;
    }
    return false;
  }

  // Runs one block of the work offered to idle workers; false when none is offered or left. The
  // worker that finds every block claimed withdraws the offer, so that the others stop visiting.
  bool help_when_idle() noexcept {
    if (idle_work_.load(std::memory_order_relaxed) == nullptr) return false;
    idle_visitors_.fetch_add(1, std::memory_order_seq_cst);
    IdleWork* work = idle_work_.load(std::memory_order_seq_cst);
    const bool ran = work != nullptr && work->run_one();
    if (work != nullptr && !ran) idle_work_.compare_exchange_strong(work, nullptr, std::memory_order_seq_cst);
    idle_visitors_.fetch_sub(1, std::memory_order_release);
    return ran;
  }

  void worker_loop(std::size_t worker) noexcept {
    t_thread_index = worker + 1;
    t_inside_call = true;
    for (;;) {
      if (help()) continue;
      if (help_when_idle()) continue;
      if (spin_until(
              [this] { return work_available() || idle_work_.load(std::memory_order_relaxed) != nullptr; },
              kWorkerSpin)) {
        continue;
      }
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      const std::uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
      if (!work_available()) epoch_.wait(epoch, std::memory_order_seq_cst);
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }
  }

  std::unique_ptr<Job[]> jobs_;
  std::atomic<std::size_t> started_{0};
  alignas(64) std::atomic<std::uint64_t> reserved_{0};  // job slots held by their owners
  alignas(64) std::atomic<std::uint64_t> open_{0};      // job slots that may have blocks to claim
  alignas(64) std::atomic<std::uint32_t> epoch_{0};     // bumped by every published job
  std::atomic<std::size_t> sleepers_{0};
  alignas(64) std::atomic<IdleWork*> idle_work_{nullptr};  // offered to idle workers
  alignas(64) std::atomic<std::size_t> idle_visitors_{0};  // workers reading or running it
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
  if (max_threads <= 1 || block_count == 1 || current_num_threads() <= 1) {
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

std::size_t post_block(BlockFunction block, void* context) noexcept {
  if (current_num_threads() <= 1) return kNotPosted;
  try {
    return pool().post(block, context);
  } catch (...) {
    return kNotPosted;  // out of memory for the pool itself: the block runs when collected
  }
}

void run_blocks_when_idle(std::size_t block_count, BlockFunction block, void* context) noexcept {
  if (block_count == 0) return;
  IdleWork work;
  work.count = block_count;
  work.block = block;
  work.context = context;
  WorkerPool* workers = current_num_threads() > 1 ? g_pool.load(std::memory_order_acquire) : nullptr;
  if (workers == nullptr) {
    // No pool yet (nothing has used it) or one thread: no worker to offer the work to.
    run_own_blocks(work);
    return;
  }
  workers->run_when_idle(work);
}

namespace {

// Both collections: a block that was never posted runs here; a posted one is finished, its wait
// ending early on a change of `signal` when there is one.
bool collect(std::size_t handle, BlockFunction block, void* context, const std::atomic<std::uint32_t>* signal,
             std::uint32_t seen) noexcept {
  if (handle == kNotPosted) {
    run_serially(1, block, context);
    return true;
  }
  return g_pool.load(std::memory_order_acquire)->finish(handle, true, signal, seen);
}

}  // namespace

void collect_posted(std::size_t handle, BlockFunction block, void* context) noexcept {
  collect(handle, block, context, nullptr, 0);
}

bool collect_posted_unless(std::size_t handle, BlockFunction block, void* context,
                           const std::atomic<std::uint32_t>& signal, std::uint32_t seen) noexcept {
  return collect(handle, block, context, &signal, seen);
}

}  // namespace detail

}  // namespace kestrune::parallel
