// Quantized features: the bin codes that tree growth reads, in 8-bit or 16-bit storage, with a
// column-major copy materialised once so that no reader converts layout later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

namespace kestrune::core {

enum class BinWidth { U8, U16 };

// A list of bin numbers in one of two widths. Default-constructed storage is an empty U8 list.
class BinStorage {
 public:
  BinStorage() = default;
  explicit BinStorage(std::vector<std::uint8_t> values) : values_(std::move(values)) {}
  explicit BinStorage(std::vector<std::uint16_t> values) : values_(std::move(values)) {}

  BinWidth width() const noexcept { return values_.index() == 0 ? BinWidth::U8 : BinWidth::U16; }
  bool is_u8() const noexcept { return values_.index() == 0; }
  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }

  // Entry i widened to 16 bits; panics when i is out of range.
  std::uint16_t at(std::size_t i) const;
  // Writes entry i: the value itself in U16 storage, min(value, 255) in U8 storage. Panics when
  // i is out of range.
  void set(std::size_t i, std::uint16_t value);

  // The entries in their own width; asking for the other width is a bug and panics.
  std::span<const std::uint8_t> u8() const;
  std::span<const std::uint16_t> u16() const;

  // Calls body(std::span<const T>) with T the storage width, so a hot loop is written once
  // and compiled for both widths.
  template <typename F>
  decltype(auto) visit(F&& body) const {
    return std::visit([&](const auto& values) -> decltype(auto) { return body(std::span(values)); }, values_);
  }

  friend bool operator==(const BinStorage&, const BinStorage&) = default;

 private:
  std::variant<std::vector<std::uint8_t>, std::vector<std::uint16_t>> values_;
};

// Row-major bin codes of R rows by F features (cell (r, f) at r * F + f; the column-major copy
// holds it at f * R + r). Every entry of `bins` is at most `max_bin` or equals `missing_bin`.
// Each list is as large as the training rows' raw features are in 8-bit storage, so only lists
// that tree growth reads are kept.
struct BinnedMatrix {
  BinStorage bins;
  // Same width as `bins`; empty when the shape does not match the bins.
  BinStorage bins_column_major;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  std::uint16_t max_bin = 0;
  // May exceed max_bin.
  std::uint16_t missing_bin = 0;

  // 8-bit codes with missing bin 255; CoreError::Validation from validate_binned_matrix.
  static BinnedMatrix make(std::size_t row_count, std::size_t feature_count, std::uint16_t max_bin,
                           std::vector<std::uint8_t> bins);
  static BinnedMatrix make_u16(std::size_t row_count, std::size_t feature_count, std::uint16_t max_bin,
                               std::uint16_t missing_bin, std::vector<std::uint16_t> bins);

  // Writes one cell in both lists (8-bit storage saturates at 255). The value is not compared
  // with max_bin: categorical codes are stored this way. A cell outside the matrix, or a
  // position outside one of the lists, is skipped silently; it never fails.
  void set_bin(std::size_t row, std::size_t feature, std::uint16_t bin);
};

// Column-major copy of row-major 8-bit codes; empty when row_count * feature_count is zero,
// overflows, or differs from bins.size() (validation reports the shape later).
std::vector<std::uint8_t> transpose_bins_to_column_major_u8(std::span<const std::uint8_t> bins,
                                                            std::size_t row_count, std::size_t feature_count);

}  // namespace kestrune::core
