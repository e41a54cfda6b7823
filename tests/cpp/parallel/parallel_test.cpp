#include "parallel/parallel.hpp"
#include "parallel/per_thread.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace kestrune::parallel {
namespace {

constexpr std::size_t kSerial = static_cast<std::size_t>(-1);  // min_parallel forcing serial

const std::vector<std::size_t> kSizes = {0, 1, 2, 3, 5, 8, 31, 64, 1000, 4097, 100003};

// Floats of very different magnitudes and both signs, so that any change in summation order
// shows in the last bits.
float sample(std::size_t i) {
  const std::uint32_t h = static_cast<std::uint32_t>(i) * 2654435761u;
  const float magnitude = static_cast<float>(1u << (h >> 28)) * 0.001f;
  const float value = static_cast<float>(h % 100003u) * magnitude;
  return (h & 1u) != 0 ? -value : value;
}

float serial_chunked_sum(std::size_t count, std::size_t chunk_size) {
  float total = 0.0f;
  for (std::size_t first = 0; first < count; first += chunk_size) {
    float chunk = -0.0f;
    for (std::size_t i = first; i < std::min(first + chunk_size, count); ++i) chunk += sample(i);
    total = first == 0 ? chunk : total + chunk;
  }
  return total;
}

TEST(ParallelMap, ResultsInInputOrderForManySizes) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t min_parallel : {kDefaultMinParallel, kSerial}) {
      const auto results =
          parallel_map<std::uint64_t>(count, [](std::size_t i) { return std::uint64_t{i} * 7 + 1; }, min_parallel);
      ASSERT_EQ(results.size(), count);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(results[i], i * 7 + 1) << count << " " << i;
    }
  }
}

struct NoDefault {
  explicit NoDefault(std::size_t v) : value(v) {}
  std::size_t value;
};

// Every entry point covers its range exactly once, results in input order, on the pool and
// serially, at every size; maps build elements without a default constructor and packed bools.
TEST(ParallelCalls, CoverTheRangeOnceInInputOrder) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t min_parallel : {kDefaultMinParallel, kSerial}) {
      const auto results = parallel_map<NoDefault>(count, [](std::size_t i) { return NoDefault(i * 7 + 1); }, min_parallel);
      ASSERT_EQ(results.size(), count);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(results[i].value, i * 7 + 1) << count;
      const auto odd = parallel_map<bool>(count, [](std::size_t i) { return i % 2 == 1; }, min_parallel);
      ASSERT_EQ(odd.size(), count);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(odd[i], i % 2 == 1) << count;
      std::vector<int> visits(count + 10, 0);
      parallel_for(10, count + 10, [&](std::size_t i) { ++visits[i]; }, min_parallel);
      for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i], i < 10 ? 0 : 1) << count;
      std::vector<int> chunk_visits(count, 0);
      parallel_for_chunks(count, 3, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) ++chunk_visits[i];
      }, min_parallel);
      ASSERT_EQ(chunk_visits, std::vector<int>(count, 1)) << count;
    }
  }
}

TEST(ParallelMap, HandlesElementsWithoutDefaultAndPackedBools) {
  const auto objects = parallel_map<NoDefault>(5000, [](std::size_t i) { return NoDefault(i * 2); });
  ASSERT_EQ(objects.size(), 5000u);
  for (std::size_t i = 0; i < objects.size(); ++i) ASSERT_EQ(objects[i].value, i * 2);

  const auto odd = parallel_map<bool>(100000, [](std::size_t i) { return i % 2 == 1; });
  ASSERT_EQ(odd.size(), 100000u);
  for (std::size_t i = 0; i < odd.size(); ++i) ASSERT_EQ(odd[i], i % 2 == 1) << i;
}

TEST(ParallelFor, VisitsEveryIndexOnce) {
  for (const std::size_t count : kSizes) {
    std::vector<int> visits(count + 10, 0);
    parallel_for(10, count + 10, [&](std::size_t i) { ++visits[i]; });
    for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i], i < 10 ? 0 : 1) << count;
  }
  int calls = 0;
  parallel_for(5, 5, [&](std::size_t) { ++calls; });
  parallel_for(7, 3, [&](std::size_t) { ++calls; });  // reversed: empty
  EXPECT_EQ(calls, 0);
}

