// Scratch that each pool thread owns: one lazily created T per thread, so that tasks can reuse
// buffers from task to task without sharing or locking them.
//
// A slot is picked by the pool's thread index (current_thread_index): a pool worker has its own
// slot, and any other thread, the one making parallel calls and taking part in them, uses slot 0.
// So a PerThread may be used by one calling thread at a time, as the module does by holding the
// interpreter lock for the whole call.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"
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
    const std::size_t thread = current_thread_index();
    if (thread >= slots_.size()) support::panic("per-thread scratch used from a thread outside the worker pool");
    std::unique_ptr<T>& value = slots_[thread].value;
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
