#include "backend_cpu/histogram.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backend_cpu/arena.hpp"
#include "backend_cpu/histogram_kernels.hpp"
#include "backend_test_support.hpp"
#include "engine/error.hpp"

namespace kestrune::backend_cpu {
namespace {

using engine::EngineErrorKind;
using test::MatrixShape;
using test::same_histogram;

std::vector<core::FeatureHistogram> naive_tile(const core::BinnedMatrix& binned,
                                               const std::vector<core::GradientPair>& gradients,
                                               const std::vector<std::uint32_t>& rows, core::FeatureTile tile) {
  std::vector<core::FeatureHistogram> out;
  for (std::uint32_t f = tile.start_feature; f < tile.end_feature; ++f) {
    out.push_back(test::naive_histogram(binned, gradients, rows, f, binned.max_bin + 1u));
  }
  return out;
}

void expect_same_histograms(const std::vector<core::FeatureHistogram>& actual,
                            const std::vector<core::FeatureHistogram>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_TRUE(same_histogram(actual[i], expected[i]));
}

struct BuildCase {
  const char* name;
  MatrixShape shape;
  std::size_t node_rows;
  bool shuffled;
};

// Both loops and the public entry agree bit for bit with the definition, for 8- and 16-bit
// storage, with and without the column-major copy, on rows in any order; the per-feature loop
// reads the row-major codes for the smaller nodes here and the column-major copy for the largest.
TEST(HistogramBuild, EveryLoopMatchesTheNaiveSums) {
  const BuildCase cases[] = {
      {"u8 all rows", {600, 37, 255, 255, false, true, 0.15}, 600, false},
      {"u8 shuffled subset", {900, 20, 255, 255, false, true, 0.3}, 417, true},
      {"u8 row-major only", {500, 30, 255, 255, false, false, 0.1}, 333, true},
      {"u8 narrow bins, no missing", {400, 25, 15, 255, false, true, 0.0}, 400, true},
      {"u8 33 rows", {200, 600, 255, 255, false, false, 0.2}, 33, true},
      {"u8 39 rows", {200, 600, 255, 255, false, true, 0.2}, 39, false},
      {"u8 40 rows", {200, 600, 255, 255, false, true, 0.2}, 40, true},
      {"u8 41 rows", {200, 600, 255, 255, false, true, 0.2}, 41, true},
      {"u8 few rows", {50, 12, 255, 255, false, true, 0.2}, 10, true},
      {"u8 rows past the cache, column-major", {12000, 24, 255, 255, false, true, 0.1}, 11500, false},
      {"u16 300 bins", {700, 24, 299, 299, true, true, 0.2}, 512, true},
      {"u16 row-major only", {700, 24, 299, 299, true, false, 0.2}, 700, false},
      {"u16 511 bins", {300, 64, 510, 510, true, true, 0.1}, 300, true},
      {"u16 wide bins", {300, 10, 1999, 1999, true, true, 0.1}, 250, true},
      {"u16 every code up to 65535", {60, 3, 65535, 65535, true, true, 0.2}, 51, true},
  };
  std::mt19937 rng(7);
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    const core::BinnedMatrix binned = test::random_matrix(c.shape, rng);
    const auto gradients = test::random_gradients(c.shape.rows, rng);
    const auto rows = test::random_rows(c.shape.rows, c.node_rows, c.shuffled, rng);
    const std::size_t bins = binned.max_bin + 1u;
    const core::FeatureTile whole{0, static_cast<std::uint32_t>(c.shape.features)};
    const auto expected = naive_tile(binned, gradients, rows, whole);

    expect_same_histograms(build_tile_histograms_per_feature(binned, gradients, rows, whole, bins), expected);
    if (bins < 512) {
      expect_same_histograms(build_tile_histograms_with_arena(binned, gradients, rows, whole, bins), expected);
    }
    // Uneven tiles through the public entry: the bundle lists the tiles' features in order.
    std::vector<core::FeatureTile> tiles;
    for (std::uint32_t start = 0; start < c.shape.features;) {
      const std::uint32_t end = std::min<std::uint32_t>(start + 1 + start % 7, c.shape.features);
      tiles.push_back(core::FeatureTile::make(start, end));
      start = end;
    }
    const core::NodeSlice node = core::NodeSlice::make(42, rows);
    const core::HistogramBundle bundle = build_histograms(binned, gradients, node, tiles);
    EXPECT_EQ(bundle.node_id, 42u);
    expect_same_histograms(bundle.histograms, expected);
  }
}

// The column loop for rows in one run, against the definition: runs at several offsets and of
// lengths around the eight rows one word holds, a tile that starts inside the matrix, groups
// of 1-4 features (1-9 and 28 features), 8- and 16-bit codes.
TEST(HistogramBuild, ColumnLoopMatchesTheNaiveSumsForRowRuns) {
  std::mt19937 rng(17);
  for (const bool wide : {false, true}) {
    for (const std::size_t features : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 28u}) {
      const MatrixShape shape{70, features, wide ? std::uint16_t{299} : std::uint16_t{255},
                              wide ? std::uint16_t{299} : std::uint16_t{255}, wide, true, 0.2};
      const core::BinnedMatrix binned = test::random_matrix(shape, rng);
      const auto gradients = test::random_gradients(shape.rows, rng);
      const std::size_t bins = binned.max_bin + 1u;
      for (const std::uint32_t first : {0u, 3u, 8u, 13u}) {
        for (const std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{8}, std::size_t{9}, std::size_t{45},
                                    shape.rows - first}) {
          SCOPED_TRACE(testing::Message() << wide << " " << features << " features, rows " << first << " + " << n);
          std::vector<std::uint32_t> rows(n);
          for (std::size_t k = 0; k < n; ++k) rows[k] = first + static_cast<std::uint32_t>(k);
          const core::FeatureTile tile{static_cast<std::uint32_t>(features / 3), static_cast<std::uint32_t>(features)};
          expect_same_histograms(build_tile_histograms_from_columns(binned, gradients, first, n, tile, bins),
                                 naive_tile(binned, gradients, rows, tile));
        }
      }
      EXPECT_TRUE(test::panics_with(
          [&] { build_tile_histograms_from_columns(binned, gradients, 60, 11, {0, 1}, bins); }, "row 70"));
    }
  }
}

