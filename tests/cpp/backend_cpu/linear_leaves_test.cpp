#include "backend_cpu/linear_leaves.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {
namespace {

// A fit's inputs: wide bin codes of one split feature beside `raw_features` raw columns.
struct FitCase {
  std::uint16_t max_bin = 6;
  std::uint16_t missing_bin = 7;
  std::uint16_t threshold = 2;
  bool default_left = true;
  float lambda = 0.5f;
  float scale = 0.3f;
  std::size_t raw_features = 5;
  std::vector<std::uint32_t> terms{0, 1, 2};
  bool nan_values = false;  // NaN in raw column r % 7 of row r, so in every term's column somewhere
};

struct FitData {
  core::BinnedMatrix binned;
  std::vector<core::GradientPair> gradients;
  std::vector<float> raw;
  std::vector<std::uint32_t> left_rows;
  std::vector<std::uint32_t> right_rows;
};

// Rows with bins 0 ..= max(max_bin, missing_bin) on feature 0 of a two-feature matrix, raw values
// in [-1, 1], gradients in [-1, 1] and hessians in [0.5, 1.5]. The rows are spread over the two
// lists at random: the fit reads a row's side from its bin alone.
FitData make_fit_data(const FitCase& c, std::size_t rows, std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const std::uint16_t largest = std::max(c.max_bin, c.missing_bin);
  std::uniform_int_distribution<std::uint32_t> bin(0, largest);
  FitData data;
  std::vector<std::uint16_t> codes(rows * 2, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    codes[r * 2] = static_cast<std::uint16_t>(bin(rng));
    data.gradients.push_back({unit(rng), 1.0f + 0.5f * unit(rng)});
    for (std::size_t f = 0; f < c.raw_features; ++f) data.raw.push_back(unit(rng));
    (rng() % 2 == 0 ? data.left_rows : data.right_rows).push_back(static_cast<std::uint32_t>(r));
  }
  data.binned = core::BinnedMatrix::make_u16(rows, 2, c.max_bin, c.missing_bin, codes);
  return data;
}

engine::LinearLeafPairRequest request_of(const FitCase& c, const FitData& data) {
  return {c.scale,         c.lambda, data.raw,      c.raw_features, 0, c.threshold, c.default_left,
          c.terms,         data.left_rows, data.right_rows};
}

std::optional<engine::LinearLeafPair> fit(const FitCase& c, const FitData& data) {
  return CpuBackend().compute_linear_leaf_pair_from_partitions(data.binned, data.gradients, request_of(c, data));
}

// The float64 ridge model of the rows on one side: the normal equations
// (sum h z z^T + lambda I) x = -sum g z solved by Gaussian elimination with partial pivoting.
struct Reference {
  std::vector<double> coefficients;
  double intercept = 0.0;
};

Reference reference_side(const FitCase& c, const FitData& data, bool left) {
  const std::size_t k = c.terms.size();
  std::vector<std::vector<double>> a(k, std::vector<double>(k + 1, 0.0));
  double g_sum = 0.0;
  double h_sum = 0.0;
  for (std::size_t r = 0; r < data.gradients.size(); ++r) {
    const std::uint16_t bin = data.binned.bins.at(r * 2);
    if (bin > c.missing_bin) continue;  // bins past the missing bin feed neither model
    const bool goes_left = bin == c.missing_bin ? c.default_left : bin <= c.threshold;
    if (goes_left != left) continue;
    const double g = data.gradients[r].grad;
    const double h = data.gradients[r].hess;
    g_sum += g;
    h_sum += h;
    std::vector<double> z(k);
    for (std::size_t j = 0; j < k; ++j) {
      z[j] = c.terms[j] < c.raw_features ? data.raw[r * c.raw_features + c.terms[j]] : 0.0;
      if (std::isnan(z[j])) z[j] = 0.0;
    }
    for (std::size_t j = 0; j < k; ++j) {
      for (std::size_t m = 0; m < k; ++m) a[j][m] += h * z[j] * z[m];
      a[j][k] -= g * z[j];
    }
  }
  for (std::size_t j = 0; j < k; ++j) a[j][j] += c.lambda;
  for (std::size_t col = 0; col < k; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < k; ++r) {
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    }
    std::swap(a[col], a[pivot]);
    for (std::size_t r = 0; r < k; ++r) {
      if (r == col) continue;
      const double factor = a[r][col] / a[col][col];
      for (std::size_t m = col; m <= k; ++m) a[r][m] -= factor * a[col][m];
    }
  }
  Reference out;
  for (std::size_t j = 0; j < k; ++j) out.coefficients.push_back(a[j][k] / a[j][j] * c.scale);
  out.intercept = -(c.scale * g_sum) / (h_sum + c.lambda + 1e-6);
  return out;
}