TEST(ParallelForChunks, CoversTheRangeWithFixedChunks) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t chunk_size : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, count + 1}) {
      const std::size_t chunks = (count + chunk_size - 1) / chunk_size;
      std::vector<std::pair<std::size_t, std::size_t>> seen(chunks, {kSerial, kSerial});
      parallel_for_chunks(count, chunk_size, [&](std::size_t first, std::size_t last) {
        seen.at(first / chunk_size) = {first, last};
      });
      for (std::size_t k = 0; k < chunks; ++k) {
        ASSERT_EQ(seen[k].first, k * chunk_size);
        ASSERT_EQ(seen[k].second, std::min((k + 1) * chunk_size, count));
      }
    }
  }
  EXPECT_THROW(parallel_for_chunks(10, 0, [](std::size_t, std::size_t) {}), support::Panic);
}

// One case per entry point: run `count` tasks where task i calls visit(i), which may throw.
struct EntryPoint {
  std::string name;
  std::function<void(std::size_t count, std::size_t min_parallel, const std::function<void(std::size_t)>& visit)> run;
};

std::vector<EntryPoint> entry_points() {
  return {
      {"for", [](std::size_t n, std::size_t min, const std::function<void(std::size_t)>& visit) {
         parallel_for(0, n, visit, min);
       }},
      {"chunks", [](std::size_t n, std::size_t min, const std::function<void(std::size_t)>& visit) {
         // Chunks of one item so that every item is its own task.
         parallel_for_chunks(n, 1, [&](std::size_t first, std::size_t) { visit(first); }, min);
       }},
      {"map", [](std::size_t n, std::size_t min, const std::function<void(std::size_t)>& visit) {
         parallel_map<int>(n, [&](std::size_t i) { visit(i); return 0; }, min);
       }},
      {"reduce", [](std::size_t n, std::size_t min, const std::function<void(std::size_t)>& visit) {
         // Chunks of one item (or of everything when serial is asked for).
         parallel_reduce(n, 0, [&](std::size_t i) { visit(i); return 1; }, std::plus<int>(),
                         min == kSerial ? n : 1);
       }},
      {"nested", [](std::size_t n, std::size_t min, const std::function<void(std::size_t)>& visit) {
         // Inside a pool task, which passes the failure on to its own caller.
         parallel_for(0, 3, [&](std::size_t o) {
           if (o == 1) parallel_for(0, n, visit, min);
         });
       }},
  };
}

TEST(ParallelExceptions, FirstInInputOrderReachesTheCallerAfterAllTasksRan) {
  for (const EntryPoint& entry : entry_points()) {
    for (const std::size_t count : {std::size_t{2}, std::size_t{40}, std::size_t{5000}}) {
      for (const std::size_t min_parallel : {kDefaultMinParallel, kSerial}) {
        SCOPED_TRACE(entry.name + " count " + std::to_string(count) + " min " + std::to_string(min_parallel));
        // Later indices throw too, and the last one throws a different type.
        const std::vector<std::size_t> throwing = {count - 1, count / 2 + 1, count / 2, 1};
        std::vector<std::atomic<int>> ran(count);
        try {
          entry.run(count, min_parallel, [&](std::size_t i) {
            ++ran[i];
            for (std::size_t t : throwing) {
              if (t == i) {
                if (i == count - 1) throw std::logic_error("last " + std::to_string(i));
                throw std::runtime_error(std::to_string(i));
              }
            }
          });
          FAIL() << "no exception reached the caller";
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "1");
        } catch (const std::logic_error& error) {
          ASSERT_EQ(count, 2u);  // index 1 is also the last one there
          EXPECT_STREQ(error.what(), "last 1");
        }
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(ran[i].load(), min_parallel == kSerial && entry.name == "reduce" && i > 1 ? 0 : 1) << i;
      }
    }
  }
}

TEST(ParallelExceptions, PanicsInTasksAreCarriedToTheCaller) {
  EXPECT_THROW(parallel_for(0, 100, [](std::size_t i) { support::invariant(i != 42, "boom"); }),
               support::Panic);
}

