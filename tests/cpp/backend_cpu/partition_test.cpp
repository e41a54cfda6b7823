#include "backend_cpu/partition.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backend_test_support.hpp"
#include "engine/routing.hpp"

namespace kestrune::backend_cpu {
namespace {

using engine::EngineErrorKind;
using engine::SplitCandidate;
using test::same_bin;

// One feature (column 1 of two) holding the given codes; column 0 is noise.
core::BinnedMatrix single_feature(const std::vector<std::uint16_t>& codes, std::uint16_t max_bin,
                                  std::uint16_t missing_bin) {
  std::vector<std::uint16_t> bins;
  for (const std::uint16_t code : codes) {
    bins.push_back(0);
    bins.push_back(code);
  }
  return core::BinnedMatrix::make_u16(codes.size(), 2, max_bin, missing_bin, bins);
}

core::RowList all_rows(std::size_t n) {
  core::RowList rows(n);
  for (std::size_t r = 0; r < n; ++r) rows[r] = static_cast<std::uint32_t>(r);
  return rows;
}

SplitCandidate numeric_split(std::uint32_t feature, std::uint16_t threshold, bool default_left) {
  SplitCandidate split;
  split.feature_index = feature;
  split.threshold_bin = threshold;
  split.default_left = default_left;
  return split;
}

// The rows routed one by one in node order, each side's sums added row by row.
struct ReferencePartition {
  core::RowList left;
  core::RowList right;
  core::HistogramBin left_stats;
  core::HistogramBin right_stats;
};

template <typename GoesLeft>
ReferencePartition reference_partition(std::span<const std::uint32_t> rows,
                                       const std::vector<core::GradientPair>& gradients, GoesLeft&& goes_left) {
  ReferencePartition reference;
  for (const std::uint32_t r : rows) {
    const bool left = goes_left(r);
    (left ? reference.left : reference.right).push_back(r);
    core::HistogramBin& stats = left ? reference.left_stats : reference.right_stats;
    stats.grad_sum += gradients[r].grad;
    stats.hess_sum += gradients[r].hess;
    stats.grad_sq_sum += gradients[r].grad * gradients[r].grad;
    stats.count += 1;
  }
  return reference;
}

TEST(PartitionRouting, NumericThresholdAndMissingSide) {
  const std::vector<std::uint16_t> codes{0, 1, 2, 3, 4, 5, 9, 0};
  const std::vector<core::GradientPair> gradients(codes.size(), core::GradientPair{1.0f, 1.0f});
  // missing_bin 9 lies above the threshold; missing_bin 0 lies at or below it.
  const auto above = apply_split_with_stats(single_feature(codes, 9, 9), gradients,
                                            core::NodeSlice::make(0, all_rows(8)), numeric_split(1, 3, true));
  EXPECT_EQ(above.left_rows, (core::RowList{0, 1, 2, 3, 6, 7}));
  EXPECT_EQ(above.right_rows, (core::RowList{4, 5}));
  const auto below = apply_split_with_stats(single_feature(codes, 9, 0), gradients,
                                            core::NodeSlice::make(0, all_rows(8)), numeric_split(1, 3, false));
  EXPECT_EQ(below.left_rows, (core::RowList{1, 2, 3}));
  EXPECT_EQ(below.right_rows, (core::RowList{0, 4, 5, 6, 7}));
}

TEST(PartitionRouting, CategoricalBitsetAndMissingBitset) {
  const std::vector<std::uint16_t> codes{0, 1, 2, 9, 15};
  const std::vector<core::GradientPair> gradients(codes.size(), core::GradientPair{1.0f, 1.0f});
  const core::BinnedMatrix binned = single_feature(codes, 15, 15);
  SplitCandidate split = numeric_split(1, 0, false);
  split.is_categorical = true;
  split.category_bitset = std::vector<std::uint8_t>{0b00000101};
  const auto by_bits = apply_split_with_stats(binned, gradients, core::NodeSlice::make(0, all_rows(5)), split);
  EXPECT_EQ(by_bits.left_rows, (core::RowList{0, 2}));
  EXPECT_EQ(by_bits.right_rows, (core::RowList{1, 3, 4}));  // 9 lies past the bitset; 15 is missing

  split.category_bitset.reset();
  split.default_left = true;
  const auto no_bits = apply_split_with_stats(binned, gradients, core::NodeSlice::make(0, all_rows(5)), split);
  EXPECT_EQ(no_bits.left_rows, all_rows(5));
  EXPECT_TRUE(no_bits.right_rows.empty());
}

TEST(PartitionChunks, ChunkSizeFollowsThreadsWithAFloor) {
  EXPECT_EQ(partition_chunk_size(50000, 8), 6250u);
  EXPECT_EQ(partition_chunk_size(100000, 64), 4096u);
  EXPECT_EQ(partition_chunk_size(100000, 0), 100000u);
  EXPECT_EQ(partition_chunk_size(10, 1), 4096u);
}

struct RandomSplitCase {
  const char* name;
  test::MatrixShape shape;
  std::size_t node_rows;
};

// Every row lands in exactly one list, each list keeps node order, each row follows the routing
// rule, and the sums are one float32 pass in list order; any chunking gives the same bits.
TEST(PartitionProperty, RowsOnceInOrderWithSerialSumsForEveryChunking) {
  const RandomSplitCase cases[] = {
      {"u8 column-major", {3000, 6, 255, 255, false, true, 0.2}, 2500},
      {"u8 row-major", {3000, 6, 255, 255, false, false, 0.2}, 3000},
      {"u16 column-major", {2000, 5, 299, 299, true, true, 0.2}, 1500},
      {"u16 row-major", {2000, 5, 299, 299, true, false, 0.2}, 1999},
  };
  std::mt19937 rng(99);
  for (const RandomSplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const core::BinnedMatrix binned = test::random_matrix(c.shape, rng);
    const auto gradients = test::random_gradients(c.shape.rows, rng);
    const auto rows = test::random_rows(c.shape.rows, c.node_rows, true, rng);
    for (int trial = 0; trial < 6; ++trial) {
      SplitCandidate split = numeric_split(static_cast<std::uint32_t>(trial % c.shape.features),
                                           static_cast<std::uint16_t>(rng() % (c.shape.max_bin + 1u)), rng() % 2 == 0);
      if (trial % 3 == 2) {
        split.is_categorical = true;
        if (trial % 2 == 0) {
          std::vector<std::uint8_t> bits(1 + rng() % 40);
          for (auto& byte : bits) byte = static_cast<std::uint8_t>(rng());
          split.category_bitset = bits;
        }
      }
      const core::PartitionResult serial = partition_rows(binned, gradients, rows, split, 0);
      // Reference: route every row by the one rule, sum each side in node order.
      const auto [left, right, left_stats, right_stats] = reference_partition(rows, gradients, [&](std::uint32_t r) {
        const std::uint16_t code = binned.bins.at(r * binned.feature_count + split.feature_index);
        return engine::routes_left(code, binned.missing_bin, split.threshold_bin, split.default_left,
                                   split.is_categorical, split.category_bitset);
      });
      ASSERT_EQ(serial.left_rows, left);
      ASSERT_EQ(serial.right_rows, right);
      EXPECT_TRUE(same_bin(serial.left_stats, left_stats));
      EXPECT_TRUE(same_bin(serial.right_stats, right_stats));
      EXPECT_EQ(serial.left_stats.count + serial.right_stats.count, rows.size());
      // Blocks also hand over the smaller side's pairs (the right one only when strictly
      // smaller) in its row order.
      const core::RowList& smaller = right.size() < left.size() ? right : left;
      std::vector<core::GradientPair> smaller_pairs;
      for (const std::uint32_t r : smaller) smaller_pairs.push_back(gradients[r]);
      for (const std::size_t chunk : {7u, 500u, 4096u}) {
        const core::PartitionResult chunked = partition_rows(binned, gradients, rows, split, chunk);
        EXPECT_EQ(chunked.left_rows, left) << "chunk " << chunk;
        EXPECT_EQ(chunked.right_rows, right) << "chunk " << chunk;
        ASSERT_EQ(chunked.smaller_side_pairs.size(), smaller_pairs.size()) << "chunk " << chunk;
        for (std::size_t k = 0; k < smaller_pairs.size(); ++k) {
          EXPECT_TRUE(chunked.smaller_side_pairs[k].grad == smaller_pairs[k].grad &&
                      chunked.smaller_side_pairs[k].hess == smaller_pairs[k].hess)
              << "chunk " << chunk << " position " << k;
        }
        EXPECT_TRUE(same_bin(chunked.left_stats, left_stats)) << "chunk " << chunk;
        EXPECT_TRUE(same_bin(chunked.right_stats, right_stats)) << "chunk " << chunk;
      }
    }
  }
}

// 49999 rows take the serial loop, 50000 the pool; both equal the serial reference.
TEST(PartitionProperty, LargeNodesMatchTheSerialLoop) {
  std::mt19937 rng(8);
  const core::BinnedMatrix binned = test::random_matrix({60000, 3, 255, 255, false, true, 0.1}, rng);
  const auto gradients = test::random_gradients(60000, rng);
  for (const std::size_t n : {49999u, 50000u, 60000u}) {
    const auto rows = test::random_rows(60000, n, true, rng);
    const SplitCandidate split = numeric_split(2, 100, true);
    const auto applied = apply_split_with_stats(binned, gradients, core::NodeSlice::make(0, rows), split);
    const auto serial = partition_rows(binned, gradients, rows, split, 0);
    EXPECT_EQ(applied.left_rows, serial.left_rows);
    EXPECT_EQ(applied.right_rows, serial.right_rows);
    EXPECT_TRUE(same_bin(applied.left_stats, serial.left_stats));
    EXPECT_TRUE(same_bin(applied.right_stats, serial.right_stats));
  }
}

// Blocks are claimed by whichever thread is free while one thread sums them in order: every
// balance of the sides (one side empty, lopsided either way, even) and every block count, from
// one block to hundreds, repeated so that the threads meet in different orders, gives the rows,
// the smaller side's pairs and the sums of a row-by-row loop in node order. So does a partition
// whose caller works on the lists while the sums are added: it sees them whole, once.
TEST(PartitionBlocks, EveryBalanceAndBlockCountMatchesARowByRowLoop) {
  std::mt19937 rng(21);
  const std::size_t matrix_rows = 70000;
  // Feature 11 takes every code from 0 to 254 (and 255, missing, in 5% of rows).
  const core::BinnedMatrix binned = test::random_matrix({matrix_rows, 12, 255, 255, false, true, 0.05}, rng);
  const auto gradients = test::random_gradients(matrix_rows, rng);
  const auto rows = test::random_rows(matrix_rows, 60000, true, rng);
  struct Case {
    const char* name;
    std::uint16_t threshold;
    bool default_left;
    bool categorical;  // without a bitset: every row takes the default side
  };
  const Case cases[] = {
      {"all left", 254, true, false}, {"nine to one", 229, true, false}, {"even", 127, false, false},
      {"one to nine", 25, false, false}, {"all right", 0, false, true},
  };
  for (const Case& c : cases) {
    SplitCandidate split = numeric_split(11, c.threshold, c.default_left);
    split.is_categorical = c.categorical;
    const auto [left, right, left_stats, right_stats] = reference_partition(rows, gradients, [&](std::uint32_t r) {
      return engine::routes_left(binned.bins.at(r * 12 + 11), binned.missing_bin, split.threshold_bin,
                                 split.default_left, split.is_categorical, split.category_bitset);
    });
    const core::RowList& smaller = right.size() < left.size() ? right : left;
    // The cases' names hold.
    EXPECT_EQ(left.empty() || right.empty(), c.threshold == 254 || c.categorical) << c.name;
    for (const std::size_t chunk : {0u, 64u, 777u, 4096u, 60000u}) {
      for (int repeat = 0; repeat < 3; ++repeat) {
        SCOPED_TRACE(::testing::Message() << c.name << ", chunk " << chunk << ", repeat " << repeat);
        // Odd repeats work on the lists while summing: a copy of what they held then, and how often.
        int calls = 0;
        core::PartitionResult seen;
        const WhileSumming while_summing = [&](core::PartitionResult& lists) {
          ++calls;
          seen.left_rows = lists.left_rows;
          seen.right_rows = lists.right_rows;
          seen.smaller_side_pairs = lists.smaller_side_pairs;
        };
        const bool working = repeat % 2 == 1;
        const core::PartitionResult result =
            partition_rows(binned, gradients, rows, split, chunk, working ? while_summing : WhileSumming());
        if (working) {
          ASSERT_EQ(calls, 1);
          ASSERT_EQ(seen.left_rows, left);
          ASSERT_EQ(seen.right_rows, right);
          ASSERT_EQ(seen.smaller_side_pairs.size(), result.smaller_side_pairs.size());
        }
        if (chunk == 0) {
          ASSERT_TRUE(same_bin(result.left_stats, left_stats));
          continue;
        }
        ASSERT_EQ(result.left_rows, left);
        ASSERT_EQ(result.right_rows, right);
        ASSERT_EQ(result.smaller_side_pairs.size(), smaller.size());
        for (std::size_t k = 0; k < smaller.size(); ++k) {
          ASSERT_TRUE(result.smaller_side_pairs[k].grad == gradients[smaller[k]].grad &&
                      result.smaller_side_pairs[k].hess == gradients[smaller[k]].hess)
              << "position " << k;
        }
        ASSERT_TRUE(same_bin(result.left_stats, left_stats));
        ASSERT_TRUE(same_bin(result.right_stats, right_stats));
      }
    }
  }
}

// Rows are routed in groups whose sides are read before any of them is stored: every node size
// around the group length, every side pattern of eight consecutive rows (and long runs of one
// side), both code layouts, serially and in blocks that cut groups anywhere, against a plain
// loop that routes and sums row by row in node order.
TEST(PartitionGroups, EverySizeAndSidePatternMatchesARowByRowLoop) {
  std::mt19937 rng(5);
  const std::size_t matrix_rows = 300;
  const auto gradients = test::random_gradients(matrix_rows, rng);
  const SplitCandidate split = numeric_split(1, 3, true);
  for (const bool column_major : {true, false}) {
    for (const std::size_t n : {0u, 1u, 8u, 31u, 32u, 33u, 64u, 100u, 257u}) {
      // Pattern p < 256 sends row i of the node left when bit i % 8 of p is set; 256 and 257 are
      // runs of 40 rows of one side, then the other.
      for (std::uint32_t pattern = 0; pattern < 258; ++pattern) {
        const auto rows = test::random_rows(matrix_rows, n, pattern % 2 == 0, rng);
        std::vector<std::uint16_t> codes(matrix_rows, 7);  // 7 goes right, 0 left
        for (std::size_t i = 0; i < rows.size(); ++i) {
          const bool left = pattern < 256 ? (pattern >> (i % 8)) & 1u : (i / 40 + pattern) % 2 == 0;
          codes[rows[i]] = left ? 0 : 7;
        }
        core::BinnedMatrix binned = single_feature(codes, 9, 9);
        if (!column_major) binned.bins_column_major = core::BinStorage();
        const auto [left, right, left_stats, right_stats] =
            reference_partition(rows, gradients, [&](std::uint32_t r) { return codes[r] == 0; });
        for (const std::size_t chunk : {0u, 5u, 32u, 45u}) {
          SCOPED_TRACE(::testing::Message() << "column-major " << column_major << ", " << n << " rows, pattern "
                                            << pattern << ", chunk " << chunk);
          const core::PartitionResult result = partition_rows(binned, gradients, rows, split, chunk);
          ASSERT_EQ(result.left_rows, left);
          ASSERT_EQ(result.right_rows, right);
          ASSERT_TRUE(same_bin(result.left_stats, left_stats));
          ASSERT_TRUE(same_bin(result.right_stats, right_stats));
        }
      }
    }
  }
}

// A group's rows are checked before any of its sides is read: the first row outside the data in
// node order panics, wherever it lies in its group or block and whatever rows follow it.
TEST(PartitionGroups, FirstRowOutsideTheDataInNodeOrderPanics) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(100, 2, 255, std::vector<std::uint8_t>(200, 3));
  const std::vector<core::GradientPair> gradients(100, core::GradientPair{1.0f, 1.0f});
  struct Case {
    std::vector<std::pair<std::size_t, std::uint32_t>> bad;  // (position in the node, row)
    std::uint32_t expected;
  };
  const Case cases[] = {
      {{{37, 100}}, 100},                  // inside a full group, after good rows
      {{{5, 2000}, {20, 1000}}, 2000},     // two in one group: the first, not the smallest
      {{{5, 1000}, {20, 2000}}, 1000},     // nor the largest
      {{{65, 4000}, {66, 3000}}, 4000},    // in the last, partial group
      {{{70, 500}, {3, 600}}, 600},        // in different groups (and blocks)
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> rows(80);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint32_t>(i);
    for (const auto& [position, row] : c.bad) rows[position] = row;
    const std::string message = "partition row " + std::to_string(c.expected) +
                                " is outside the 100 rows the gradients and bin codes cover";
    for (const std::size_t chunk : {0u, 16u, 40u}) {
      EXPECT_TRUE(test::panics_with([&] { partition_rows(binned, gradients, rows, numeric_split(1, 0, true), chunk); },
                                    message))
          << "expected row " << c.expected << ", chunk " << chunk;
    }
  }
}

TEST(PartitionErrors, ChecksInOrder) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 255, std::vector<std::uint8_t>(8, 3));
  const std::vector<core::GradientPair> gradients(4, core::GradientPair{1.0f, 1.0f});
  const std::vector<core::GradientPair> short_gradients(3, core::GradientPair{1.0f, 1.0f});
  const core::NodeSlice node = core::NodeSlice::make(0, {0, 1, 2, 3});
  EXPECT_TRUE(test::throws_engine_error(
      [&] { apply_split_with_stats(binned, short_gradients, core::NodeSlice::make(0, {1, 4}), numeric_split(2, 0, true)); },
      EngineErrorKind::Core, "validation error: row index 4 is out of bounds for row_count 4"));
  EXPECT_TRUE(test::throws_engine_error(
      [&] { apply_split_with_stats(binned, short_gradients, node, numeric_split(2, 0, true)); },
      EngineErrorKind::ContractViolation, "gradients length 3 does not match row_count 4"));
  EXPECT_TRUE(test::throws_engine_error([&] { apply_split_with_stats(binned, gradients, node, numeric_split(2, 0, true)); },
                                        EngineErrorKind::ContractViolation,
                                        "split feature_index 2 exceeds feature_count 2"));
}