void expect_near_reference(const core::LinearLeaf& leaf, const Reference& expected, const FitCase& c) {
  ASSERT_EQ(leaf.coefficients.size(), c.terms.size());
  EXPECT_EQ(leaf.feature_indices, c.terms);
  for (std::size_t j = 0; j < c.terms.size(); ++j) {
    EXPECT_NEAR(leaf.coefficients[j], expected.coefficients[j], 1e-4 + 1e-3 * std::fabs(expected.coefficients[j]))
        << "term " << j;
  }
  EXPECT_NEAR(leaf.intercept, expected.intercept, 1e-4 + 1e-4 * std::fabs(expected.intercept));
}

// The float32 Cholesky fit of both children against an independent float64 re-computation,
// over the ways rows reach a side: the threshold, the missing bin on either side, the missing
// bin 0 (no bin below it) and bins past the missing bin (in neither model), with up to eight
// terms including one past the raw columns (z = 0: only the ridge term keeps it solvable), and
// NaN raw values spread over every column, which contribute nothing for their term.
TEST(LinearLeaves, MatchAFloat64LeastSquaresSolve) {
  std::vector<FitCase> cases;
  cases.push_back({});
  FitCase right_missing;
  right_missing.default_left = false;
  cases.push_back(right_missing);
  FitCase missing_zero;
  missing_zero.missing_bin = 0;
  missing_zero.threshold = 3;
  cases.push_back(missing_zero);
  FitCase missing_inside;
  missing_inside.max_bin = 9;
  missing_inside.missing_bin = 4;
  missing_inside.default_left = false;
  cases.push_back(missing_inside);
  FitCase eight_terms;
  eight_terms.raw_features = 8;
  eight_terms.terms = {0, 1, 2, 3, 4, 5, 6, 7};
  eight_terms.scale = 1.0f;
  cases.push_back(eight_terms);
  FitCase outside_term;
  outside_term.terms = {4, 9, 0};
  cases.push_back(outside_term);
  FitCase nan_values;
  nan_values.nan_values = true;
  cases.push_back(nan_values);
  std::mt19937 rng(7);
  for (const FitCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "missing " << c.missing_bin << " threshold " << c.threshold << " terms "
                                      << c.terms.size() << " default_left " << c.default_left);
    FitData data = make_fit_data(c, 300, rng);
    for (std::size_t r = 0; c.nan_values && r < 300; ++r) {
      if (r % 7 < c.raw_features) data.raw[r * c.raw_features + r % 7] = std::nanf("");
    }
    const auto pair = fit(c, data);
    ASSERT_TRUE(pair.has_value());
    expect_near_reference(pair->first, reference_side(c, data, true), c);
    expect_near_reference(pair->second, reference_side(c, data, false), c);
  }
}