// Calls nest three deep, as the growers' node tasks call the backend, whose calls spread over
// idle workers: every nested call completes, with its results in input order, and a reduction
// gives the serial chunked bits wherever it runs.
TEST(ParallelNesting, NestedCallsCompleteWithTheirResultsInOrder) {
  constexpr std::size_t kOuter = 16;
  constexpr std::size_t kInner = 3000;
  std::vector<std::vector<std::size_t>> inner_results(kOuter);
  std::vector<std::vector<std::uint64_t>> deepest(kOuter);
  parallel_for(0, kOuter, [&](std::size_t o) {
    inner_results[o] = parallel_map<std::size_t>(kInner, [&](std::size_t i) { return o * kInner + i; });
    deepest[o] = parallel_map<std::uint64_t>(8, [&](std::size_t m) {
      const auto sums = parallel_map<std::uint64_t>(100, [&](std::size_t i) { return std::uint64_t{o * m * i}; });
      std::uint64_t total = 0;
      for (std::uint64_t v : sums) total += v;
      return total;
    });
    auto [sum, inside] = join(
        [&] { return parallel_reduce(kInner, -0.0f, [](std::size_t i) { return sample(i); }, std::plus<float>(), 7); },
        [&] { return inside_parallel_call(); });
    EXPECT_EQ(std::bit_cast<std::uint32_t>(sum), std::bit_cast<std::uint32_t>(serial_chunked_sum(kInner, 7)));
    EXPECT_TRUE(inside || current_num_threads() == 1);
  });
  for (std::size_t o = 0; o < kOuter; ++o) {
    for (std::size_t i = 0; i < kInner; ++i) ASSERT_EQ(inner_results[o][i], o * kInner + i);
    for (std::size_t m = 0; m < 8; ++m) ASSERT_EQ(deepest[o][m], o * m * (99 * 100 / 2)) << o << " " << m;
  }
  EXPECT_FALSE(inside_parallel_call());
}

// Nested calls each rethrow their own first failure in input order, after all their tasks ran,
// and the outer call passes on the first of those in its own order. Slow tasks keep several
// calls open at once on a pool of several threads.
TEST(ParallelNesting, FirstExceptionInInputOrderReachesEachCaller) {
  for (int repeat = 0; repeat < 20; ++repeat) {
    std::atomic<int> ran{0};
    std::vector<std::string> caught(8);
    try {
      parallel_for(0, 8, [&](std::size_t o) {
        try {
          parallel_for(0, 50, [&](std::size_t i) {
            ++ran;
            if (i % 10 == 3 && o >= 2) {
              if (repeat % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50 - i));
              throw std::runtime_error(std::to_string(o) + ":" + std::to_string(i));
            }
          });
        } catch (const std::runtime_error& error) {
          caught[o] = error.what();
          throw;
        }
      });
      ADD_FAILURE() << "no exception reached the caller";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "2:3");
    }
    EXPECT_EQ(ran.load(), 8 * 50) << "a task was skipped";
    for (std::size_t o = 0; o < 8; ++o) EXPECT_EQ(caught[o], o >= 2 ? std::to_string(o) + ":3" : "") << o;
  }
}

TEST(ParallelPool, UsesThePoolOnlyWithMoreThanOneThreadAndEnoughTasks) {
  std::vector<int> inside(64, -1);
  parallel_for(0, inside.size(), [&](std::size_t i) { inside[i] = inside_parallel_call() ? 1 : 0; });
  for (int flag : inside) EXPECT_EQ(flag, current_num_threads() > 1 ? 1 : 0);
  EXPECT_FALSE(inside_parallel_call()) << "the caller leaves the call behind it";

  const std::thread::id caller = std::this_thread::get_id();
  std::vector<int> on_caller(64, 0);
  parallel_for(0, on_caller.size(), [&](std::size_t i) { on_caller[i] = std::this_thread::get_id() == caller; },
               on_caller.size() + 1);
  for (int flag : on_caller) EXPECT_EQ(flag, 1) << "below min_parallel the caller's thread runs it";
  EXPECT_LE(started_worker_count(), current_num_threads() - 1);
}

