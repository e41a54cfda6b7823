// The process-wide worker pool under the data-parallel helpers of parallel.hpp.
//
// The pool owns current_num_threads() - 1 worker threads, started on the first call that needs
// them and kept for the life of the process. A parallel call is a list of blocks: the calling
// thread publishes it, wakes the workers and then takes blocks itself, one at a time, like any
// worker. A worker that wakes late finds the blocks taken and goes back to sleep; the caller
// waits only for blocks that some thread has actually started. So a worker the system does not
// schedule in time (a busy or oversubscribed machine) costs nothing but the share of work it
// did not take, where a fork-join team would have made every call wait for it.
//
// A call wakes only as many workers as it may use (max_threads). Idle workers keep looking for
// work for a short while, yielding the CPU to any thread that is ready to run, before they sleep:
// back-to-back calls then need no wake-up, and a busy machine loses little to the looking.
//
// Calls may run at the same time and may nest: a block may itself make a parallel call, whose
// blocks idle workers join while the block's thread takes them too. A thread waiting for its
// call runs only that call's blocks, never another call's, so a block never finds its thread's
// scratch (per_thread.hpp, thread-local buffers) in use by a block further up its own stack.
// Nested calls make a task group of the growers' node work: one block per node, each block's
// histogram or partition call spread over whatever workers are idle.
//
// A block may also be posted: handed to the idle workers while its poster goes on with other
// work, then collected (run by the poster itself if no worker took it). The leaf-wise grower
// keeps its next nodes' work going this way, committing each node as its turn comes.
// A poster collecting a block that a worker runs helps the open calls meanwhile (the block's own
// nested calls, most often), unless it is itself inside a call, whose block's scratch a helped
// block could reuse.
//
// Work that may wait (a round's loss, needed only once its tree is grown) is offered to the
// workers that find nothing else to do: they take its blocks one at a time, looking for calls and
// posted blocks before each, so that it never holds up the work a tree waits for.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrune::parallel {

// The calling thread's index in the pool: 1 .. current_num_threads() - 1 on a pool worker, 0 on
// any other thread (the threads that make parallel calls).
std::size_t current_thread_index() noexcept;

// True on a pool worker, and on a calling thread while it runs blocks of its own parallel call.
bool inside_parallel_call() noexcept;

// The number of worker threads started so far (0 before the first parallel call, and when the
// system refused to start any).
std::size_t started_worker_count() noexcept;

namespace detail {

// Runs one block; must not throw (the helpers catch inside the block).
using BlockFunction = void (*)(void* context, std::size_t block) noexcept;

// Runs block(context, b) once for every b in [0, block_count), on at most `max_threads` threads,
// the calling thread included, and returns when every block has finished. Blocks run in no
// particular order and possibly at the same time; everything a block wrote is visible to the
// caller on return. max_threads <= 1, a pool of one thread, more than 65535 blocks and a call
// made while 64 others are open run the blocks on the calling thread in order.
void run_blocks(std::size_t block_count, std::size_t max_threads, BlockFunction block, void* context) noexcept;

// The handle of a block that was not handed to the pool (a pool of one thread, no worker
// started, every job slot taken): collect_posted then runs it on the collecting thread.
inline constexpr std::size_t kNotPosted = static_cast<std::size_t>(-1);

// Hands block(context, 0) to the pool's idle workers and returns at once, without running it.
// The calling thread must collect the handle later, whatever happens in between.
std::size_t post_block(BlockFunction block, void* context) noexcept;

// Runs the posted block on the calling thread when no worker has taken it yet, else waits for
// it to finish; the handle is then spent. For kNotPosted the block runs here.
void collect_posted(std::size_t handle, BlockFunction block, void* context) noexcept;

// Like collect_posted, except that while a worker runs the block the wait also ends as soon as
// `signal` no longer holds `seen`: false then, and the handle is not spent (collect it later).
// The collector sleeps on the signal: the block must change it as it ends, after `seen` was read.
bool collect_posted_unless(std::size_t handle, BlockFunction block, void* context,
                           const std::atomic<std::uint32_t>& signal, std::uint32_t seen) noexcept;

// Runs block(context, b) once for every b in [0, block_count), claiming them in order on the
// calling thread, while pool workers that find no call and no posted block open take blocks too,
// one at a time and each after looking for other work again: work that may wait, done on what the
// pool would otherwise spend looking. Returns when every block has finished; everything a block
// wrote is visible to the caller then. One such call is offered to the workers at a time: another
// made meanwhile, and any on a pool of one thread, runs on its calling thread alone.
void run_blocks_when_idle(std::size_t block_count, BlockFunction block, void* context) noexcept;

}  // namespace detail

}  // namespace kestrune::parallel
