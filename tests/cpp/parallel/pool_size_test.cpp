#include "parallel/pool_size.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrune::parallel {
namespace {

struct ParseCase {
  std::string text;
  std::optional<std::size_t> expected;
};

TEST(ParallelParseThreadCount, ParsesLikeAStrictUnsignedDecimal) {
  const ParseCase cases[] = {
      {"1", 1},
      {"3", 3},
      {"+4", 4},
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"18446744073709551615", 18446744073709551615ULL},
      {"18446744073709551616", std::nullopt},  // one past the largest size_t
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"++1", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4\n", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"2.0", std::nullopt},
      {"four", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // a non-ASCII digit
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(parse_thread_count(c.text), c.expected) << '"' << c.text << '"';
  }
}

struct ResolveCase {
  const char* rayon_num_threads;
  const char* rayon_rs_num_cpus;
  std::size_t logical_cpus;
  std::size_t expected;
};

TEST(ParallelResolvePoolSize, FollowsTheVariablesInOrder) {
  const ResolveCase cases[] = {
      {nullptr, nullptr, 8, 8},  // nothing set: the CPUs
      {nullptr, nullptr, 0, 1},  // an unknown CPU count still gives one thread
      {"3", nullptr, 8, 3},      // the first variable wins
      {"3", "5", 8, 3},          // ... over the older one
      {"+2", "5", 8, 2},
      {"64", nullptr, 2, 64},  // more threads than CPUs is allowed
      {nullptr, "5", 8, 5},    // the older variable when the first is unset
      {"", "5", 8, 5},         // ... or empty
      {"abc", "5", 8, 5},      // ... or unparsable
      {"-1", "5", 8, 5},
      {"0", "5", 8, 5},  // 0 falls through to the next source
      {"0", nullptr, 0, 1},
      {nullptr, "0", 8, 8},  // 0 in the older variable: the CPUs
      {"x", "y", 6, 6},      // nothing usable: the CPUs
      {nullptr, "+1", 6, 1},
  };
  for (const ResolveCase& c : cases) {
    EXPECT_EQ(resolve_pool_size(c.rayon_num_threads, c.rayon_rs_num_cpus, c.logical_cpus), c.expected)
        << (c.rayon_num_threads ? c.rayon_num_threads : "(unset)") << " / "
        << (c.rayon_rs_num_cpus ? c.rayon_rs_num_cpus : "(unset)") << " / " << c.logical_cpus;
  }
}

TEST(ParallelPoolSize, IsPositiveAndFixedForTheProcess) {
  const std::size_t first = current_num_threads();
  EXPECT_GE(first, 1u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(current_num_threads(), first);
  EXPECT_GE(logical_cpu_count(), 1u);
}

}  // namespace
}  // namespace kestrune::parallel