// Slow tasks give every thread time to arrive: the workers take part, each with its own index.
TEST(ParallelPool, WorkersTakePartWithTheirOwnIndices) {
  if (current_num_threads() < 2) GTEST_SKIP() << "needs a pool of several threads";
  std::vector<std::size_t> index_of(256, kSerial);
  std::vector<std::thread::id> thread_of(index_of.size());
  parallel_for(0, index_of.size(), [&](std::size_t i) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    index_of[i] = current_thread_index();
    thread_of[i] = std::this_thread::get_id();
  });
  std::set<std::pair<std::size_t, std::thread::id>> pairs;
  for (std::size_t i = 0; i < index_of.size(); ++i) {
    ASSERT_LT(index_of[i], current_num_threads());
    pairs.emplace(index_of[i], thread_of[i]);
  }
  std::set<std::size_t> indices;
  for (const auto& [index, thread] : pairs) EXPECT_TRUE(indices.insert(index).second) << "index shared by threads";
  EXPECT_GT(indices.size(), 1u) << "no worker took part in a call of 256 slow tasks";
  EXPECT_EQ(current_thread_index(), 0u);
}

TEST(ParallelPool, MaxThreadsCapsTheThreadsOfACall) {
  for (const std::size_t cap : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
    std::vector<std::size_t> index_of(64, kSerial);
    parallel_for(
        0, index_of.size(),
        [&](std::size_t i) {
          std::this_thread::sleep_for(std::chrono::microseconds(100));
          index_of[i] = current_thread_index();
        },
        kDefaultMinParallel, cap);
    const std::set<std::size_t> indices(index_of.begin(), index_of.end());
    EXPECT_LE(indices.size(), cap) << "cap " << cap;
    EXPECT_EQ(indices.count(kSerial), 0u);
  }
}

// Slow tasks give every thread time to arrive: each thread of a call has its own index and its
// own per-thread slot, made on first use and kept across calls whatever their cap; no call has
// more threads than its cap, a cap of one keeps the call off the pool, and below min_parallel the
// caller runs it with index 0 and the slot it uses outside any call.
TEST(ParallelPool, ThreadsOfACallFollowTheCapAndKeepTheirSlots) {
  const std::size_t threads = current_num_threads();
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<std::size_t> created{0};
  PerThread<std::vector<std::size_t>> scratch([&] { return ++created, std::vector<std::size_t>(); });
  ASSERT_EQ(scratch.slot_count(), threads);
  std::map<std::size_t, const std::vector<std::size_t>*> slot_of_index;
  for (const std::size_t cap : {kAllThreads, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{0}}) {
    SCOPED_TRACE(::testing::Message() << "cap " << cap);
    std::vector<std::tuple<std::size_t, std::thread::id, const std::vector<std::size_t>*>> seen(256);
    std::vector<int> inside(seen.size(), -1);  // cap 0 here: min_parallel above the count instead
    parallel_for(0, seen.size(), [&](std::size_t i) {
      std::this_thread::sleep_for(std::chrono::microseconds(cap == kAllThreads ? 200 : 20));
      scratch.local().push_back(i);  // would race if two threads shared a slot
      seen[i] = {current_thread_index(), std::this_thread::get_id(), &scratch.local()};
      inside[i] = inside_parallel_call() ? 1 : 0;
    }, cap == 0 ? seen.size() + 1 : kDefaultMinParallel, cap == 0 ? kAllThreads : cap);
    std::set<std::size_t> indices;
    std::set<const void*> slots;
    for (const auto& [index, thread, slot] : std::set(seen.begin(), seen.end())) {
      EXPECT_TRUE(indices.insert(index).second && slots.insert(slot).second) << "index or slot shared by threads";
      EXPECT_EQ(slot_of_index.emplace(index, slot).first->second, slot) << "thread " << index << " changed slots";
      EXPECT_LT(index, threads);
      EXPECT_TRUE(cap != 0 || (thread == caller && index == 0)) << "below min_parallel the caller runs it";
    }
    for (const int flag : inside) ASSERT_EQ(flag, threads > 1 && cap > 1 ? 1 : 0);
    EXPECT_LE(indices.size(), std::max<std::size_t>(cap, 1));
  }
  std::size_t total = 0;
  for (const auto& [index, slot] : slot_of_index) total += slot->size();
  EXPECT_EQ(total, 5 * 256u) << "every task's entry in exactly one slot";
  EXPECT_EQ(created.load(), slot_of_index.size());
  EXPECT_EQ(&scratch.local(), slot_of_index.at(0));
  EXPECT_EQ(current_thread_index(), 0u);
}

