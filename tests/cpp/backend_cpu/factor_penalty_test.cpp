#include "backend_cpu/factor_penalty.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "backend_cpu/categorical_split.hpp"
#include "backend_cpu/morph_gain.hpp"
#include "backend_cpu/split_search.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::BinnedMatrix;
using core::FactorExposureMatrix;
using engine::EngineErrorKind;
using engine::FactorSplitContext;

// The penalty straight from its definition in float64: each row's value (v_L or v_R, by the
// partition's routing rule) times its exposures, summed per factor, squared and scaled.
double reference_penalty(const BinnedMatrix& binned, const FactorExposureMatrix& exposures,
                         std::span<const std::uint32_t> rows, float lambda, std::uint32_t feature,
                         const FactorPenaltyCandidate& c) {
  const std::size_t k = exposures.factor_count;
  std::vector<double> sums(k, 0.0);
  for (const std::uint32_t r : rows) {
    const std::uint16_t bin = binned.bins.at(r * binned.feature_count + feature);
    bool left = bin <= c.threshold_bin;
    if (bin == binned.missing_bin) {
      left = c.default_left;
    } else if (c.category_bitset) {
      left = bin / 8 < c.category_bitset->size() && (((*c.category_bitset)[bin / 8] >> (bin % 8)) & 1) != 0;
    }
    const double value = left ? c.left_value : c.right_value;
    for (std::size_t j = 0; j < k; ++j) sums[j] += value * exposures.values[r * k + j];
  }
  double total = 0.0;
  for (const double s : sums) total += s * s;
  return lambda * total / static_cast<double>(std::max<std::size_t>(rows.size(), 1));
}

// The numeric route's penalty of threshold t: a scratch prepared for the feature with the prefix
// advanced through bin t.
float prefix_penalty(const FactorSplitContext& context, std::uint32_t feature, std::size_t bin_count,
                     const FactorPenaltyCandidate& c) {
  FactorSplitScratch scratch(context.exposures.factor_count);
  scratch.prepare_numeric_prefix(context, feature, bin_count, context.binned.missing_bin);
  for (std::size_t t = 0; t <= c.threshold_bin; ++t) scratch.advance_numeric_prefix(t);
  return scratch.numeric_prefix_penalty(c.default_left, context.row_indices.size(), c.left_value, c.right_value,
                                        context.penalty);
}

TEST(FactorPenalty, OneFactorCasesMatchTheDefinition) {
  // Two rows, one feature, one factor: row 0 in bin 0 with exposure 1, row 1 with exposure 3.
  struct Case {
    const char* name;
    std::uint8_t row1_bin;
    float left_value, right_value, lambda;
    bool default_left;
    float expected;
  };
  const Case cases[] = {
      {"both left", 0, 0.5f, -0.5f, 2.0f, false, 4.0f},               // 2 x (0.5 x 4)^2 / 2
      {"one each side", 1, 1.0f, 1.0f, 2.0f, false, 16.0f},           // 2 x (1 + 3)^2 / 2
      {"sides cancel", 1, 3.0f, -1.0f, 2.0f, false, 0.0f},            // 3 x 1 - 1 x 3 = 0
      {"missing row left", 255, 1.0f, -1.0f, 2.0f, true, 16.0f},      // both rows left
      {"missing row right", 255, 1.0f, -1.0f, 2.0f, false, 4.0f},     // 1 - 3 = -2
      {"zero strength", 1, 1.0f, 1.0f, 0.0f, false, 0.0f},
      {"negative zero strength", 1, 1.0f, 1.0f, -0.0f, false, 0.0f},
  };
  const FactorExposureMatrix exposures = FactorExposureMatrix::make(2, 1, {1.0f, 3.0f});
  const std::vector<std::uint32_t> rows = {0, 1};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BinnedMatrix binned = BinnedMatrix::make(2, 1, 1, {0, c.row1_bin});
    const FactorSplitContext context{binned, exposures, rows, c.lambda};
    const FactorPenaltyCandidate candidate{std::nullopt, 0, c.left_value, c.right_value, 0, c.default_left};
    EXPECT_EQ(reference_penalty(binned, exposures, rows, c.lambda, 0, candidate), c.expected);
    FactorSplitScratch scratch(1);
    EXPECT_EQ(factor_split_penalty_for_candidate(context, scratch, candidate), c.expected);
    EXPECT_EQ(prefix_penalty(context, 0, 2, candidate), c.expected);
  }
}

