#include "core/binned.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "core/validation.hpp"
#include "support/panic.hpp"

namespace kestrune::core {
namespace {

// The transposes walk 64 x 64 tiles: both sides of a tile stay in L1 for 8-bit and 16-bit
// codes alike, and only 64 output columns (pages) are touched per tile. Measured against taller
// tiles and the plain loop, this one never lost on wide or on tall matrices.
constexpr std::size_t kTransposeRowBlock = 64;
constexpr std::size_t kTransposeFeatureBlock = 64;

// row_count * feature_count when it fits and matches the input length, else nothing.
std::optional<std::size_t> matching_cell_count(std::size_t row_count, std::size_t feature_count,
                                               std::size_t length) {
  std::size_t cells = 0;
  if (__builtin_mul_overflow(row_count, feature_count, &cells) || cells == 0 || cells != length) {
    return std::nullopt;
  }
  return cells;
}

template <typename T>
std::vector<T> transpose_to_column_major(std::span<const T> bins, std::size_t row_count, std::size_t feature_count) {
  const std::optional<std::size_t> cells = matching_cell_count(row_count, feature_count, bins.size());
  if (!cells) return {};
  std::vector<T> out(*cells);
  const T* in = bins.data();
  T* dst = out.data();
  for (std::size_t r0 = 0; r0 < row_count; r0 += kTransposeRowBlock) {
    const std::size_t r1 = std::min(row_count, r0 + kTransposeRowBlock);
    for (std::size_t f0 = 0; f0 < feature_count; f0 += kTransposeFeatureBlock) {
      const std::size_t f1 = std::min(feature_count, f0 + kTransposeFeatureBlock);
      // Contiguous writes down each column of the tile; the strided reads stay inside the tile.
      for (std::size_t f = f0; f < f1; ++f) {
        T* column = dst + f * row_count;
        for (std::size_t r = r0; r < r1; ++r) column[r] = in[r * feature_count + f];
      }
    }
  }
  return out;
}

constexpr std::uint8_t saturate_u8(std::uint16_t value) {
  return value <= 254 ? static_cast<std::uint8_t>(value) : std::uint8_t{255};
}

}  // namespace

std::size_t BinStorage::size() const noexcept {
  return std::visit([](const auto& values) { return values.size(); }, values_);
}

std::uint16_t BinStorage::at(std::size_t i) const {
  return std::visit(
      [i](const auto& values) -> std::uint16_t {
        if (i >= values.size()) {
          support::panic("bin index " + std::to_string(i) + " is out of range for " + std::to_string(values.size()) +
                         " bins");
        }
        return values[i];
      },
      values_);
}

void BinStorage::set(std::size_t i, std::uint16_t value) {
  std::visit(
      [i, value](auto& values) {
        if (i >= values.size()) {
          support::panic("bin index " + std::to_string(i) + " is out of range for " + std::to_string(values.size()) +
                         " bins");
        }
        using T = typename std::decay_t<decltype(values)>::value_type;
        if constexpr (std::is_same_v<T, std::uint8_t>) {
          values[i] = saturate_u8(value);
        } else {
          values[i] = value;
        }
      },
      values_);
}

std::span<const std::uint8_t> BinStorage::u8() const {
  const auto* values = std::get_if<std::vector<std::uint8_t>>(&values_);
  support::invariant(values != nullptr, "8-bit view requested from 16-bit bin storage");
  return *values;
}

std::span<const std::uint16_t> BinStorage::u16() const {
  const auto* values = std::get_if<std::vector<std::uint16_t>>(&values_);
  support::invariant(values != nullptr, "16-bit view requested from 8-bit bin storage");
  return *values;
}

std::vector<std::uint8_t> transpose_bins_to_column_major_u8(std::span<const std::uint8_t> bins,
                                                            std::size_t row_count, std::size_t feature_count) {
  return transpose_to_column_major(bins, row_count, feature_count);
}

BinnedMatrix BinnedMatrix::make(std::size_t row_count, std::size_t feature_count, std::uint16_t max_bin,
                                std::vector<std::uint8_t> bins) {
  // Validation reads only the primary list, so check it before materialising the copy.
  BinnedMatrix matrix;
  matrix.row_count = row_count;
  matrix.feature_count = feature_count;
  matrix.max_bin = max_bin;
  matrix.missing_bin = 255;
  matrix.bins = BinStorage(std::move(bins));
  validate_binned_matrix(matrix);
  matrix.bins_column_major =
      BinStorage(transpose_bins_to_column_major_u8(matrix.bins.u8(), row_count, feature_count));
  return matrix;
}

BinnedMatrix BinnedMatrix::make_u16(std::size_t row_count, std::size_t feature_count, std::uint16_t max_bin,
                                    std::uint16_t missing_bin, std::vector<std::uint16_t> bins) {
  BinnedMatrix matrix;
  matrix.row_count = row_count;
  matrix.feature_count = feature_count;
  matrix.max_bin = max_bin;
  matrix.missing_bin = missing_bin;
  matrix.bins = BinStorage(std::move(bins));
  validate_binned_matrix(matrix);
  matrix.bins_column_major = BinStorage(transpose_to_column_major(matrix.bins.u16(), row_count, feature_count));
  return matrix;
}

void BinnedMatrix::set_bin(std::size_t row, std::size_t feature, std::uint16_t bin) {
  // Both positions are derived from (row, feature); a cell outside the matrix would land on a
  // different cell in the row-major and the column-major lists and break their agreement, so
  // it writes nothing. The size checks then keep every write inside its list.
  if (row >= row_count || feature >= feature_count) return;
  std::size_t row_major = 0;
  std::size_t column_major = 0;
  // Only a record assembled field by field with counts far larger than its lists can overflow.
  if (__builtin_mul_overflow(row, feature_count, &row_major) ||
      __builtin_add_overflow(row_major, feature, &row_major) ||
      __builtin_mul_overflow(feature, row_count, &column_major) ||
      __builtin_add_overflow(column_major, row, &column_major)) {
    return;
  }
  if (row_major < bins.size()) bins.set(row_major, bin);
  if (column_major < bins_column_major.size()) bins_column_major.set(column_major, bin);
}

}  // namespace kestrune::core