// A child forked after the pool has started has none of its workers: its calls still run (it
// starts a pool of its own) instead of waiting for threads that do not exist there.
TEST(ParallelPool, AForkedChildRunsItsOwnCalls) {
  // Fork once every worker has started and taken a block. The sanitizers' allocator, unlike the C
  // library's, is not fork-safe: a worker still starting up (allocating) at the fork would leave
  // the allocator's lock held in the child, whose new workers then wait on it forever.
  parallel_for(0, 64, [](std::size_t) {});
  const std::size_t threads = started_worker_count() + 1;
  std::atomic<std::size_t> arrived{0};
  parallel_for(0, threads, [&](std::size_t) {
    arrived.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (arrived.load() < threads && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }, 1);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);  // a hang ends the child instead of the test run
    bool ok = started_worker_count() == 0;  // the parent's workers are not counted as the child's
    for (int call = 0; call < 200; ++call) {
      const auto values = parallel_map<std::size_t>(1000, [](std::size_t i) { return i * 3; });
      for (std::size_t i = 0; i < values.size(); ++i) ok = ok && values[i] == i * 3;
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not finish (signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0)
                                 << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Calls from several threads at once share the pool, and every call returns its own results.
TEST(ParallelPool, ConcurrentCallersEachGetTheirResults) {
  constexpr std::size_t kCallers = 4;
  constexpr std::size_t kCount = 20000;
  std::vector<std::uint64_t> totals(kCallers, 0);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 50; ++round) {
        const auto values = parallel_map<std::uint64_t>(kCount, [&](std::size_t i) { return i * (c + 1); });
        std::uint64_t sum = 0;
        for (std::uint64_t v : values) sum += v;
        totals[c] += sum;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (std::size_t c = 0; c < kCallers; ++c) {
    EXPECT_EQ(totals[c], 50 * (c + 1) * (kCount * (kCount - 1) / 2)) << c;
  }
}

// Many back-to-back calls of very few cheap tasks, the pattern of tree growth: each call returns
// only after its tasks ran, and no result is lost between calls.
TEST(ParallelPool, ManySmallCallsInARow) {
  std::vector<std::uint32_t> counts(3, 0);
  for (std::uint32_t call = 0; call < 20000; ++call) {
    const std::size_t n = 2 + call % 3;
    std::vector<std::uint32_t> seen(n, 0);
    parallel_for(0, n, [&](std::size_t i) { seen[i] = call + 1; });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i], call + 1) << "call " << call << " task " << i;
    ++counts[call % 3];
  }
  EXPECT_EQ(counts[0] + counts[1] + counts[2], 20000u);
}

TEST(ParallelReduce, FloatSumsAreBitIdenticalToTheSerialChunkedSum) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t chunk_size : {std::size_t{1}, std::size_t{7}, kDefaultReduceChunk, std::size_t{1} << 20}) {
      const float expected = count == 0 ? -0.0f : serial_chunked_sum(count, chunk_size);
      const auto sum = [&] {
        return parallel_reduce(count, -0.0f, sample, [](float a, float b) { return a + b; }, chunk_size);
      };
      const float pooled = sum();
      // The same reduction nested inside a pool task: same bits again.
      const float nested = join(sum, [] { return 0; }).first;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(pooled), std::bit_cast<std::uint32_t>(expected))
          << "count " << count << " chunk " << chunk_size;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(nested), std::bit_cast<std::uint32_t>(expected));
    }
  }
  // The sign of an empty sum is the identity's.
  EXPECT_TRUE(std::signbit(parallel_reduce(0, -0.0f, sample, std::plus<float>())));
}

TEST(ParallelReduce, CombinesInInputOrder) {
  const std::string joined = parallel_reduce(
      500, std::string(), [](std::size_t i) { return std::to_string(i) + ","; },
      [](std::string a, const std::string& b) { return a + b; }, 3);
  std::string expected;
  for (std::size_t i = 0; i < 500; ++i) expected += std::to_string(i) + ",";
  EXPECT_EQ(joined, expected);
}

