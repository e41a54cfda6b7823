#include "parallel/parallel.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
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

TEST(ParallelNesting, CallsFromInsideATaskRunSeriallyAndCorrectly) {
  constexpr std::size_t kOuter = 16;
  constexpr std::size_t kInner = 3000;
  std::vector<std::vector<std::size_t>> inner_results(kOuter);
  std::vector<int> stayed_on_thread(kOuter, 0);
  std::vector<int> deepest_level(kOuter, 0);
  parallel_for(0, kOuter, [&](std::size_t o) {
    const int outer_thread = omp_get_thread_num();
    const int outer_level = omp_get_level();
    std::atomic<int> same{1};
    std::atomic<int> level{0};
    inner_results[o] = parallel_map<std::size_t>(kInner, [&](std::size_t i) {
      if (omp_get_thread_num() != outer_thread) same = 0;
      level = std::max(level.load(), omp_get_level());
      return o * kInner + i;
    });
    // A nested join and reduce too.
    auto [left, right] = join([&] { return parallel_reduce(kInner, std::size_t{0}, [](std::size_t i) { return i; }, std::plus<std::size_t>(), 7); },
                              [&] { return outer_level; });
    EXPECT_EQ(left, kInner * (kInner - 1) / 2);
    EXPECT_EQ(right, outer_level);
    stayed_on_thread[o] = same.load();
    deepest_level[o] = level.load() - outer_level;
  });
  for (std::size_t o = 0; o < kOuter; ++o) {
    EXPECT_EQ(stayed_on_thread[o], 1);
    EXPECT_EQ(deepest_level[o], 0) << "a nested region was opened";
    for (std::size_t i = 0; i < kInner; ++i) ASSERT_EQ(inner_results[o][i], o * kInner + i);
  }
}

TEST(ParallelPool, UsesOpenMPOnlyWithMoreThanOneThreadAndEnoughTasks) {
  std::vector<int> levels(64, -1);
  parallel_for(0, levels.size(), [&](std::size_t i) { levels[i] = omp_get_level(); });
  for (int level : levels) EXPECT_EQ(level, current_num_threads() > 1 ? 1 : 0);

  parallel_for(0, levels.size(), [&](std::size_t i) { levels[i] = omp_get_level(); }, levels.size() + 1);
  for (int level : levels) EXPECT_EQ(level, 0) << "below min_parallel the caller's thread runs it";
}

TEST(ParallelReduce, FloatSumsAreBitIdenticalToTheSerialChunkedSum) {
  for (const std::size_t count : kSizes) {
    for (const std::size_t chunk_size : {std::size_t{1}, std::size_t{7}, kDefaultReduceChunk, std::size_t{1} << 20}) {
      const float expected = count == 0 ? -0.0f : serial_chunked_sum(count, chunk_size);
      const auto sum = [&] {
        return parallel_reduce(count, -0.0f, sample, [](float a, float b) { return a + b; }, chunk_size);
      };
      const float pooled = sum();
      // The same reduction from inside a pool task runs serially: same bits again.
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