TEST(HistogramBuild, RowRunsAreRecognised) {
  const std::vector<std::uint32_t> lists[] = {{5}, {5, 6, 7}, {}, {5, 7, 6}, {5, 5, 6}, {7, 6, 5}, {0, 2}};
  const bool contiguous[] = {true, true, false, false, false, false, false};
  for (std::size_t i = 0; i < std::size(lists); ++i) EXPECT_EQ(rows_are_contiguous(lists[i]), contiguous[i]) << i;
  std::vector<std::uint32_t> long_run(5000);
  for (std::uint32_t k = 0; k < 5000; ++k) long_run[k] = 100 + k;
  EXPECT_TRUE(rows_are_contiguous(long_run));
  std::swap(long_run[2500], long_run[2501]);  // the ends still span exactly the list's length
  EXPECT_FALSE(rows_are_contiguous(long_run));
  // Long lists are checked in pieces on the pool: a break in any piece counts.
  std::vector<std::uint32_t> root(300001);
  for (std::uint32_t k = 0; k < root.size(); ++k) root[k] = k;
  EXPECT_TRUE(rows_are_contiguous(root));
  for (const std::size_t at : {std::size_t{1}, std::size_t{150000}, root.size() - 3}) {
    std::swap(root[at], root[at + 1]);
    EXPECT_FALSE(rows_are_contiguous(root)) << at;
    std::swap(root[at], root[at + 1]);
  }
}

