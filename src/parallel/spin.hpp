// Waiting by polling, for waits of microseconds on another running thread: a flag it is about
// to set, or a lock it holds for a few instructions. Sleeping in the kernel costs the waker a
// system call and the sleeper a scheduling delay, far more than such waits last.
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

// Polls `ready` until it holds: first busily, then offering the core to any thread ready to run
// on it (the awaited thread may have been preempted).
template <typename Ready>
void wait_until(Ready&& ready) {
  for (int polls = 0; !ready();) {
    if (polls < 64) {
      ++polls;
      cpu_relax();
    } else {
      std::this_thread::yield();
    }
  }
}

// A lock for critical sections of a few instructions that several pool threads may enter at
// once, such as taking a buffer from a kept store (a contended std::mutex would put its waiters
// to sleep).
class SpinLock {
 public:
  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      wait_until([this] { return !locked_.load(std::memory_order_relaxed); });
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

}  // namespace kestrune::parallel
