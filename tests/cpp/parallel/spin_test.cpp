#include "parallel/spin.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "parallel/parallel.hpp"

namespace kestrune::parallel {
namespace {

// Pool threads (and a plain thread outside the pool) take the lock for a read-modify-write of
// unguarded data: a section that overlapped another would lose an update or see a second owner.
TEST(ParallelSpinLock, SectionsNeverOverlap) {
  SpinLock lock;
  std::size_t total = 0;
  std::vector<std::size_t> order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  const auto section = [&](std::size_t i) {
    const std::lock_guard<SpinLock> held(lock);
    if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlapped = true;
    const std::size_t seen = total;
    order.push_back(i);
    total = seen + 1;
    inside.fetch_sub(1, std::memory_order_relaxed);
  };
  constexpr std::size_t kSections = 200000;
  std::thread outside([&] {
    for (std::size_t i = 0; i < 1000; ++i) section(kSections + i);
  });
  parallel_for(0, kSections, section);
  outside.join();
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(total, kSections + 1000);
  EXPECT_EQ(order.size(), kSections + 1000);
}

}  // namespace
}  // namespace kestrune::parallel
