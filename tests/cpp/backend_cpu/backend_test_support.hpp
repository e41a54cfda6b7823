// Random binned data, naive references and matchers shared by the CPU backend tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "core/binned.hpp"
#include "core/histogram.hpp"
#include "engine/error.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu::test {

struct MatrixShape {
  std::size_t rows = 0;
  std::size_t features = 0;
  std::uint16_t max_bin = 255;
  std::uint16_t missing_bin = 255;  // 255 for 8-bit storage
  bool wide = false;                // 16-bit storage
  bool column_major = true;         // keep the column-major copy
  double missing_rate = 0.1;
};

// Codes with many repeats: feature f draws from few distinct values for small f and from the
// whole range for large f, and a share of cells is missing.
inline core::BinnedMatrix random_matrix(const MatrixShape& shape, std::mt19937& rng) {
  std::vector<std::uint16_t> codes(shape.rows * shape.features);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t cell = 0; cell < codes.size(); ++cell) {
    const std::size_t f = cell % shape.features;
    const std::uint32_t distinct = std::min<std::uint32_t>(shape.max_bin + 1u, f % 4 == 0 ? 3u : 1u << (f % 12));
    const std::uint32_t code = std::min<std::uint32_t>(rng() % distinct * ((shape.max_bin + 1u) / distinct), shape.max_bin);
    codes[cell] = static_cast<std::uint16_t>(unit(rng) < shape.missing_rate ? shape.missing_bin : code);
  }
  core::BinnedMatrix binned =
      shape.wide ? core::BinnedMatrix::make_u16(shape.rows, shape.features, shape.max_bin, shape.missing_bin, codes)
                 : core::BinnedMatrix::make(shape.rows, shape.features, shape.max_bin,
                                            std::vector<std::uint8_t>(codes.begin(), codes.end()));
  if (!shape.column_major) binned.bins_column_major = core::BinStorage();
  return binned;
}

// Arbitrary float32 pairs, or dyadic ones (gradients in quarters, hessians in sixteenths) whose
// sums, and sums of squares, are exact in any order for up to 10^5 rows.
inline std::vector<core::GradientPair> random_gradients(std::size_t n, std::mt19937& rng, bool dyadic = false) {
  std::vector<core::GradientPair> pairs(n);
  std::uniform_real_distribution<float> grad(-3.0f, 3.0f), hess(0.01f, 2.0f);
  for (auto& pair : pairs) {
    pair = dyadic ? core::GradientPair{static_cast<float>(static_cast<int>(rng() % 25) - 12) / 4.0f,
                                       static_cast<float>(1 + rng() % 32) / 16.0f}
                  : core::GradientPair{grad(rng), hess(rng)};
  }
  return pairs;
}

// The rows of a node: a random subset, in row order or shuffled.
inline std::vector<std::uint32_t> random_rows(std::size_t row_count, std::size_t take, bool shuffle, std::mt19937& rng) {
  std::vector<std::uint32_t> all(row_count);
  for (std::size_t r = 0; r < row_count; ++r) all[r] = static_cast<std::uint32_t>(r);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(std::min(take, row_count));
  if (!shuffle) std::sort(all.begin(), all.end());
  return all;
}

inline void add_row(core::HistogramBin& bin, const core::GradientPair& pair) {
  bin.grad_sum += pair.grad;
  bin.hess_sum += pair.hess;
  bin.grad_sq_sum += pair.grad * pair.grad;
  bin.count += 1;
}

// Straight from the definition: per feature of the tiles in order, per row in node order, one
// bin += the pair.
inline std::vector<core::FeatureHistogram> naive_histograms(const core::BinnedMatrix& binned,
                                                            const std::vector<core::GradientPair>& gradients,
                                                            const std::vector<std::uint32_t>& rows,
                                                            const std::vector<core::FeatureTile>& tiles) {
  std::vector<core::FeatureHistogram> out;
  for (const core::FeatureTile& tile : tiles) {
    for (std::uint32_t f = tile.start_feature; f < tile.end_feature; ++f) {
      out.push_back({std::vector<core::HistogramBin>(binned.max_bin + 1u), f});
      auto& bins = out.back().bins;
      for (const std::uint32_t r : rows) add_row(bins.at(binned.bins.at(r * binned.feature_count + f)), gradients[r]);
    }
  }
  return out;
}

inline bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

inline ::testing::AssertionResult same_bin(const core::HistogramBin& a, const core::HistogramBin& b) {
  if (same_bits(a.grad_sum, b.grad_sum) && same_bits(a.hess_sum, b.hess_sum) &&
      same_bits(a.grad_sq_sum, b.grad_sq_sum) && a.count == b.count) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "(" << a.grad_sum << ", " << a.hess_sum << ", " << a.grad_sq_sum << ", "
                                       << a.count << ") != (" << b.grad_sum << ", " << b.hess_sum << ", "
                                       << b.grad_sq_sum << ", " << b.count << ")";
}

inline void expect_same_histograms(const std::vector<core::FeatureHistogram>& actual,
                                   const std::vector<core::FeatureHistogram>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t h = 0; h < actual.size(); ++h) {
    ASSERT_EQ(actual[h].feature_index, expected[h].feature_index) << "histogram " << h;
    ASSERT_EQ(actual[h].bins.size(), expected[h].bins.size()) << "histogram " << h;
    for (std::size_t i = 0; i < actual[h].bins.size(); ++i) {
      ASSERT_TRUE(same_bin(actual[h].bins[i], expected[h].bins[i])) << "feature " << actual[h].feature_index << ", " << i;
    }
  }
}

// Runs body and checks that it fails as wanted: with an EngineError of this kind and exact
// message, or (kind unset) with a panic whose message contains the text.
template <typename F>
::testing::AssertionResult fails_with(F&& body, std::optional<engine::EngineErrorKind> kind, std::string_view text) {
  try {
    body();
  } catch (const engine::EngineError& error) {
    if (kind && error.kind() == *kind && error.message() == text) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.debug();
  } catch (const support::Panic& panic) {
    if (!kind && panic.message().find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "panicked with \"" << panic.message() << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "did not fail, wanted \"" << text << "\"";
}

template <typename F>
::testing::AssertionResult panics_with(F&& body, std::string_view fragment) {
  return fails_with(std::forward<F>(body), std::nullopt, fragment);
}

}  // namespace kestrune::backend_cpu::test