// Random matrices of both widths, shuffled node rows with missing cells, three factors: both routes
// agree with the float64 definition for every threshold and side, and the candidate route also
// for category sets, one of which is shorter than the codes it meets. The 16-bit matrix has its
// missing bin (10) below codes that are never thresholds but whose rows go right.
TEST(FactorPenalty, BothRoutesMatchTheFloat64Definition) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const bool wide : {false, true}) {
    const std::uint16_t missing = wide ? 10 : 255;
    const test::MatrixShape shape{300, 3, 20, missing, wide, true, 0.15};
    const BinnedMatrix binned = test::random_matrix(shape, rng);
    std::vector<float> values(shape.rows * 3);
    for (float& v : values) v = normal(rng);
    const FactorExposureMatrix exposures = FactorExposureMatrix::make(shape.rows, 3, values);
    const std::vector<std::uint32_t> rows = test::random_rows(shape.rows, 200, true, rng);
    const FactorSplitContext context{binned, exposures, rows, 0.75f};
    const float v_l = normal(rng);
    const float v_r = normal(rng);
    const std::vector<std::uint8_t> long_set = {0xA5, 0x0F, 0x13};
    const std::vector<std::uint8_t> short_set = {0xFF};
    for (std::uint32_t feature = 0; feature < 3; ++feature) {
      FactorSplitScratch scratch(3);
      const std::uint16_t limit = std::min<std::uint16_t>(missing, 21);
      // As the scan uses it: one prefix advanced threshold by threshold and read at each, which
      // must give what a prefix prepared afresh for that threshold gives.
      FactorSplitScratch running(3);
      running.prepare_numeric_prefix(context, feature, limit, missing);
      for (std::uint16_t t = 0; t < limit; ++t) {
        running.advance_numeric_prefix(t);
        for (const bool default_left : {true, false}) {
          const FactorPenaltyCandidate c{std::nullopt, feature, v_l, v_r, t, default_left};
          const double reference = reference_penalty(binned, exposures, rows, context.penalty, feature, c);
          EXPECT_NEAR(prefix_penalty(context, feature, limit, c), reference, 1e-4 * (1.0 + reference)) << t;
          EXPECT_TRUE(test::same_bits(running.numeric_prefix_penalty(default_left, rows.size(), v_l, v_r, context.penalty),
                                      prefix_penalty(context, feature, limit, c)))
              << t;
          EXPECT_NEAR(factor_split_penalty_for_candidate(context, scratch, c), reference, 1e-4 * (1.0 + reference));
        }
      }
      for (const std::span<const std::uint8_t> set : {std::span(long_set), std::span(short_set)}) {
        const FactorPenaltyCandidate c{set, feature, v_l, v_r, 0, true};
        const double reference = reference_penalty(binned, exposures, rows, context.penalty, feature, c);
        EXPECT_NEAR(factor_split_penalty_for_candidate(context, scratch, c), reference, 1e-4 * (1.0 + reference));
      }
    }
  }
}

// Feature 0 separates the gradients best but lines up with the one factor; feature 1 separates
// them a little less, independently of it. Without a penalty feature 0 wins; a strong penalty
// hands the split to feature 1, numeric or categorical alike, and the winner's gain is its plain
// gain less the float64 penalty of its own split.
TEST(FactorPenalty, SearchesSubtractThePenaltyOfTheirSplit) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> code(0, 15);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  constexpr std::size_t kRows = 400;
  std::vector<std::uint8_t> bins(kRows * 2);
  std::vector<float> values(kRows);
  std::vector<core::GradientPair> gradients(kRows);
  for (std::size_t r = 0; r < kRows; ++r) {
    bins[2 * r] = static_cast<std::uint8_t>(code(rng));
    bins[2 * r + 1] = static_cast<std::uint8_t>(code(rng));
    if (r % 17 == 0) bins[2 * r + 1] = 255;
    const float high0 = bins[2 * r] >= 8 ? 1.0f : -1.0f;
    const float high1 = bins[2 * r + 1] >= 8 && bins[2 * r + 1] != 255 ? 1.0f : -1.0f;
    values[r] = high0 + noise(rng);
    gradients[r] = {-(high0 + 0.8f * high1) + noise(rng), 1.0f};
  }
  const BinnedMatrix binned = BinnedMatrix::make(kRows, 2, 15, bins);
  const FactorExposureMatrix exposures = FactorExposureMatrix::make(kRows, 1, values);
  const std::vector<std::uint32_t> rows = test::random_rows(kRows, kRows, true, rng);
  const core::HistogramBundle bundle{{test::naive_histogram(binned, gradients, rows, 0, 256),
                                      test::naive_histogram(binned, gradients, rows, 1, 256)},
                                     0};
  engine::SplitSelectionOptions options;
  options.split_l2 = 1.0f;
  const std::vector<engine::CategoricalFeature> categorical = {{0, 16}, {1, 16}};
  for (const bool sets : {false, true}) {
    SCOPED_TRACE(sets ? "categorical" : "numeric");
    const auto listed = sets ? std::span(categorical) : std::span<const engine::CategoricalFeature>();
    const auto plain = best_split_with_factor_context(bundle, options, {}, listed, nullptr);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->feature_index, 0u);
    const FactorSplitContext context{binned, exposures, rows, 5.0f};
    const auto penalised = best_split_with_factor_context(bundle, options, {}, listed, &context);
    ASSERT_TRUE(penalised.has_value());
    EXPECT_EQ(penalised->feature_index, 1u);
    EXPECT_EQ(penalised->is_categorical, sets);

    auto term = [&](const core::HistogramBin& b) {
      return static_cast<double>(b.grad_sum) * b.grad_sum / (static_cast<double>(b.hess_sum) + options.split_l2);
    };
    auto value = [&](const core::HistogramBin& b) { return -b.grad_sum / ((options.split_l2 + b.hess_sum) + 1e-6f); };
    const core::HistogramBin& l = penalised->left_stats;
    const core::HistogramBin& r = penalised->right_stats;
    const core::HistogramBin parent{l.grad_sum + r.grad_sum, l.hess_sum + r.hess_sum, 0.0f, l.count + r.count};
    const FactorPenaltyCandidate split{
        penalised->category_bitset ? std::optional<std::span<const std::uint8_t>>(*penalised->category_bitset)
                                   : std::nullopt,
        1, value(l), value(r), penalised->threshold_bin, penalised->default_left};
    const double penalty = reference_penalty(binned, exposures, rows, context.penalty, 1, split);
    EXPECT_GT(penalty, 0.0);
    EXPECT_NEAR(penalised->gain, term(l) + term(r) - term(parent) - penalty, 1e-3 * (1.0 + penalty));

    // The morph search subtracts the same penalty from its own gain.
    engine::MorphContext morph;
    morph.precomputed = {0.5f, 0.7f, 0.3f, false, true, false};
    morph.iteration = 5;
    morph.total_iterations = 10;
    const auto morphed = best_split_morph_with_factor_context(bundle, options, {}, listed, morph, &context);
    ASSERT_TRUE(morphed.has_value());
    const FactorPenaltyCandidate morph_split{
        morphed->category_bitset ? std::optional<std::span<const std::uint8_t>>(*morphed->category_bitset)
                                 : std::nullopt,
        morphed->feature_index, value(morphed->left_stats), value(morphed->right_stats), morphed->threshold_bin,
        morphed->default_left};
    const double morph_penalty =
        reference_penalty(binned, exposures, rows, context.penalty, morphed->feature_index, morph_split);
    const std::optional<float> morph_gain = morph_candidate_gain(morphed->left_stats, morphed->right_stats, options, morph);
    ASSERT_TRUE(morph_gain.has_value());
    EXPECT_NEAR(morphed->gain, *morph_gain - morph_penalty, 1e-3 * (1.0 + morph_penalty));
  }
}

