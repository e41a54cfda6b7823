// A lock for critical sections of a few instructions that several pool threads may enter at
// once, such as taking a buffer from a kept store. A contended std::mutex sends its waiters to
// sleep in the kernel and its owner wakes them with a system call, which costs far more than the
// section it guards; here a waiter polls, and offers its CPU to other threads only if the wait
// runs long (the owner may have been preempted).
#pragma once

#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrune::parallel {

// Tells the CPU that this thread is polling a value another thread will change.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

class SpinLock {
 public:
  void lock() noexcept {
    int polls = 0;
    while (locked_.exchange(true, std::memory_order_acquire)) {
      while (locked_.load(std::memory_order_relaxed)) {
        if (++polls < kPollsBeforeYield) {
          cpu_relax();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  static constexpr int kPollsBeforeYield = 128;
  std::atomic<bool> locked_{false};
};

}  // namespace kestrune::parallel
