#include "backend_cpu/linear_leaves.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

// A fit's inputs: wide bin codes of one split feature beside `raw_features` raw columns.
struct FitCase {
  std::uint16_t max_bin = 6, missing_bin = 7, threshold = 2;
  bool default_left = true;
  float lambda = 0.5f, scale = 0.3f;
  std::size_t raw_features = 5;
  std::vector<std::uint32_t> terms{0, 1, 2};
  bool nan_values = false;  // NaN in raw column r % 7 of row r
};

struct FitData {
  core::BinnedMatrix binned;
  std::vector<core::GradientPair> gradients;
  std::vector<float> raw;
  std::vector<std::uint32_t> left_rows, right_rows;
};

// Rows with bins 0 ..= max(max_bin, missing_bin) on feature 0 of a two-feature matrix, raw values
// in [-1, 1], gradients in [-1, 1] and hessians in [0.5, 1.5]. The rows are spread over the two
// lists at random: the fit reads a row's side from its bin alone.
FitData make_fit_data(const FitCase& c, std::size_t rows, std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  FitData data;
  std::vector<std::uint16_t> codes(rows * 2, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    codes[r * 2] = static_cast<std::uint16_t>(rng() % (std::max(c.max_bin, c.missing_bin) + 1u));
    data.gradients.push_back({unit(rng), 1.0f + 0.5f * unit(rng)});
    for (std::size_t f = 0; f < c.raw_features; ++f) data.raw.push_back(c.nan_values && f == r % 7 ? NAN : unit(rng));
    (rng() % 2 == 0 ? data.left_rows : data.right_rows).push_back(static_cast<std::uint32_t>(r));
  }
  data.binned = core::BinnedMatrix::make_u16(rows, 2, c.max_bin, c.missing_bin, codes);
  return data;
}

engine::LinearLeafPairRequest request_of(const FitCase& c, const FitData& data) {
  return {c.scale, c.lambda, data.raw, c.raw_features, 0, c.threshold, c.default_left, c.terms, data.left_rows,
          data.right_rows};
}

// The float64 ridge model of the rows on one side, {coefficients..., intercept}: the normal
// equations (sum h z z^T + lambda I) x = -sum g z solved by Gauss-Jordan elimination with
// partial pivoting.
std::vector<double> reference_side(const FitCase& c, const FitData& data, bool left) {
  const std::size_t k = c.terms.size();
  std::vector<std::vector<double>> a(k, std::vector<double>(k + 1, 0.0));
  double g_sum = 0.0, h_sum = 0.0;
  for (std::size_t r = 0; r < data.gradients.size(); ++r) {
    const std::uint16_t bin = data.binned.bins.at(r * 2);
    if (bin > c.missing_bin) continue;  // bins past the missing bin feed neither model
    if ((bin == c.missing_bin ? c.default_left : bin <= c.threshold) != left) continue;
    const double g = data.gradients[r].grad, h = data.gradients[r].hess;
    g_sum += g;
    h_sum += h;
    std::vector<double> z(k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
      if (c.terms[j] < c.raw_features) z[j] = data.raw[r * c.raw_features + c.terms[j]];
      if (std::isnan(z[j])) z[j] = 0.0;
    }
    for (std::size_t j = 0; j < k; ++j) {
      for (std::size_t m = 0; m < k; ++m) a[j][m] += h * z[j] * z[m];
      a[j][k] -= g * z[j];
    }
  }
  for (std::size_t col = 0; col < k; ++col) a[col][col] += c.lambda;
  for (std::size_t col = 0; col < k; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < k; ++r) pivot = std::fabs(a[r][col]) > std::fabs(a[pivot][col]) ? r : pivot;
    std::swap(a[col], a[pivot]);
    for (std::size_t r = 0; r < k; ++r) {
      const double factor = r == col ? 0.0 : a[r][col] / a[col][col];
      for (std::size_t m = col; m <= k; ++m) a[r][m] -= factor * a[col][m];
    }
  }
  std::vector<double> out;
  for (std::size_t j = 0; j < k; ++j) out.push_back(a[j][k] / a[j][j] * c.scale);
  out.push_back(-(c.scale * g_sum) / (h_sum + c.lambda + 1e-6));
  return out;
}