TEST(ParallelJoin, RunsBothAndReturnsBothResults) {
  auto [number, text] = join([] { return 41 + 1; }, [] { return std::string("right"); });
  EXPECT_EQ(number, 42);
  EXPECT_EQ(text, "right");

  int a = 0;
  int b = 0;
  join([&] { a = 1; }, [&] { b = 2; });
  EXPECT_EQ(a + b, 3);
}

TEST(ParallelJoin, BothRunWhenEitherThrowsAndTheFirstWins) {
  struct Case {
    bool a_throws;
    bool b_throws;
    const char* expected;
  };
  for (const Case& c : {Case{true, false, "a"}, Case{false, true, "b"}, Case{true, true, "a"}}) {
    std::atomic<int> ran{0};
    try {
      join(
          [&] {
            ++ran;
            if (c.a_throws) throw std::runtime_error("a");
          },
          [&] {
            ++ran;
            if (c.b_throws) throw std::runtime_error("b");
          });
      FAIL();
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.expected);
    }
    EXPECT_EQ(ran.load(), 2);
  }
}

}  // namespace
}  // namespace kestrune::parallel

namespace kestrune::parallel {
namespace {

// Posted tasks, more of them than the pool has job slots (the rest run when waited for), each
// with a nested parallel call: every one runs exactly once, its result is there after wait(),
// and a failure reaches the waiting thread once.
TEST(ParallelPosted, EveryTaskRunsOnceWithNestedCallsAndItsFailureReachesTheWaiter) {
  constexpr std::size_t kTasks = 80;
  std::vector<std::atomic<int>> runs(kTasks);
  std::vector<float> sums(kTasks);
  std::vector<std::unique_ptr<PostedTask<std::function<void()>>>> tasks;
  for (std::size_t t = 0; t < kTasks; ++t) {
    tasks.push_back(std::make_unique<PostedTask<std::function<void()>>>([&, t] {
      ++runs[t];
      sums[t] = parallel_reduce(5000, -0.0f, sample, [](float a, float b) { return a + b; });
      if (t % 7 == 3) throw std::runtime_error("task " + std::to_string(t));
    }));
  }
  const float expected = serial_chunked_sum(5000, kDefaultReduceChunk);
  for (std::size_t t = 0; t < kTasks; ++t) {
    if (t % 7 == 3) {
      EXPECT_THROW(tasks[t]->wait(), std::runtime_error);
    } else {
      EXPECT_NO_THROW(tasks[t]->wait());
    }
    EXPECT_NO_THROW(tasks[t]->wait()) << "a failure is reported once";
    EXPECT_EQ(runs[t].load(), 1) << t;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(sums[t]), std::bit_cast<std::uint32_t>(expected)) << t;
  }
  // A task destroyed unwaited is waited for, its failure dropped.
  std::atomic<int> ran{0};
  {
    PostedTask<std::function<void()>> unwaited([&] {
      ++ran;
      throw std::runtime_error("dropped");
    });
  }
  EXPECT_EQ(ran.load(), 1);
}

}  // namespace
}  // namespace kestrune::parallel