TEST(HistogramBuild, LoopChoiceFollowsRowsCellsAndBinCount) {
  struct Choice {
    std::size_t rows, width, bins;
    bool arena;
  };
  const Choice choices[] = {
      {33, 600, 256, true},   {32, 600, 256, false},  {33, 600, 512, false}, {33, 600, 511, true},
      {64, 256, 256, false},  {64, 257, 256, true},   {1000, 16, 256, false}, {1000, 17, 256, true},
      {SIZE_MAX, SIZE_MAX, 2, true},
  };
  for (const Choice& c : choices) {
    EXPECT_EQ(tile_uses_arena(c.rows, c.width, c.bins), c.arena) << c.rows << " x " << c.width << ", " << c.bins;
  }
}

TEST(HistogramBuild, TilesKeepTheirGivenOrder) {
  std::mt19937 rng(3);
  const core::BinnedMatrix binned = test::random_matrix({20, 9, 255, 255, false, true, 0.1}, rng);
  const auto gradients = test::random_gradients(20, rng);
  const core::NodeSlice node = core::NodeSlice::make(1, test::random_rows(20, 20, false, rng));
  const std::vector<core::FeatureTile> tiles{core::FeatureTile::make(5, 8), core::FeatureTile::make(0, 2)};
  const core::HistogramBundle bundle = build_histograms(binned, gradients, node, tiles);
  std::vector<std::uint32_t> features;
  for (const auto& histogram : bundle.histograms) {
    features.push_back(histogram.feature_index);
    EXPECT_EQ(histogram.bins.size(), 256u);
  }
  EXPECT_EQ(features, (std::vector<std::uint32_t>{5, 6, 7, 0, 1}));
}

// Above and below the parallel threshold, with several tiles, on scattered rows and on a run of
// rows: the pool (when the process has more than one thread) builds exactly what the definition
// gives.
TEST(HistogramBuild, ManyTilesOnThePoolMatchTheDefinition) {
  std::mt19937 rng(11);
  for (const std::size_t node_rows : {100u, 132u, 3000u, 2999u}) {
    const core::BinnedMatrix binned = test::random_matrix({3000, 1000, 255, 255, false, true, 0.1}, rng);
    const auto gradients = test::random_gradients(3000, rng);
    // The last list is the run of rows 1 .. 2999, which the column loop reads.
    auto rows = test::random_rows(3000, node_rows, node_rows != 2999, rng);
    if (node_rows == 2999) {
      for (std::uint32_t k = 0; k < 2999; ++k) rows[k] = k + 1;
    }
    std::vector<core::FeatureTile> tiles;
    for (std::uint32_t start = 0; start < 1000; start += 64) {
      tiles.push_back(core::FeatureTile::make(start, std::min<std::uint32_t>(start + 64, 1000)));
    }
    const auto bundle = build_histograms(binned, gradients, core::NodeSlice::make(3, rows), tiles);
    expect_same_histograms(bundle.histograms, naive_tile(binned, gradients, rows, {0, 1000}));
  }
}

TEST(HistogramBuild, SixteenBitMaximumGivesAllBinValues) {
  std::vector<std::uint16_t> codes{0, 65535, 65535, 7, 40000, 0};
  const core::BinnedMatrix binned = core::BinnedMatrix::make_u16(3, 2, 65535, 65535, codes);
  const std::vector<core::GradientPair> gradients{{1.0f, 1.0f}, {2.0f, 0.5f}, {-4.0f, 0.25f}};
  const auto bundle =
      build_histograms(binned, gradients, core::NodeSlice::make(0, {0, 1, 2}), std::vector{core::FeatureTile{0, 2}});
  ASSERT_EQ(bundle.histograms.size(), 2u);
  EXPECT_EQ(bundle.histograms[0].bins.size(), 65536u);
  EXPECT_EQ(bundle.histograms[0].bins[65535].count, 1u);
  EXPECT_EQ(bundle.histograms[1].bins[65535].count, 1u);
  EXPECT_EQ(bundle.histograms[1].bins[0].grad_sum, -4.0f);
  EXPECT_EQ(bundle.histograms[1].bins[0].grad_sq_sum, 16.0f);
}

