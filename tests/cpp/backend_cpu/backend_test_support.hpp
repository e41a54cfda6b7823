// Random binned data, naive references and error matchers shared by the CPU backend tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
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
  std::uint16_t missing_bin = 255;
  bool wide = false;          // 16-bit storage
  bool column_major = true;   // keep the column-major copy
  double missing_rate = 0.1;
};

// Codes with many repeats: feature f draws from few distinct values for small f and from the
// whole range for large f, and a share of cells is missing.
inline core::BinnedMatrix random_matrix(const MatrixShape& shape, std::mt19937& rng) {
  std::vector<std::uint16_t> codes(shape.rows * shape.features);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t r = 0; r < shape.rows; ++r) {
    for (std::size_t f = 0; f < shape.features; ++f) {
      const std::uint32_t distinct = std::min<std::uint32_t>(shape.max_bin + 1u, f % 4 == 0 ? 3u : 1u << (f % 12));
      std::uniform_int_distribution<std::uint32_t> pick(0, distinct - 1);
      const std::uint32_t spread = (shape.max_bin + 1u) / std::max<std::uint32_t>(distinct, 1);
      std::uint16_t code = static_cast<std::uint16_t>(std::min<std::uint32_t>(pick(rng) * spread, shape.max_bin));
      if (unit(rng) < shape.missing_rate) code = shape.missing_bin;
      codes[r * shape.features + f] = code;
    }
  }
  core::BinnedMatrix binned;
  if (shape.wide) {
    binned = core::BinnedMatrix::make_u16(shape.rows, shape.features, shape.max_bin, shape.missing_bin, codes);
  } else {
    EXPECT_EQ(shape.missing_bin, 255) << "8-bit matrices mark missing values with 255";
    std::vector<std::uint8_t> narrow(codes.begin(), codes.end());
    binned = core::BinnedMatrix::make(shape.rows, shape.features, shape.max_bin, std::move(narrow));
  }
  if (!shape.column_major) binned.bins_column_major = core::BinStorage();
  return binned;
}

// Arbitrary float32 pairs, or dyadic ones (multiples of 1/16) whose sums are exact in any order.
inline std::vector<core::GradientPair> random_gradients(std::size_t n, std::mt19937& rng, bool dyadic = false) {
  std::vector<core::GradientPair> pairs(n);
  std::uniform_real_distribution<float> grad(-3.0f, 3.0f);
  std::uniform_real_distribution<float> hess(0.01f, 2.0f);
  std::uniform_int_distribution<int> steps(-48, 48);
  std::uniform_int_distribution<int> hess_steps(1, 32);
  for (auto& pair : pairs) {
    pair = dyadic ? core::GradientPair{static_cast<float>(steps(rng)) / 16.0f, static_cast<float>(hess_steps(rng)) / 16.0f}
                  : core::GradientPair{grad(rng), hess(rng)};
  }
  return pairs;
}

// Dyadic pairs coarse enough for large nodes: gradients in quarters, hessians in sixteenths, so
// that sums and sums of squares stay exact in any order for up to 10^5 rows.
inline std::vector<core::GradientPair> quarter_gradients(std::size_t n, std::mt19937& rng) {
  std::vector<core::GradientPair> pairs(n);
  for (auto& pair : pairs) {
    pair = {static_cast<float>(static_cast<int>(rng() % 25) - 12) / 4.0f, static_cast<float>(1 + rng() % 32) / 16.0f};
  }
  return pairs;
}

// The rows of a node: a random subset (with its order shuffled when asked).
inline std::vector<std::uint32_t> random_rows(std::size_t row_count, std::size_t take, bool shuffle, std::mt19937& rng) {
  std::vector<std::uint32_t> all(row_count);
  for (std::size_t r = 0; r < row_count; ++r) all[r] = static_cast<std::uint32_t>(r);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(std::min(take, row_count));
  if (!shuffle) std::sort(all.begin(), all.end());
  return all;
}

// Straight from the definition: per feature, per row in node order, one bin += the pair.
inline core::FeatureHistogram naive_histogram(const core::BinnedMatrix& binned,
                                              const std::vector<core::GradientPair>& gradients,
                                              std::span<const std::uint32_t> rows, std::uint32_t feature,
                                              std::size_t bins) {
  core::FeatureHistogram histogram{std::vector<core::HistogramBin>(bins), feature};
  for (const std::uint32_t r : rows) {
    core::HistogramBin& bin = histogram.bins.at(binned.bins.at(r * binned.feature_count + feature));
    bin.grad_sum += gradients[r].grad;
    bin.hess_sum += gradients[r].hess;
    bin.grad_sq_sum += gradients[r].grad * gradients[r].grad;
    bin.count += 1;
  }
  return histogram;
}

// The definition's histograms of the tiles' features, in tile order.
inline std::vector<core::FeatureHistogram> naive_histograms(const core::BinnedMatrix& binned,
                                                            const std::vector<core::GradientPair>& gradients,
                                                            std::span<const std::uint32_t> rows,
                                                            const std::vector<core::FeatureTile>& tiles) {
  std::vector<core::FeatureHistogram> out;
  for (const core::FeatureTile& tile : tiles) {
    for (std::uint32_t f = tile.start_feature; f < tile.end_feature; ++f) {
      out.push_back(naive_histogram(binned, gradients, rows, f, binned.max_bin + 1u));
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

inline ::testing::AssertionResult same_histogram(const core::FeatureHistogram& a, const core::FeatureHistogram& b) {
  if (a.feature_index != b.feature_index) {
    return ::testing::AssertionFailure() << "feature " << a.feature_index << " != " << b.feature_index;
  }
  if (a.bins.size() != b.bins.size()) {
    return ::testing::AssertionFailure() << "bin count " << a.bins.size() << " != " << b.bins.size();
  }
  for (std::size_t i = 0; i < a.bins.size(); ++i) {
    if (auto same = same_bin(a.bins[i], b.bins[i]); !same) {
      return same << " at feature " << a.feature_index << " bin " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

inline void expect_same_histograms_in_order(const std::vector<core::FeatureHistogram>& actual,
                                            const std::vector<core::FeatureHistogram>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_TRUE(same_histogram(actual[i], expected[i])) << "histogram " << i;
}

template <typename F>
::testing::AssertionResult throws_engine_error(F&& body, engine::EngineErrorKind kind, std::string_view message) {
  try {
    body();
  } catch (const engine::EngineError& error) {
    if (error.kind() == kind && error.message() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.debug();
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

template <typename F>
::testing::AssertionResult panics_with(F&& body, std::string_view fragment) {
  try {
    body();
  } catch (const support::Panic& panic) {
    if (panic.message().find(fragment) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "panicked with \"" << panic.message() << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "did not panic";
}

}  // namespace kestrune::backend_cpu::test
