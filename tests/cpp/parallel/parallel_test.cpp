#include "parallel/parallel.hpp"
#include "parallel/per_thread.hpp"
#include "parallel/pool_size.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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

struct NoDefault {
  explicit NoDefault(std::size_t v) : value(v) {}
  std::size_t value;
};

// Every entry point covers its range exactly once, results in input order, serially and on the
// pool; maps build elements without a default constructor and packed bools.
TEST(ParallelCalls, CoverTheRangeOnceInInputOrder) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t min_parallel : {kDefaultMinParallel, kSerial}) {
      const auto results = parallel_map<NoDefault>(count, [](std::size_t i) { return NoDefault(i * 7 + 1); }, min_parallel);
      ASSERT_EQ(results.size(), count);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(results[i].value, i * 7 + 1) << count;
      const auto odd = parallel_map<bool>(count, [](std::size_t i) { return i % 2 == 1; }, min_parallel);
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(odd[i], i % 2 == 1) << count;
      std::vector<int> visits(count + 10, 0);
      parallel_for(10, count + 10, [&](std::size_t i) { ++visits[i]; }, min_parallel);
      for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i], i < 10 ? 0 : 1) << count;
    }
    for (const std::size_t chunk_size : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, count + 1}) {
      std::vector<std::pair<std::size_t, std::size_t>> seen((count + chunk_size - 1) / chunk_size, {kSerial, kSerial});
      parallel_for_chunks(count, chunk_size, [&](std::size_t first, std::size_t last) {
        seen.at(first / chunk_size) = {first, last};
      });
      for (std::size_t k = 0; k < seen.size(); ++k) {
        ASSERT_EQ(seen[k], std::make_pair(k * chunk_size, std::min((k + 1) * chunk_size, count))) << count;
      }
    }
  }
  int calls = 0;
  parallel_for(7, 3, [&](std::size_t) { ++calls; });  // reversed: empty
  EXPECT_EQ(calls, 0);
  EXPECT_THROW(parallel_for_chunks(10, 0, [](std::size_t, std::size_t) {}), support::Panic);
}

// Per entry point: `count` tasks where task i calls visit(i), which may throw (later indices too,
// the last one with another type). The first failure in input order reaches the caller, after
// every task ran.
TEST(ParallelExceptions, FirstInInputOrderReachesTheCallerAfterAllTasksRan) {
  using Visit = const std::function<void(std::size_t)>&;
  const std::pair<std::string, std::function<void(std::size_t, std::size_t, Visit)>> entry_points[] = {
      {"for", [](std::size_t n, std::size_t min, Visit visit) { parallel_for(0, n, visit, min); }},
      {"chunks", [](std::size_t n, std::size_t min, Visit visit) {
         parallel_for_chunks(n, 1, [&](std::size_t first, std::size_t) { visit(first); }, min); }},
      {"map", [](std::size_t n, std::size_t min, Visit visit) {
         parallel_map<int>(n, [&](std::size_t i) { return visit(i), 0; }, min); }},
      {"reduce", [](std::size_t n, std::size_t min, Visit visit) {  // serial: one chunk of everything
         parallel_reduce(n, 0, [&](std::size_t i) { return visit(i), 1; }, std::plus<int>(), min == kSerial ? n : 1); }},
      {"nested", [](std::size_t n, std::size_t min, Visit visit) {  // inside a pool task, which passes it on
         parallel_for(0, 3, [&](std::size_t o) { if (o == 1) parallel_for(0, n, visit, min); }); }},
  };
  for (const auto& [name, run] : entry_points) {
    for (const std::size_t count : {std::size_t{2}, std::size_t{40}, std::size_t{5000}}) {
      for (const std::size_t min_parallel : {kDefaultMinParallel, kSerial}) {
        SCOPED_TRACE(name + " count " + std::to_string(count) + " min " + std::to_string(min_parallel));
        std::vector<std::atomic<int>> ran(count);
        try {
          run(count, min_parallel, [&](std::size_t i) {
            ++ran[i];
            if (i == count - 1) throw std::logic_error("last");
            if (i == 1 || i == count / 2 || i == count / 2 + 1) throw std::runtime_error(std::to_string(i));
          });
          ADD_FAILURE() << "no exception reached the caller";
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "1");
        } catch (const std::logic_error&) {
          EXPECT_EQ(count, 2u);  // index 1 is also the last one there
        }
        const bool one_chunk = min_parallel == kSerial && name == "reduce";
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(ran[i].load(), one_chunk && i > 1 ? 0 : 1) << i;
      }
    }
  }
}