TEST(HistogramBuild, ContractChecksInOrder) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(10, 8, 255, std::vector<std::uint8_t>(80, 1));
  const std::vector<core::GradientPair> gradients(10, core::GradientPair{1.0f, 1.0f});
  const std::vector<core::GradientPair> short_gradients(9, core::GradientPair{1.0f, 1.0f});
  const core::NodeSlice node = core::NodeSlice::make(0, {0, 1, 2});
  const std::vector<core::FeatureTile> tiles{core::FeatureTile{0, 8}};

  EXPECT_TRUE(test::throws_engine_error([&] { build_histograms(binned, short_gradients, node, {}); },
                                        EngineErrorKind::ContractViolation,
                                        "gradients length 9 does not match row_count 10"));
  EXPECT_TRUE(test::throws_engine_error([&] { build_histograms(binned, gradients, node, {}); },
                                        EngineErrorKind::ContractViolation, "feature_tiles cannot be empty"));
  EXPECT_TRUE(test::throws_engine_error(
      [&] { build_histograms(binned, gradients, core::NodeSlice::make(0, {2, 10, 11}), tiles); },
      EngineErrorKind::Core, "validation error: row index 10 is out of bounds for row_count 10"));
  // A list that is no run is checked row by row, whatever its last row.
  EXPECT_TRUE(test::throws_engine_error(
      [&] { build_histograms(binned, gradients, core::NodeSlice::make(0, {11, 2, 3}), tiles); },
      EngineErrorKind::Core, "validation error: row index 11 is out of bounds for row_count 10"));
  // A run of rows is checked by its last row, and reported row by row when that one is outside.
  core::BinnedMatrix with_columns = binned;
  with_columns.bins_column_major = core::BinStorage(std::vector<std::uint8_t>(80, 1));
  EXPECT_TRUE(test::throws_engine_error(
      [&] { build_histograms(with_columns, gradients, core::NodeSlice::make(0, {7, 8, 9, 10}), tiles); },
      EngineErrorKind::Core, "validation error: row index 10 is out of bounds for row_count 10"));
  EXPECT_EQ(build_histograms(with_columns, gradients, core::NodeSlice::make(0, {6, 7, 8, 9}), tiles)
                .histograms[0].bins[1].count,
            4u);
  EXPECT_TRUE(test::throws_engine_error(
      [&] { build_histograms(binned, gradients, node, std::vector{core::FeatureTile{0, 2}, core::FeatureTile{2, 9}}); },
      EngineErrorKind::ContractViolation, "feature tile end 9 exceeds feature_count 8"));
  // So for a node of scattered rows that would otherwise be gathered into columns.
  const core::BinnedMatrix taller = core::BinnedMatrix::make(300, 8, 255, std::vector<std::uint8_t>(2400, 1));
  const std::vector<core::GradientPair> taller_gradients(300, core::GradientPair{1.0f, 1.0f});
  std::vector<std::uint32_t> scattered(300);
  for (std::uint32_t r = 0; r < 300; ++r) scattered[r] = r;
  scattered.erase(scattered.begin() + 7);
  EXPECT_TRUE(test::throws_engine_error(
      [&] {
        build_histograms(taller, taller_gradients, core::NodeSlice::make(0, scattered),
                         std::vector{core::FeatureTile{0, 2}, core::FeatureTile{2, 9}});
      },
      EngineErrorKind::ContractViolation, "feature tile end 9 exceeds feature_count 8"));
}