// The float32 Cholesky fit of both children against an independent float64 re-computation,
// over the ways rows reach a side: the threshold, the missing bin on either side, the missing
// bin 0 (no bin below it) and bins past the missing bin (in neither model), with up to eight
// terms including one past the raw columns (z = 0: only the ridge term keeps it solvable), and
// NaN raw values, which contribute nothing for their term (as when the model is evaluated).
TEST(LinearLeaves, MatchAFloat64LeastSquaresSolve) {
  const FitCase cases[] = {{}, {.default_left = false}, {.missing_bin = 0, .threshold = 3},
                           {.max_bin = 9, .missing_bin = 4, .default_left = false},
                           {.scale = 1.0f, .raw_features = 8, .terms = {0, 1, 2, 3, 4, 5, 6, 7}},
                           {.terms = {4, 9, 0}}, {.nan_values = true}};
  std::mt19937 rng(7);
  for (const FitCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "missing " << c.missing_bin << " threshold " << c.threshold << " terms "
                                      << c.terms.size() << " default_left " << c.default_left);
    const FitData data = make_fit_data(c, 300, rng);
    const auto pair =
        CpuBackend().compute_linear_leaf_pair_from_partitions(data.binned, data.gradients, request_of(c, data));
    ASSERT_TRUE(pair.has_value());
    for (const bool left : {true, false}) {
      const core::LinearLeaf& leaf = left ? pair->first : pair->second;
      const std::vector<double> expected = reference_side(c, data, left);
      ASSERT_EQ(leaf.coefficients.size(), c.terms.size());
      EXPECT_EQ(leaf.feature_indices, c.terms);
      for (std::size_t j = 0; j < c.terms.size(); ++j) {
        EXPECT_NEAR(leaf.coefficients[j], expected[j], 1e-4 + 1e-3 * std::fabs(expected[j])) << "term " << j;
      }
      EXPECT_NEAR(leaf.intercept, expected.back(), 1e-4 + 1e-4 * std::fabs(expected.back()));
    }
  }
}

// Inputs the fit cannot use give no pair (the grower keeps constant leaves); none of them fails.
// A row whose bin cell lies outside the codes is a broken matrix, not bad input: it panics.
TEST(LinearLeaves, UnusableInputGivesNoPair) {
  const FitCase base;
  std::mt19937 rng(5);
  const FitData data = make_fit_data(base, 20, rng);
  const std::vector<std::uint32_t> nine_terms(9, 0);
  const std::vector<std::uint32_t> past_the_gradients{0, 20};
  std::vector<std::uint16_t> stray(40, 0);
  stray[2 * data.right_rows.front()] = 200;  // a code past every bin of the matrix
  for (int fault = 0; fault < 8; ++fault) {
    engine::LinearLeafPairRequest r = request_of(base, data);
    core::BinnedMatrix binned = data.binned;
    if (fault == 0) r.term_feature_indices = {};
    if (fault == 1) r.term_feature_indices = nine_terms;
    if (fault == 2) r.raw_feature_count = 0;
    if (fault == 3) r.split_feature_index = 2;  // outside the matrix
    if (fault == 4) r.right_rows = past_the_gradients;
    if (fault == 5) r.raw_values = r.raw_values.first(19 * 5 + 4);  // the last row's values cut short
    if (fault == 6) binned.bins = core::BinStorage(stray);
    if (fault == 7) binned.bins = core::BinStorage(std::vector<std::uint16_t>(10, 0));
    const auto call = [&] { return CpuBackend().compute_linear_leaf_pair_from_partitions(binned, data.gradients, r); };
    EXPECT_TRUE(fault == 7 ? test::panics_with(call, "") : ::testing::AssertionResult(!call())) << fault;
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu
