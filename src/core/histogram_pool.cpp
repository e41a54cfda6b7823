#include "core/histogram_pool.hpp"

#include <pthread.h>

#include <mutex>
#include <unordered_map>
#include <vector>

namespace kestrune::core {

namespace {

struct HistogramPool {
  std::mutex mutex;
  // Released buffers by exact byte size.
  std::unordered_map<std::size_t, std::vector<void*>> free_lists;
  std::size_t kept_bytes = 0;
};

void reset_after_fork();

HistogramPool& pool() {
  // Never destroyed: bin lists in static objects may be released after every destructor of
  // this file has run.
  static HistogramPool* const instance = [] {
    auto* created = new HistogramPool;
    pthread_atfork(nullptr, nullptr, reset_after_fork);
    return created;
  }();
  return *instance;
}

// A fork may happen while another thread holds the lock; the child has only the forking thread,
// so it starts from a fresh lock (the kept buffers stay valid in the child's copy of memory).
void reset_after_fork() { new (&pool().mutex) std::mutex(); }

}  // namespace

void* histogram_pool_acquire(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  HistogramPool& shared = pool();
  {
    const std::lock_guard<std::mutex> lock(shared.mutex);
    const auto found = shared.free_lists.find(bytes);
    if (found != shared.free_lists.end() && !found->second.empty()) {
      void* buffer = found->second.back();
      found->second.pop_back();
      shared.kept_bytes -= bytes;
      return buffer;
    }
  }
  return ::operator new(bytes);
}

void histogram_pool_release(void* buffer, std::size_t bytes) noexcept {
  if (buffer == nullptr) return;
  if (bytes == 0) bytes = 1;
  HistogramPool& shared = pool();
  {
    const std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.kept_bytes + bytes <= kHistogramPoolBytes) {
      try {
        shared.free_lists[bytes].push_back(buffer);
        shared.kept_bytes += bytes;
        return;
      } catch (...) {
        // No room to remember the buffer: free it below.
      }
    }
  }
  ::operator delete(buffer);
}

std::size_t histogram_pool_kept_bytes() noexcept {
  HistogramPool& shared = pool();
  const std::lock_guard<std::mutex> lock(shared.mutex);
  return shared.kept_bytes;
}

}  // namespace kestrune::core