// A code above max_bin (here the missing bin of a matrix whose max_bin lies below it) stops the
// build on both loops, for both widths, in parallel as serially.
TEST(HistogramBuild, CodeAboveMaxBinPanicsOnEveryLoop) {
  struct PanicCase {
    const char* name;
    MatrixShape shape;
  };
  const PanicCase cases[] = {
      {"u8", {400, 70, 15, 255, false, true, 0.0}},
      {"u16", {400, 70, 300, 301, true, true, 0.0}},
  };
  std::mt19937 rng(5);
  for (const PanicCase& c : cases) {
    SCOPED_TRACE(c.name);
    core::BinnedMatrix binned = test::random_matrix(c.shape, rng);
    binned.set_bin(399, 69, c.shape.missing_bin);
    const auto gradients = test::random_gradients(400, rng);
    std::vector<std::uint32_t> rows(400);
    for (std::uint32_t r = 0; r < 400; ++r) rows[r] = r;
    const std::size_t bins = c.shape.max_bin + 1u;
    const core::FeatureTile tile{60, 70};
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_with_arena(binned, gradients, rows, tile, bins); },
                                  "bin code"));
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_per_feature(binned, gradients, rows, tile, bins); },
                                  "bin code"));
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_from_columns(binned, gradients, 0, 400, tile, bins); },
                                  "bin code"));
    const std::vector<core::FeatureTile> tiles{{0, 35}, {35, 70}};
    EXPECT_TRUE(test::panics_with(
        [&] { build_histograms(binned, gradients, core::NodeSlice::make(0, rows), tiles); }, "bin code"));
    // Rows out of one run, too few for the pool: gathered into columns on the calling thread.
    std::vector<std::uint32_t> scattered = rows;
    scattered.erase(scattered.begin() + 5);
    const std::vector<core::FeatureTile> one_tile{{0, 70}};
    EXPECT_TRUE(test::panics_with(
        [&] { build_histograms(binned, gradients, core::NodeSlice::make(0, scattered), one_tile); }, "bin code"));
    // Rows that avoid the bad cell build normally.
    rows.pop_back();
    EXPECT_NO_THROW(build_histograms(binned, gradients, core::NodeSlice::make(0, rows), tiles));
  }
}

// The per-feature loop reads eight rows ahead, yet stops at the first fault in row order: a row
// outside the matrix, or the stray code of an earlier row in the same eight.
TEST(HistogramBuild, PerFeatureLoopStopsAtTheFirstFaultInRowOrder) {
  std::mt19937 rng(9);
  core::BinnedMatrix binned = test::random_matrix({40, 3, 15, 255, false, true, 0.0}, rng);
  binned.set_bin(20, 1, 255);
  const auto gradients = test::random_gradients(40, rng);
  struct Fault {
    std::vector<std::uint32_t> rows;
    const char* message;
  };
  const Fault faults[] = {
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 40, 11, 12, 13, 14, 15, 16}, "histogram row 40 is outside"},
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 20, 40, 11, 12, 13, 14, 15, 16}, "bin code 255 of feature 1"},
      {{39, 38, 20}, "bin code 255 of feature 1"},
  };
  for (const Fault& fault : faults) {
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_per_feature(binned, gradients, fault.rows, {1, 2}, 16); },
                                  fault.message));
  }
}

TEST(HistogramArena, ResizeZeroesEveryCellAndSetsTheStride) {
  HistogramArena arena(2, 3);
  EXPECT_EQ(arena.cells().size(), 6u);
  arena.cells()[5].grad_sum = 4.0f;
  arena.cells()[5].count = 9.0f;
  arena.carry_counts();
  arena.cells()[5].count = 2.0f;
  EXPECT_EQ(arena.count_at(5), 11u);
  arena.resize_for_tile(3, 4);
  EXPECT_EQ(arena.bins_per_feature(), 4u);
  EXPECT_EQ(arena.feature_count(), 3u);
  for (const ArenaCell& cell : arena.cells()) {
    EXPECT_EQ(cell.count, 0.0f);
    EXPECT_EQ(cell.grad_sum, 0.0f);
  }
  EXPECT_EQ(arena.count_at(5), 0u);  // no carried count survives a resize
  EXPECT_EQ(HistogramArena().feature_count(), 0u);
  EXPECT_TRUE(test::panics_with([&] { arena.count_at(12); }, "out of range"));
}

