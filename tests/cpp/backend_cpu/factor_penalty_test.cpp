#include "backend_cpu/factor_penalty.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <span>
#include <vector>

#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::BinnedMatrix;
using core::FactorExposureMatrix;
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
    const bool in_set = c.category_bitset && bin / 8 < c.category_bitset->size() &&
                        (((*c.category_bitset)[bin / 8] >> (bin % 8)) & 1) != 0;
    const bool left = bin == binned.missing_bin ? c.default_left : c.category_bitset ? in_set : bin <= c.threshold_bin;
    const double value = left ? c.left_value : c.right_value;
    for (std::size_t j = 0; j < k; ++j) sums[j] += value * exposures.values[r * k + j];
  }
  double total = 0.0;
  for (const double s : sums) total += s * s;
  return lambda * total / static_cast<double>(std::max<std::size_t>(rows.size(), 1));
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
      // The numeric route advances a prefix through the thresholds; the candidate route scores
      // each split on its own.
      FactorSplitScratch prefix(3), scratch(3);
      const std::uint16_t limit = std::min<std::uint16_t>(missing, 21);
      prefix.prepare_numeric_prefix(context, feature, limit, missing);
      for (std::uint16_t t = 0; t < limit; ++t) {
        prefix.advance_numeric_prefix(t);
        for (const bool default_left : {true, false}) {
          const FactorPenaltyCandidate c{std::nullopt, feature, v_l, v_r, t, default_left};
          const double reference = reference_penalty(binned, exposures, rows, context.penalty, feature, c);
          EXPECT_NEAR(prefix.numeric_prefix_penalty(default_left, rows.size(), v_l, v_r, context.penalty), reference,
                      1e-4 * (1.0 + reference)) << t;
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

}  // namespace
}  // namespace kestrune::backend_cpu