// Routing checks every row, so the entry point's bounds check runs only when it must: a row
// outside the data is still reported as the bounds error, ahead of every other check, whether
// the node is routed serially or in blocks and wherever the row lies.
TEST(PartitionErrors, RowsOutsideTheDataAreTheBoundsErrorOnEveryPath) {
  std::mt19937 rng(3);
  const std::size_t row_count = 70000;
  const core::BinnedMatrix binned = test::random_matrix({row_count, 3, 255, 255, false, true, 0.1}, rng);
  const auto gradients = test::random_gradients(row_count, rng);
  const std::vector<core::GradientPair> short_gradients(10, core::GradientPair{1.0f, 1.0f});
  struct Case {
    const char* name;
    std::size_t node_rows;
    std::size_t bad_position;
    bool short_gradients;
    std::uint32_t feature;
  };
  const Case cases[] = {
      {"serial, last row", 100, 99, false, 1},
      {"serial, first row", 100, 0, false, 1},
      {"in blocks, a late block", 60000, 59000, false, 1},
      {"in blocks, the first block", 60000, 10, false, 1},
      {"before the gradients check", 60000, 30000, true, 1},
      {"before the feature check", 60000, 30000, false, 3},
  };
  for (const Case& c : cases) {
    auto rows = test::random_rows(row_count, c.node_rows, false, rng);
    rows[c.bad_position] = static_cast<std::uint32_t>(row_count + 5);
    // Work on the lists is never started for a partition that fails.
    bool worked = false;
    EXPECT_TRUE(test::throws_engine_error(
        [&] {
          apply_split_with_stats(binned, c.short_gradients ? short_gradients : gradients,
                                 core::NodeSlice::make(0, rows), numeric_split(c.feature, 100, true),
                                 [&](core::PartitionResult&) { worked = true; });
        },
        EngineErrorKind::Core, "validation error: row index 70005 is out of bounds for row_count 70000"))
        << c.name;
    EXPECT_FALSE(worked) << c.name;
  }
}

TEST(PartitionErrors, RowsOutsideTheDataPanicInTheUncheckedEntry) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 255, std::vector<std::uint8_t>(8, 3));
  const std::vector<core::GradientPair> gradients(4, core::GradientPair{1.0f, 1.0f});
  const std::vector<std::uint32_t> rows{0, 4};
  EXPECT_TRUE(test::panics_with([&] { partition_rows(binned, gradients, rows, numeric_split(1, 0, true), 0); },
                                "partition row 4"));
  EXPECT_TRUE(test::panics_with([&] { partition_rows(binned, gradients, rows, numeric_split(1, 0, true), 1); },
                                "partition row 4"));
}

}  // namespace
}  // namespace kestrune::backend_cpu
