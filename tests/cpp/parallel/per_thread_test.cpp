#include "parallel/per_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <vector>

#include "parallel/parallel.hpp"

namespace kestrune::parallel {
namespace {

TEST(ParallelPerThread, EachThreadGetsItsOwnLazilyCreatedSlot) {
  std::atomic<int> created{0};
  PerThread<std::vector<std::size_t>> scratch([&] {
    ++created;
    return std::vector<std::size_t>();
  });
  EXPECT_EQ(scratch.slot_count(), current_num_threads());
  EXPECT_EQ(created.load(), 0);

  constexpr std::size_t kCount = 20000;
  std::vector<const void*> owner(kCount);
  std::vector<int> thread_of(kCount);
  parallel_for(0, kCount, [&](std::size_t i) {
    std::vector<std::size_t>& mine = scratch.local();
    mine.push_back(i);  // would race if two threads shared a slot
    owner[i] = &mine;
    thread_of[i] = static_cast<int>(current_thread_index());
  });

  // One object per thread number, and the threads' lists together hold every index once.
  std::map<int, const void*> object_of_thread;
  for (std::size_t i = 0; i < kCount; ++i) {
    auto [it, inserted] = object_of_thread.emplace(thread_of[i], owner[i]);
    EXPECT_EQ(it->second, owner[i]) << "index " << i;
  }
  std::map<const void*, int> thread_of_object;
  for (const auto& [thread, object] : object_of_thread) {
    EXPECT_TRUE(thread_of_object.emplace(object, thread).second) << "two threads share a slot";
  }
  EXPECT_EQ(created.load(), static_cast<int>(object_of_thread.size()));
  std::size_t total = 0;
  for (const auto& [thread, object] : object_of_thread) {
    total += static_cast<const std::vector<std::size_t>*>(object)->size();
  }
  EXPECT_EQ(total, kCount);

  // Outside a call the caller uses slot 0, the one it also uses while taking part in a call.
  std::vector<std::size_t>& callers = scratch.local();
  if (object_of_thread.count(0) != 0) {
    EXPECT_EQ(static_cast<const void*>(&callers), object_of_thread[0]);
  }
  EXPECT_EQ(created.load(), static_cast<int>(object_of_thread.size()) +
                                (object_of_thread.count(0) != 0 ? 0 : 1));
}

TEST(ParallelPerThread, DefaultConstructsAndKeepsStateAcrossCalls) {
  PerThread<std::vector<int>> scratch;
  scratch.local().push_back(1);
  scratch.local().push_back(2);
  EXPECT_EQ(scratch.local(), (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace kestrune::parallel