TEST(FactorPenalty, ValidationReportsTheFirstFault) {
  const BinnedMatrix binned = BinnedMatrix::make(2, 1, 1, {0, 1});
  const std::vector<std::uint32_t> rows = {0, 1};
  const FactorExposureMatrix good{{1.0f, 2.0f}, 2, 1};
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<std::uint32_t> past_end = {0, 2, 7};
  struct Case {
    FactorExposureMatrix exposures;
    float lambda;
    std::span<const std::uint32_t> rows;
    const char* message;  // nullptr: passes
  };
  const Case cases[] = {
      {good, -0.0f, rows, nullptr},
      {good, std::nanf(""), rows, "factor split penalty must be finite and >= 0"},
      {good, kInf, rows, "factor split penalty must be finite and >= 0"},
      {good, -1e-30f, rows, "factor split penalty must be finite and >= 0"},
      // The strength is judged before the rows.
      {good, std::nanf(""), past_end, "factor split penalty must be finite and >= 0"},
      {{{}, 2, 0}, 1.0f, rows, "factor_exposures factor_count must be greater than 0"},
      {{{}, std::numeric_limits<std::size_t>::max(), 2}, 1.0f, rows,
       "factor_exposures row_count * factor_count overflow"},
      {{{1.0f}, 2, 1}, 1.0f, rows, "factor_exposures values length 1 does not match row_count * factor_count 2"},
      // A NaN is found before the row counts are compared.
      {{{1.0f, std::nanf(""), 3.0f}, 3, 1}, 1.0f, rows, "factor_exposures must contain only finite values"},
      {{{1.0f, 2.0f, 3.0f}, 3, 1}, 1.0f, rows, "factor_exposures row_count 3 does not match binned matrix row_count 2"},
      {good, 1.0f, past_end, "factor split context row index 2 is out of bounds for row_count 2"},
  };
  for (const Case& c : cases) {
    const FactorSplitContext context{binned, c.exposures, c.rows, c.lambda};
    if (c.message == nullptr) {
      EXPECT_NO_THROW(validate_factor_split_context(context));
    } else {
      EXPECT_TRUE(test::throws_engine_error([&] { validate_factor_split_context(context); },
                                            EngineErrorKind::ContractViolation, c.message));
    }
  }
  // The search validates before it looks at any histogram.
  const FactorSplitContext bad{binned, good, past_end, 1.0f};
  const core::HistogramBundle bundle{{core::FeatureHistogram{{{-2.0f, 1.0f, 4.0f, 1}, {3.0f, 1.0f, 9.0f, 1}}, 0}}, 0};
  EXPECT_TRUE(test::throws_engine_error([&] { best_split_with_factor_context(bundle, {}, {}, {}, &bad); },
                                        EngineErrorKind::ContractViolation,
                                        "factor split context row index 2 is out of bounds for row_count 2"));
}

}  // namespace
}  // namespace kestrune::backend_cpu