namespace kestrune::parallel {
namespace {

// A thread waiting for its posted tasks may run blocks of other calls meanwhile (their nested
// calls, typically), but only when no block is on its own stack: a block holding some scratch
// while it waits must not find a foreign block reusing that scratch on its thread. The posted
// tasks' nested maps run on any thread, the waiter's included; the scratch held across the
// waits is one they never touch, while another block's nested maps keep using it.
TEST(ParallelPosted, WaitersHelpOtherCallsWithoutSharingScratch) {
  struct Case {
    const char* name;
    std::size_t tasks;
    std::size_t items;       // per nested map
    bool wait_in_block;      // the waits happen inside a block that holds its scratch
    std::size_t throw_from;  // items from this index on throw (items: none)
  };
  const Case cases[] = {
      {"outside any call", 12, 2000, false, 2000},
      {"outside any call, failures", 12, 2000, false, 700},
      {"inside a block", 6, 2000, true, 2000},
      {"inside a block, failures", 6, 2000, true, 1},
      {"more tasks than job slots", 90, 64, false, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PerThread<int> held;       // held across the waits, used by the other block's maps
    PerThread<int> task_used;  // used by the posted tasks' maps
    std::atomic<int> shared{0};
    const auto use = [&](PerThread<int>& scratch, auto&& work) {
      int& flag = scratch.local();
      if (flag != 0) ++shared;
      flag = 1;
      work();
      flag = 0;
    };
    std::vector<std::atomic<int>> runs(c.tasks * c.items);
    std::vector<std::vector<std::size_t>> results(c.tasks);
    std::vector<std::string> failures(c.tasks);
    const auto post_and_wait = [&] {
      std::vector<std::unique_ptr<PostedTask<std::function<void()>>>> tasks;
      for (std::size_t t = 0; t < c.tasks; ++t) {
        tasks.push_back(std::make_unique<PostedTask<std::function<void()>>>([&, t] {
          results[t] = parallel_map<std::size_t>(c.items, [&, t](std::size_t i) {
            use(task_used, [&] { ++runs[t * c.items + i]; });
            if (i >= c.throw_from) throw std::runtime_error(std::to_string(t) + ":" + std::to_string(i));
            return t * 100000 + i;
          });
        }));
      }
      for (std::size_t t = 0; t < c.tasks; ++t) {
        try {
          tasks[t]->wait();
        } catch (const std::runtime_error& error) {
          failures[t] = error.what();
        }
      }
    };
    if (c.wait_in_block) {
      std::atomic<bool> waited{false};
      parallel_for(0, 2, [&](std::size_t b) {
        if (b == 0) {
          use(held, post_and_wait);
          waited = true;
          return;
        }
        while (!waited) {
          parallel_for(0, 256, [&](std::size_t) { use(held, [] {}); });
        }
      });
    } else {
      post_and_wait();
    }
    EXPECT_EQ(shared.load(), 0);
    for (std::size_t t = 0; t < c.tasks; ++t) {
      for (std::size_t i = 0; i < c.items; ++i) ASSERT_EQ(runs[t * c.items + i].load(), 1) << t << " " << i;
      if (c.throw_from < c.items) {
        EXPECT_EQ(failures[t], std::to_string(t) + ":" + std::to_string(c.throw_from));
      } else {
        EXPECT_EQ(failures[t], "");
        ASSERT_EQ(results[t].size(), c.items);
        for (std::size_t i = 0; i < c.items; ++i) ASSERT_EQ(results[t][i], t * 100000 + i);
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::parallel

namespace kestrune::parallel {
namespace {

// A poster waiting on a signal as well as on its task, while a worker holds the task: the wait
// ends early (task not collected) when something else changes the signal, and otherwise only
// once the task has run; the task's failure reaches the poster once. A task that changed the
// signal may still be on its way out (here it lingers): the poster, seeing the flag it set
// first, collects it with wait().
TEST(ParallelPosted, AWaitUnlessASignalEndsOnTheSignalOrWhenTheTaskHasRun) {
  if (current_num_threads() < 2) GTEST_SKIP() << "needs a worker to hold the task";
  struct Case {
    const char* name;
    bool other_signal;  // another thread changes the signal while the task is held
    bool throws;
    bool lingers;  // the task returns a while after changing the signal
  };
  const Case cases[] = {
      {"task ends first", false, false, false},
      {"task fails", false, true, false},
      {"task lingers", false, false, true},
      {"signal first", true, false, false},
      {"signal first, task fails and lingers", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<std::uint32_t> signal{0};
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<bool> done{false};
    std::atomic<int> runs{0};
    PostedTask<std::function<void()>> task([&] {
      started = true;
      while (!release) std::this_thread::yield();
      ++runs;
      done = true;
      signal.fetch_add(1);
      signal.notify_all();
      if (c.lingers) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (c.throws) throw std::runtime_error("task");
    });
    // Held by a worker (a poster that finds it untaken runs it itself, and would wait forever).
    while (!started) std::this_thread::yield();
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (c.other_signal) {
        signal.fetch_add(1);
        signal.notify_all();
      } else {
        release = true;
      }
    });
    if (c.other_signal) {
      EXPECT_FALSE(task.wait_unless(signal, 0));
      EXPECT_EQ(runs.load(), 0);
      release = true;
    }
    int failures = 0;
    for (;;) {
      try {
        const std::uint32_t seen = signal.load();
        if (done) {
          task.wait();
          break;
        }
        if (task.wait_unless(signal, seen)) break;
        EXPECT_LE(runs.load(), 1);
      } catch (const std::runtime_error&) {
        ++failures;
        break;
      }
    }
    other.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(failures, c.throws ? 1 : 0);
    EXPECT_NO_THROW(task.wait()) << "collected once, its failure reported once";
  }
}

}  // namespace
}  // namespace kestrune::parallel

namespace kestrune::parallel {
namespace {

// Work offered to idle workers: every chunk runs once and the first failure in chunk order
// reaches the caller after all have run; workers take chunks the caller is slow to reach; a
// second offer made meanwhile stays on its own thread; and a call made meanwhile still gets
// workers, which look for calls before each offered chunk.
TEST(ParallelWhenIdle, ChunksRunOnceOnIdleWorkersAndCallsComeFirst) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{4097}, std::size_t{100003}}) {
    std::vector<std::atomic<int>> runs(count);
    const auto visit = [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; ++i) ++runs[i];
      if (first / 64 == 3 || first / 64 == 7) throw std::runtime_error("chunk " + std::to_string(first / 64));
    };
    if (count > 3 * 64) {
      EXPECT_THROW(
          try { for_chunks_when_idle(count, 64, visit); } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "chunk 3");
            throw;
          },
          std::runtime_error);
    } else {
      EXPECT_NO_THROW(for_chunks_when_idle(count, 64, visit));
    }
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << count << " " << i;
  }
  if (current_num_threads() < 2) GTEST_SKIP() << "needs a pool of several threads";
  parallel_for(0, 64, [](std::size_t) {});  // the pool is started

  std::atomic<bool> offered{false};
  std::atomic<bool> second_done{false};
  // More chunks than the other thread's work lasts.
  std::vector<std::size_t> index_of(4096, kSerial);
  std::vector<std::thread::id> second_threads;
  std::vector<std::size_t> call_indices(256, kSerial);
  std::thread other([&] {
    while (!offered.load()) std::this_thread::yield();
    // Another offer while the first one holds the workers' attention: its own thread alone.
    std::vector<std::thread::id> threads(16);
    for_chunks_when_idle(threads.size(), 1, [&](std::size_t first, std::size_t) {
      threads[first] = std::this_thread::get_id();
    });
    second_threads = threads;
    // A call meanwhile: workers join it between offered chunks.
    parallel_for(0, call_indices.size(), [&](std::size_t i) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      call_indices[i] = current_thread_index();
    });
    second_done.store(true);
  });
  for_chunks_when_idle(index_of.size(), 1, [&](std::size_t first, std::size_t) {
    offered.store(true);
    index_of[first] = current_thread_index();
    // Slow while the other thread works, then still slow enough for the workers its call woke
    // to find chunks left.
    std::this_thread::sleep_for(std::chrono::microseconds(second_done.load() ? 20 : 1000));
  });
  other.join();
  std::set<std::size_t> offered_indices(index_of.begin(), index_of.end());
  EXPECT_GT(offered_indices.size(), 1u) << "no idle worker took an offered chunk";
  for (const std::thread::id id : second_threads) EXPECT_EQ(id, second_threads.front()) << "a second offer was shared";
  std::set<std::size_t> call_threads(call_indices.begin(), call_indices.end());
  EXPECT_TRUE(std::any_of(call_threads.begin(), call_threads.end(), [](std::size_t i) { return i != 0; }))
      << "no worker joined a call while work was offered";
}

// Idle workers look for work for a while and then sleep, also once work offered to them is gone:
// a pool left alone takes next to no CPU time.
TEST(ParallelWhenIdle, WorkersSleepOnceNothingIsOffered) {
  if (current_num_threads() < 2) GTEST_SKIP() << "needs a pool of several threads";
  std::vector<int> touched(4096);
  for_chunks_when_idle(touched.size(), 16, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) touched[i] = 1;
  });
  parallel_for(0, 64, [](std::size_t) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::clock_t before = std::clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu_seconds = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_seconds, 0.05) << "the pool kept looking for work while nothing was offered";
}

}  // namespace
}  // namespace kestrune::parallel
