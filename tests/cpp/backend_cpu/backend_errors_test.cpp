// Contract faults the backend reports to its callers, each with its kind and exact message, the
// first fault found in the order the checks run; and rows outside the data that only the
// unchecked entries meet, which panic.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "backend_cpu/factor_penalty.hpp"
#include "backend_cpu/histogram.hpp"
#include "backend_cpu/partition.hpp"
#include "backend_cpu/split_search.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using engine::EngineErrorKind;
using Tiles = std::vector<core::FeatureTile>;

TEST(BackendErrors, FirstFaultInCheckOrder) {
  const core::BinnedMatrix ten_rows = core::BinnedMatrix::make(10, 8, 255, std::vector<std::uint8_t>(80, 1));
  const std::vector<core::GradientPair> ten(10, core::GradientPair{1.0f, 1.0f});
  const std::vector<core::GradientPair> nine(9, core::GradientPair{1.0f, 1.0f});
  const core::NodeSlice node = core::NodeSlice::make(0, {0, 1, 2});
  const core::NodeSlice past_ten = core::NodeSlice::make(0, {2, 10});
  engine::SplitCandidate feature_8;  // past the matrix's features
  feature_8.feature_index = 8;
  // The factor context: two rows, one feature; the search validates it before any histogram.
  const core::BinnedMatrix two_rows = core::BinnedMatrix::make(2, 1, 1, {0, 1});
  const std::vector<std::uint32_t> rows = {0, 1}, past_end = {0, 2, 7};
  const core::FactorExposureMatrix good{{1.0f, 2.0f}, 2, 1}, three_rows{{1.0f, 2.0f, 3.0f}, 3, 1};
  const core::HistogramBundle bundle{{core::FeatureHistogram{{{-2.0f, 1.0f, 4.0f, 1}, {3.0f, 1.0f, 9.0f, 1}}, 0}}, 0};
  const auto search = [&](const core::FactorExposureMatrix& exposures, std::span<const std::uint32_t> node_rows,
                          float penalty) {
    return [&, node_rows, penalty] {
      const engine::FactorSplitContext context{two_rows, exposures, node_rows, penalty};
      best_split_with_factor_context(bundle, {}, {}, {}, &context);
    };
  };
  constexpr auto kContract = EngineErrorKind::ContractViolation;
  const std::string bad_penalty = "factor split penalty must be finite and >= 0";
  const struct {
    std::function<void()> body;
    std::optional<EngineErrorKind> kind;  // none: a panic whose message holds the text
    std::string text;
  } cases[] = {
      {[&] { build_histograms(ten_rows, nine, node, {}); }, kContract, "gradients length 9 does not match row_count 10"},
      {[&] { build_histograms(ten_rows, ten, node, {}); }, kContract, "feature_tiles cannot be empty"},
      {[&] { build_histograms(ten_rows, ten, past_ten, Tiles{{0, 8}}); }, EngineErrorKind::Core,
       "validation error: row index 10 is out of bounds for row_count 10"},
      {[&] { build_histograms(ten_rows, ten, node, Tiles{{0, 2}, {2, 9}}); }, kContract,
       "feature tile end 9 exceeds feature_count 8"},
      {[&] { apply_split_with_stats(ten_rows, nine, past_ten, feature_8); }, EngineErrorKind::Core,
       "validation error: row index 10 is out of bounds for row_count 10"},
      {[&] { apply_split_with_stats(ten_rows, nine, node, feature_8); }, kContract,
       "gradients length 9 does not match row_count 10"},
      {[&] { apply_split_with_stats(ten_rows, ten, node, feature_8); }, kContract,
       "split feature_index 8 exceeds feature_count 8"},
      {[&] { partition_rows(ten_rows, ten, past_ten.row_indices, {}, 0); }, std::nullopt, "partition row 10"},
      {[&] { partition_rows(ten_rows, ten, past_ten.row_indices, {}, 1); }, std::nullopt, "partition row 10"},
      {search(good, past_end, std::nanf("")), kContract, bad_penalty},
      {search(good, rows, std::numeric_limits<float>::infinity()), kContract, bad_penalty},
      {search(good, rows, -1e-30f), kContract, bad_penalty},
      {search(three_rows, rows, 1.0f), kContract, "factor_exposures row_count 3 does not match binned matrix row_count 2"},
      {search(good, past_end, 1.0f), kContract, "factor split context row index 2 is out of bounds for row_count 2"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_TRUE(test::fails_with(cases[i].body, cases[i].kind, cases[i].text)) << "case " << i;
  }
  EXPECT_NO_THROW(search(good, rows, -0.0f)());
}

}  // namespace
}  // namespace kestrune::backend_cpu