// Slow tasks give every thread time to arrive: the workers take part, each thread with its own
// index and its own per-thread slot (made on first use, kept across calls), no more threads than
// a call's cap, and none below min_parallel (the caller runs it, with slot 0 as outside a call).
TEST(ParallelPool, ThreadsOfACallFollowThePoolSizeCapAndMinimum) {
  const std::size_t threads = current_num_threads();
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<std::size_t> created{0};
  PerThread<std::vector<std::size_t>> scratch([&] { return ++created, std::vector<std::size_t>(); });
  ASSERT_EQ(scratch.slot_count(), threads);
  std::map<std::size_t, const std::vector<std::size_t>*> slot_of_index;
  for (const std::size_t cap : {kAllThreads, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{0}}) {
    std::vector<std::tuple<std::size_t, std::thread::id, const std::vector<std::size_t>*>> seen(256);
    std::vector<int> inside(seen.size(), -1);  // cap 0: min_parallel above the count
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
    for (const int flag : inside) ASSERT_EQ(flag, threads > 1 && cap > 1 ? 1 : 0) << cap;
    EXPECT_LE(indices.size(), std::max<std::size_t>(cap, 1));
    EXPECT_TRUE(cap != kAllThreads || threads == 1 || indices.size() > 1) << "no worker took part";
  }
  std::size_t total = 0;
  for (const auto& [index, slot] : slot_of_index) total += slot->size();
  EXPECT_EQ(total, 5 * 256u) << "every task's entry in exactly one slot";
  EXPECT_EQ(created.load(), slot_of_index.size());
  EXPECT_EQ(&scratch.local(), slot_of_index.at(0));
  EXPECT_FALSE(inside_parallel_call()) << "the caller leaves the call behind it";
  EXPECT_EQ(current_thread_index(), 0u);
  EXPECT_LE(started_worker_count(), threads - 1);
}

// A child forked after the pool has started has none of its workers: its calls still run (it
// starts a pool of its own) instead of waiting for threads that do not exist there.
TEST(ParallelPool, AForkedChildRunsItsOwnCalls) {
  // Fork once every worker has started and taken a block: the sanitizers' allocator is not
  // fork-safe, and a worker allocating at the fork would leave its lock held in the child.
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
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed or hung: status " << status;
}

// Calls from several threads at once share the pool, and every call returns its own results;
// many back-to-back calls of very few cheap tasks (the pattern of tree growth) each return only
// after their tasks ran.
TEST(ParallelPool, ConcurrentCallersAndManySmallCalls) {
  std::vector<std::uint64_t> totals(4, 0);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < totals.size(); ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 50; ++round) {
        const auto values = parallel_map<std::uint64_t>(20000, [&](std::size_t i) { return i * (c + 1); });
        for (const std::uint64_t v : values) totals[c] += v;
      }
    });
  }
  for (std::uint32_t call = 0; call < 20000; ++call) {
    std::vector<std::uint32_t> seen(2 + call % 3, 0);
    parallel_for(0, seen.size(), [&](std::size_t i) { seen[i] = call + 1; });
    ASSERT_EQ(seen, std::vector<std::uint32_t>(seen.size(), call + 1)) << "call " << call;
  }
  for (std::thread& caller : callers) caller.join();
  for (std::size_t c = 0; c < totals.size(); ++c) EXPECT_EQ(totals[c], 50 * (c + 1) * (20000ull * 19999 / 2)) << c;
}

TEST(ParallelReduce, FloatSumsAreBitIdenticalToTheSerialChunkedSum) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t chunk_size : {std::size_t{1}, std::size_t{7}, kDefaultReduceChunk, std::size_t{1} << 20}) {
      const float expected = count == 0 ? -0.0f : serial_chunked_sum(count, chunk_size);
      const auto sum = [&] {
        return parallel_reduce(count, -0.0f, sample, [](float a, float b) { return a + b; }, chunk_size);
      };
      // On the pool, and nested inside a pool task (as the growers' node tasks call the backend):
      // the same bits.
      for (const float got : {sum(), join(sum, [] { return 0; }).first}) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(expected)) << count << " " << chunk_size;
      }
    }
  }
}

// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs (the probe reads them in fresh processes).
TEST(ParallelPoolSize, ParsesStrictDecimalsAndFollowsTheVariablesInOrder) {
  const std::pair<std::string, std::optional<std::size_t>> parses[] = {
      {"1", 1}, {"+4", 4}, {"0", 0}, {"007", 7}, {"18446744073709551615", 18446744073709551615ULL},
      {"18446744073709551616", std::nullopt},  // one past the largest size_t
      {"", std::nullopt}, {"+", std::nullopt}, {"-1", std::nullopt}, {"-0", std::nullopt}, {"++1", std::nullopt},
      {" 4", std::nullopt}, {"4 ", std::nullopt}, {"0x10", std::nullopt}, {"1e3", std::nullopt},
      {"\xd9\xa3", std::nullopt}};  // a non-ASCII digit
  for (const auto& [text, expected] : parses) EXPECT_EQ(parse_thread_count(text), expected) << '"' << text << '"';
  const std::tuple<const char*, const char*, std::size_t, std::size_t> resolves[] = {  // variables, CPUs, pool size
      {nullptr, nullptr, 8, 8}, {nullptr, nullptr, 0, 1},  // nothing set: the CPUs, at least one
      {"+2", "5", 8, 2}, {"64", nullptr, 2, 64},           // the first variable wins, above the CPU count too
      {nullptr, "5", 8, 5}, {"", "5", 8, 5}, {"abc", "5", 8, 5}, {"0", "5", 8, 5},  // unset, empty, unparsable, 0
      {"0", nullptr, 0, 1}, {nullptr, "0", 8, 8}, {"x", "y", 6, 6}};  // nothing usable: the CPUs
  for (const auto& [threads, cpus_variable, cpus, expected] : resolves) {
    EXPECT_EQ(resolve_pool_size(threads, cpus_variable, cpus), expected)
        << (threads ? threads : "(unset)") << " / " << (cpus_variable ? cpus_variable : "(unset)") << " / " << cpus;
  }
}

}  // namespace
}  // namespace kestrune::parallel
