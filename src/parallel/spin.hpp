// Waiting by polling, for waits of microseconds on another running thread: a flag it is about
// to set, or a lock it holds for a few instructions. Sleeping in the kernel costs the waker a
// system call and the sleeper a scheduling delay, far more than such waits last.
#pragma once

#include <atomic>
#include <chrono>
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

namespace detail {

// The first polls of a wait are back to back: the awaited store is often only a few hundred
// cycles away.
template <typename Ready>
bool poll_busily(Ready& ready) {
  for (int i = 0; i < 256; ++i) {
    if (ready()) return true;
    cpu_relax();
  }
  return false;
}

}  // namespace detail

// Polls `ready` until it holds or `budget` has passed; returns its last value. After the first
// polls, each one first offers the CPU to any other thread ready to run on it, so that a waiting
// thread does not hold up the threads doing work, ours or other processes', on a busy machine.
template <typename Ready>
bool spin_until(Ready&& ready, std::chrono::microseconds budget) noexcept {
  if (detail::poll_busily(ready)) return true;
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (;;) {
    if (ready()) return true;
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() >= deadline) return ready();
  }
}

// Polls `ready` the same way until it holds, however long that takes (the awaited thread may
// have been preempted).
template <typename Ready>
void wait_until(Ready&& ready) {
  if (detail::poll_busily(ready)) return;
  while (!ready()) std::this_thread::yield();
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
