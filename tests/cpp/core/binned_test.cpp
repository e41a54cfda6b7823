#include "core/binned.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "expect_core_error.hpp"
#include "support/panic.hpp"

namespace kestrune {
namespace {

using core::BinnedMatrix;
using core::BinStorage;
using core::BinWidth;
using testing_support::throws_validation;
using U8s = std::vector<std::uint8_t>;
using U16s = std::vector<std::uint16_t>;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

// Every reader may pick either list, so both must describe the same cells.
void expect_lists_agree(const BinnedMatrix& m) {
  ASSERT_EQ(m.bins.size(), m.row_count * m.feature_count);
  ASSERT_EQ(m.bins_column_major.size(), m.bins.size());
  ASSERT_EQ(m.bins_column_major.width(), m.bins.width());
  for (std::size_t r = 0; r < m.row_count; ++r) {
    for (std::size_t f = 0; f < m.feature_count; ++f) {
      ASSERT_EQ(m.bins_column_major.at(f * m.row_count + r), m.bins.at(r * m.feature_count + f));
    }
  }
}

TEST(CoreBinnedMatrix, MakeBuildsBothListsWithMissingBin255) {
  const BinnedMatrix m = BinnedMatrix::make(2, 2, 3, {0, 1, 255, 3});
  EXPECT_EQ(m.missing_bin, 255);
  EXPECT_EQ(m.bins, BinStorage(U8s{0, 1, 255, 3}));
  EXPECT_EQ(m.bins_column_major, BinStorage(U8s{0, 255, 1, 3}));
  expect_lists_agree(m);
}

struct MakeFailure {
  std::size_t rows;
  std::size_t features;
  std::uint16_t max_bin;
  U8s bins;
  std::string message;
};

TEST(CoreBinnedMatrix, MakeReportsFirstFailingRule) {
  const std::vector<MakeFailure> cases = {
      {0, 0, 0, {1}, "row_count must be greater than 0"},
      {2, 0, 0, {1}, "feature_count must be greater than 0"},
      {2, 2, 0, {9}, "max_bin must be greater than 0"},
      {2, 2, 3, {0, 1, 2}, "bins length 3 does not match row_count * feature_count 4"},
      {2, 2, 3, {0, 9, 4, 2}, "bin value 9 exceeds max_bin 3"},
      // A product that wraps to 0 must not match an empty list: its true value is reported.
      {std::size_t{1} << 32, std::size_t{1} << 32, 3, {}, "bins length 0 does not match row_count * feature_count 18446744073709551616"},
  };
  for (const MakeFailure& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_TRUE(throws_validation([&] { BinnedMatrix::make(c.rows, c.features, c.max_bin, c.bins); }, c.message));
  }
}

TEST(CoreBinnedMatrix, MakeU16KeepsWideCodes) {
  const BinnedMatrix m = BinnedMatrix::make_u16(2, 3, 300, 301, {300, 301, 0, 254, 255, 7});
  EXPECT_EQ(m.bins.width(), BinWidth::U16);
  EXPECT_EQ(m.bins, BinStorage(U16s{300, 301, 0, 254, 255, 7}));
  expect_lists_agree(m);

  EXPECT_TRUE(throws_validation([] { BinnedMatrix::make_u16(1, 2, 300, 301, {302, 0}); },
                                "bin value 302 exceeds max_bin 300"));
  // A missing bin inside the regular range is allowed; values are judged by max_bin alone.
  EXPECT_NO_THROW(BinnedMatrix::make_u16(1, 2, 300, 5, {5, 300}));
}

TEST(CoreBinnedMatrix, SetBinWritesBothLists) {
  BinnedMatrix narrow = BinnedMatrix::make(2, 3, 10, {0, 1, 2, 3, 4, 5});
  narrow.set_bin(1, 0, 7);
  EXPECT_EQ(narrow.bins.at(3), 7);
  // Not compared with max_bin; 8-bit storage saturates at 255.
  narrow.set_bin(0, 2, 300);
  EXPECT_EQ(narrow.bins.at(2), 255);
  expect_lists_agree(narrow);

  BinnedMatrix wide = BinnedMatrix::make_u16(2, 3, 10, 11, {0, 1, 2, 3, 4, 5});
  wide.set_bin(0, 2, 300);
  wide.set_bin(1, 1, 254);
  EXPECT_EQ(wide.bins.at(2), 300);
  EXPECT_EQ(wide.bins.at(4), 254);
  expect_lists_agree(wide);
}

TEST(CoreBinnedMatrix, SetBinOutsideTheMatrixChangesNothing) {
  BinnedMatrix m = BinnedMatrix::make(2, 3, 10, {0, 1, 2, 3, 4, 5});
  const BinnedMatrix before = m;
  // (0, 3) would alias cell (1, 0) in the row-major lists and (1, 1) in the column-major ones.
  for (const auto& [row, feature] : std::vector<std::pair<std::size_t, std::size_t>>{
           {0, 3}, {2, 0}, {kMax, 0}, {0, kMax}, {kMax, kMax}}) {
    m.set_bin(row, feature, 9);
  }
  EXPECT_EQ(m.bins, before.bins);
  EXPECT_EQ(m.bins_column_major, before.bins_column_major);

  // A record assembled by hand with a shorter copy: only the lists holding the cell are written.
  BinnedMatrix partial;
  partial.row_count = 2;
  partial.feature_count = 2;
  partial.max_bin = 5;
  partial.bins = BinStorage(U16s{0, 0, 0, 0});
  partial.bins_column_major = BinStorage(U16s{0, 0});
  partial.set_bin(1, 1, 4);
  EXPECT_EQ(partial.bins, BinStorage(U16s{0, 0, 0, 4}));
  EXPECT_EQ(partial.bins_column_major, BinStorage(U16s{0, 0}));
}

TEST(CoreBinnedMatrix, TransposeMatchesNaiveAcrossTileEdges) {
  const std::vector<std::pair<std::size_t, std::size_t>> shapes = {
      {1, 1}, {1, 1000}, {1000, 1}, {127, 63}, {128, 64}, {129, 65}, {300, 70}, {3, 200}};
  for (const auto& [rows, features] : shapes) {
    SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(features));
    U8s bins(rows * features);
    for (std::size_t i = 0; i < bins.size(); ++i) bins[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 7);
    const U8s out = core::transpose_bins_to_column_major_u8(bins, rows, features);
    ASSERT_EQ(out.size(), bins.size());
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t f = 0; f < features; ++f) ASSERT_EQ(out[f * rows + r], bins[r * features + f]);
    }
    U16s wide(bins.size());
    for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<std::uint16_t>(i % 700);
    expect_lists_agree(BinnedMatrix::make_u16(rows, features, 700, 700, wide));
    // The constructors keep the codes as given and build the copy across the same tile edges.
    const BinnedMatrix wide_matrix = BinnedMatrix::make_u16(rows, features, 700, 700, wide);
    EXPECT_EQ(wide_matrix.bins, BinStorage(wide));
    const BinnedMatrix narrow_matrix = BinnedMatrix::make(rows, features, 255, bins);
    EXPECT_EQ(narrow_matrix.bins, BinStorage(bins));
    expect_lists_agree(narrow_matrix);
  }
}

TEST(CoreBinnedMatrix, TransposeOfMismatchedShapeIsEmpty) {
  const U8s bins = {1, 2, 3, 4};
  EXPECT_TRUE(core::transpose_bins_to_column_major_u8(bins, 0, 4).empty());
  EXPECT_TRUE(core::transpose_bins_to_column_major_u8(bins, 3, 1).empty());
  EXPECT_TRUE(core::transpose_bins_to_column_major_u8(bins, kMax, 2).empty());
  EXPECT_EQ(core::transpose_bins_to_column_major_u8(bins, 2, 2), (U8s{1, 3, 2, 4}));
}

TEST(CoreBinStorage, ChecksIndexAndWidth) {
  BinStorage narrow(U8s{1, 2});
  EXPECT_THROW(narrow.at(2), support::Panic);
  EXPECT_THROW(narrow.set(2, 0), support::Panic);
  EXPECT_THROW(narrow.u16(), support::Panic);
  narrow.set(0, 1000);
  EXPECT_EQ(narrow.at(0), 255);
  EXPECT_THROW(BinStorage(U16s{1000}).u8(), support::Panic);
  EXPECT_THROW(BinStorage().at(0), support::Panic);
}

}  // namespace
}  // namespace kestrune