// A NaN raw value contributes nothing for its term, exactly as when the model is evaluated: the
// fit equals, bit for bit, the fit with that value replaced by 0; the other rows of its bin keep
// their weight.
TEST(LinearLeaves, NanRawValueActsAsAZeroTerm) {
  const FitCase c;
  std::mt19937 rng(11);
  FitData with_nan = make_fit_data(c, 120, rng);
  FitData with_zero = with_nan;
  for (std::size_t r = 0; r < 120; r += 7) {
    with_nan.raw[r * c.raw_features + 1] = std::nanf("");
    with_zero.raw[r * c.raw_features + 1] = 0.0f;
  }
  const auto nan_fit = fit(c, with_nan);
  ASSERT_TRUE(nan_fit.has_value());
  EXPECT_EQ(nan_fit, fit(c, with_zero));
  for (const float coefficient : nan_fit->first.coefficients) EXPECT_TRUE(std::isfinite(coefficient));
  expect_near_reference(nan_fit->first, reference_side(c, with_nan, true), c);
}

// A term whose column is 0 on every row of a child gives a zero pivot without ridge: that child
// keeps zero slopes and its Newton intercept (with ridge, the outside-term case above solves).
TEST(LinearLeaves, ZeroColumnWithoutRidgeGivesZeroSlopes) {
  FitCase c;
  c.lambda = 0.0f;
  c.scale = 1.0f;
  std::mt19937 rng(3);
  FitData data = make_fit_data(c, 80, rng);
  for (std::size_t r = 0; r < 80; ++r) data.raw[r * c.raw_features + 2] = 0.0f;
  const auto pair = fit(c, data);
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->first.coefficients, std::vector<float>(3, 0.0f));
  const double intercept = reference_side(c, data, true).intercept;
  EXPECT_NEAR(pair->first.intercept, intercept, 1e-4 + 1e-4 * std::fabs(intercept));
}

// Inputs the fit cannot use give no pair (the grower keeps constant leaves); none of them fails.
TEST(LinearLeaves, UnusableInputGivesNoPair) {
  const FitCase base;
  std::mt19937 rng(5);
  const FitData data = make_fit_data(base, 20, rng);
  struct Row {
    const char* name;
    void (*change)(engine::LinearLeafPairRequest&, std::vector<std::uint32_t>&);
  };
  const Row rows[] = {
      {"no terms", [](auto& r, auto&) { r.term_feature_indices = {}; }},
      {"nine terms",
       [](auto& r, auto& storage) {
         storage.assign(9, 0);
         r.term_feature_indices = storage;
       }},
      {"no raw columns", [](auto& r, auto&) { r.raw_feature_count = 0; }},
      {"split feature outside the matrix", [](auto& r, auto&) { r.split_feature_index = 2; }},
      {"row past the gradients",
       [](auto& r, auto& storage) {
         storage = {0, 20};
         r.right_rows = storage;
       }},
      {"row past the raw values", [](auto& r, auto&) { r.raw_values = r.raw_values.first(19 * 5 + 4); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    engine::LinearLeafPairRequest request = request_of(base, data);
    std::vector<std::uint32_t> storage;
    row.change(request, storage);
    EXPECT_FALSE(CpuBackend().compute_linear_leaf_pair_from_partitions(data.binned, data.gradients, request));
  }
  // A code past every bin of the matrix gives no pair either.
  core::BinnedMatrix stray_code = data.binned;
  std::vector<std::uint16_t> codes(40, 0);
  codes[2 * data.right_rows.front()] = 200;
  stray_code.bins = core::BinStorage(codes);
  EXPECT_FALSE(
      CpuBackend().compute_linear_leaf_pair_from_partitions(stray_code, data.gradients, request_of(base, data)));
  // A row whose bin cell lies outside the codes is a broken matrix, not bad input.
  core::BinnedMatrix short_codes = data.binned;
  short_codes.bins = core::BinStorage(std::vector<std::uint16_t>(10, 0));
  EXPECT_THROW(CpuBackend().compute_linear_leaf_pair_from_partitions(short_codes, data.gradients,
                                                                     request_of(base, data)),
               support::Panic);
}

}  // namespace
}  // namespace kestrune::backend_cpu