// Counts stay exact past the float32 range of whole numbers because the float counts are carried
// into integers every so many rows; a short carry period exercises the same path on small data.
TEST(HistogramArena, CarriedCountsMatchTheDefinition) {
  std::mt19937 rng(31);
  const core::BinnedMatrix binned = test::random_matrix({300, 6, 255, 255, false, true, 0.3}, rng);
  const auto gradients = test::random_gradients(300, rng);
  const auto rows = test::random_rows(300, 300, true, rng);
  for (const std::size_t carry_every : {1u, 7u, 299u, 300u}) {
    HistogramArena arena(6, 256);
    accumulate_tile_row_first<256, false>(binned.bins.u8(), 6, std::span(gradients), std::span(rows), 300, 0, 6, arena, 256,
                                     carry_every);
    std::vector<core::FeatureHistogram> built;
    materialize_tile_histograms(0, arena, 256, built);
    expect_same_histograms(built, naive_tile(binned, gradients, rows, {0, 6}));
    // The column loop over the run of rows 20 .. 299, features 2 .. 5.
    HistogramArena group(4, 260);
    accumulate_contiguous_columns<260, false>(binned.bins_column_major.u8(), 300, std::span(gradients), 20, 280, 2, 6,
                                              group, 256, carry_every);
    built.clear();
    materialize_tile_histograms(2, group, 256, built);
    std::vector<std::uint32_t> run(280);
    for (std::uint32_t k = 0; k < 280; ++k) run[k] = 20 + k;
    expect_same_histograms(built, naive_tile(binned, gradients, run, {2, 6}));
    // The column loop at scattered rows, features 1 .. 5, the pairs looked up by row.
    HistogramArena indexed(5, 260);
    accumulate_indexed_columns<260, false, false>(binned.bins_column_major.u8().data() + 300, 300, rows.data(),
                                                  gradients.data(), rows.size(), 5, 1, indexed, 256, carry_every);
    built.clear();
    materialize_tile_histograms(1, indexed, 256, built);
    expect_same_histograms(built, naive_tile(binned, gradients, rows, {1, 6}));
  }
}

TEST(HistogramArena, ASecondBorrowOnOneThreadPanics) {
  ThreadArenaBorrow first;
  EXPECT_TRUE(test::panics_with([] { ThreadArenaBorrow second; }, "already borrowed"));
}

}  // namespace
}  // namespace kestrune::backend_cpu

namespace kestrune::backend_cpu {
namespace {

// The word-wise code reader against plain indexing, for every tile of rows of 1-19 codes of
// both widths. Each row is the last thing in a buffer of its exact size, so a read past the row
// fails under the address sanitizer.
template <typename Code>
void expect_row_codes_read_as_indexed() {
  std::mt19937 random(7);
  for (std::size_t length = 1; length < 20; ++length) {
    std::vector<Code> row(length);
    for (Code& code : row) code = static_cast<Code>(random());
    for (std::size_t start = 0; start < length; ++start) {
      for (std::size_t width = 0; start + width <= length; ++width) {
        std::vector<std::size_t> seen;
        detail::for_each_row_code(row.data(), length, start, width, [&](std::size_t k, std::size_t code) {
          EXPECT_EQ(k, seen.size());
          seen.push_back(code);
        });
        ASSERT_EQ(seen.size(), width) << length << " " << start;
        for (std::size_t k = 0; k < width; ++k) EXPECT_EQ(seen[k], row[start + k]) << length << " " << start << " " << k;
      }
    }
  }
}

TEST(HistogramKernel, RowCodesReadInWordsEqualTheIndexedCodes) {
  expect_row_codes_read_as_indexed<std::uint8_t>();
  expect_row_codes_read_as_indexed<std::uint16_t>();
}

}  // namespace
}  // namespace kestrune::backend_cpu

