// Scratch that each pool thread owns: one lazily created T per thread, so that tasks can reuse
// buffers from task to task without sharing or locking them.
//
// A slot is picked by the OpenMP thread number: inside a pool task that task's thread, outside a
// region (and in a call that runs serially, which stays on its thread) the calling thread's,
// which is slot 0, the same slot it has as the team's first thread. So a PerThread may be used
// by one calling thread at a time, as the module does by holding the interpreter lock for the
// whole call.
#pragma once

#include <omp.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "parallel/pool_size.hpp"
#include "support/panic.hpp"

namespace kestrune::parallel {

template <typename T>
class PerThread {
 public:
  // Slots default-construct their T on first use.
  PerThread() : PerThread([] { return T(); }) {}

  // Slots build their T with `make` on first use.
  explicit PerThread(std::function<T()> make)
      : make_(std::move(make)), slots_(current_num_threads()) {}

  PerThread(const PerThread&) = delete;
  PerThread& operator=(const PerThread&) = delete;

  // The current thread's T, created on the thread's first call.
  T& local() {
    const int thread = omp_get_thread_num();
    if (thread < 0 || static_cast<std::size_t>(thread) >= slots_.size()) {
      support::panic("per-thread scratch used from a thread outside the worker pool");
    }
    std::unique_ptr<T>& value = slots_[static_cast<std::size_t>(thread)].value;
    if (!value) value = std::make_unique<T>(make_());
    return *value;
  }

  std::size_t slot_count() const { return slots_.size(); }

 private:
  // One cache line per slot, so threads updating their own pointers do not contend.
  struct alignas(64) Slot {
    std::unique_ptr<T> value;
  };

  std::function<T()> make_;
  std::vector<Slot> slots_;
};

}  // namespace kestrune::parallel