namespace kestrune::backend_cpu {
namespace {

// The column loop against a float32 re-summation in row order, cell by cell, for every group
// shape (1-9 features: whole groups of four and a remainder) and row counts around the word size.
template <typename Code>
void expect_columns_match_row_order_sums(std::size_t bins) {
  std::mt19937 random(11);
  for (const std::size_t width : {1, 2, 3, 4, 5, 9}) {
    for (const std::size_t n : {0, 1, 3, 7, 8, 9, 17, 64}) {
      const std::size_t stride = n + 3;  // columns longer than the rows read
      std::vector<Code> columns(width * stride);
      for (Code& code : columns) code = static_cast<Code>(random() % bins);
      std::vector<core::GradientPair> pairs(n);
      for (core::GradientPair& pair : pairs) pair = {static_cast<float>(random() % 97) / 7.0f - 6.0f, 0.25f};
      HistogramArena arena(width, bins);
      accumulate_columns<0, true>(columns.data(), stride, pairs.data(), n, width, 0, arena, bins);
      std::vector<ArenaCell> expected(width * bins);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < width; ++k) {
          ArenaCell& cell = expected[k * bins + columns[k * stride + i]];
          cell.grad_sum += pairs[i].grad;
          cell.hess_sum += pairs[i].hess;
          cell.grad_sq_sum += pairs[i].grad * pairs[i].grad;
          cell.count += 1.0f;
        }
      }
      for (std::size_t c = 0; c < expected.size(); ++c) {
        const ArenaCell& got = arena.cells()[c];
        EXPECT_TRUE(got.grad_sum == expected[c].grad_sum && got.hess_sum == expected[c].hess_sum &&
                    got.grad_sq_sum == expected[c].grad_sq_sum && got.count == expected[c].count)
            << "width " << width << " rows " << n << " cell " << c;
      }
    }
  }
}

TEST(HistogramKernel, ColumnLoopMatchesRowOrderSums) {
  expect_columns_match_row_order_sums<std::uint8_t>(256);
  expect_columns_match_row_order_sums<std::uint16_t>(300);
}

// The stray code sits in row 8 (past the first word) of the last column; six columns span two
// groups of features, so the feature named is counted across groups too.
TEST(HistogramKernel, ColumnLoopReportsTheFeatureOfAStrayCode) {
  struct StrayCase {
    std::size_t width;
    const char* message;
  };
  for (const StrayCase c : {StrayCase{3, "bin code 40 of feature 7"}, StrayCase{6, "bin code 40 of feature 10"}}) {
    SCOPED_TRACE(c.width);
    std::vector<std::uint16_t> columns(c.width * 9, 1);
    columns[(c.width - 1) * 9 + 8] = 40;  // features from 5 on
    std::vector<core::GradientPair> pairs(9, core::GradientPair{1.0f, 1.0f});
    HistogramArena arena(c.width, 10);
    EXPECT_TRUE(test::panics_with(
        [&] { accumulate_columns<0, true>(columns.data(), 9, pairs.data(), 9, c.width, 5, arena, 10); }, c.message));
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu

namespace kestrune::backend_cpu {
namespace {

// Column-major codes that do not cover every feature's rows are refused before they are read,
// for a run of rows (the column loop's case).
TEST(HistogramKernel, ColumnLoopRefusesShortColumnMajorCodes) {
  std::mt19937 rng(13);
  core::BinnedMatrix binned = test::random_matrix({1000, 20, 255, 255, false, true, 0.0}, rng);
  const auto gradients = test::random_gradients(1000, rng);
  std::vector<std::uint32_t> run(1000);
  for (std::uint32_t k = 0; k < 1000; ++k) run[k] = k;
  std::vector<std::uint8_t> codes(binned.bins_column_major.u8().begin(), binned.bins_column_major.u8().end());
  codes.pop_back();
  binned.bins_column_major = core::BinStorage(std::move(codes));
  EXPECT_TRUE(test::panics_with(
      [&] { build_histograms(binned, gradients, core::NodeSlice::make(0, run), std::vector{core::FeatureTile{0, 20}}); },
      "column-major bin codes are shorter than the matrix"));
}

}  // namespace
}  // namespace kestrune::backend_cpu
