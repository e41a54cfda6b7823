#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "core/binned.hpp"
#include "core/neutralization.hpp"
#include "engine/joint/bin_codes.hpp"
#include "engine/joint/factor_sums.hpp"
#include "engine/joint/row_selection.hpp"
#include "engine/joint/tree_walk.hpp"
#include "engine/sampling.hpp"

namespace kestrune::engine::joint {
namespace {

using Predictions = std::vector<std::vector<float>>;

TrainedStump stump(std::uint32_t id, std::uint16_t split_bin, bool default_left, std::vector<float> left,
                   std::vector<float> right) {
  TrainedStump s;
  s.node_id = id;
  s.feature_index = id & 1u;  // the root splits feature 0, its left child feature 1
  s.split_bin = split_bin;
  s.default_left = default_left;
  s.multi_output = MultiOutputValues{std::move(left), std::move(right)};
  return s;
}

TEST(JointTreeWalk, RoutesEachRowAndAddsItsLeafVector) {
  // Rows (bin of f0, bin of f1); 255 is the missing bin of an 8-bit matrix.
  const core::BinnedMatrix binned = core::BinnedMatrix::make(5, 2, 254, {3, 0, 4, 5, 255, 70, 3, 255, 0, 1});
  TrainedStump categorical = stump((7u << 20) | 1u, 0, false, {10.0f, 20.0f}, {30.0f, 40.0f});
  categorical.categorical = true;
  categorical.category_bitset = std::vector<std::uint8_t>{0x01, 0x00};  // category 0 goes left
  const std::vector<TrainedStump> tree = {stump(7u << 20, 3, true, {1.0f, 2.0f}, {-1.0f, -2.0f}), categorical};

  Predictions predictions = {{0.5f, 1.5f, -2.0f, 0.25f, 3.0f}, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}};
  const Predictions start = predictions;
  walk_tree_into_predictions(tree, binned, 2, 5, 2, predictions, 2.0f, 0.5f);
  // Row 0: bin 3 at split bin 3 goes left, category 0 left. Row 1: right. Row 2: missing goes
  // left, category 70 right. Row 3: a missing category takes the default (right). Row 4: category
  // 1 is not in the set.
  const Predictions leaf = {{10, 20}, {-1, -2}, {30, 40}, {30, 40}, {30, 40}};
  for (std::size_t r = 0; r < 5; ++r) {
    for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(predictions[k][r], start[k][r] + leaf[r][k]) << r << k;
  }
  // Scale -1 at the same weight takes the tree out again; a tree without a root adds nothing.
  walk_tree_into_predictions(tree, binned, 2, 5, 2, predictions, -2.0f, 0.5f);
  walk_tree_into_predictions(std::vector<TrainedStump>{categorical}, binned, 2, 5, 2, predictions, 1.0f, 1.0f);
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t r = 0; r < 5; ++r) EXPECT_NEAR(predictions[k][r], start[k][r], 1e-6f);
  }
}

TEST(JointTreeWalk, SixteenBitMatricesAreReadThroughTheirRealCodes) {
  // Bins above 255 stay distinct from each other and from the missing bin 1001.
  const core::BinnedMatrix binned = core::BinnedMatrix::make_u16(4, 1, 1000, 1001, {300, 400, 1001, 255});
  Predictions predictions = {{0.0f, 0.0f, 0.0f, 0.0f}};
  walk_tree_into_predictions(std::vector<TrainedStump>{stump(0, 350, false, {1.0f}, {2.0f})}, binned, 1, 4, 1,
                             predictions, 1.0f, 1.0f);
  EXPECT_EQ(predictions[0], (std::vector<float>{1.0f, 2.0f, 2.0f, 1.0f}));
  EXPECT_EQ(joint_histogram_bin_count(binned), 1002u);  // bins 0..1000 and the missing bin
  EXPECT_EQ(joint_threshold_count(binned), 1000u);
  EXPECT_EQ(joint_threshold_count(core::BinnedMatrix::make(1, 1, 255, {0})), 254u);

  const auto exposures = core::FactorExposureMatrix::make(4, 1, {1.0f, 2.0f, 4.0f, 8.0f});
  const auto sums = accumulate_factor_sums_for_threshold(binned, exposures, std::vector<std::uint32_t>{0, 1, 2, 3},
                                                         0, 350, false, 0);
  EXPECT_EQ(sums, std::make_pair(std::vector<float>{9.0f}, std::vector<float>{2.0f}));  // missing in neither
}

// Both storages: 16-bit codes above 255 stay distinct from each other and from the missing code.
TEST(JointFactorSums, MatchABruteForceSplitOfTheRows) {
  std::vector<float> values;
  for (int r = 0; r < 8; ++r) values.insert(values.end(), {static_cast<float>(r + 1), -0.5f * r});
  const auto exposures = core::FactorExposureMatrix::make(8, 2, values);
  const std::vector<std::uint32_t> rows = {7, 1, 2, 4, 0, 6, 3};
  for (const bool wide : {false, true}) {
    const std::vector<std::uint16_t> codes = wide ? std::vector<std::uint16_t>{0, 2, 1001, 3, 700, 1, 2, 300}
                                                  : std::vector<std::uint16_t>{0, 2, 255, 3, 64, 1, 2, 5};
    const unsigned missing = wide ? 1001 : 255;
    const core::BinnedMatrix binned = wide ? core::BinnedMatrix::make_u16(8, 1, 1000, 1001, codes)
                                           : core::BinnedMatrix::make(8, 1, 254, {codes.begin(), codes.end()});
    for (const auto& [categorical, threshold, mask] : {std::tuple{false, 2, 0ull}, std::tuple{false, 500, 0ull},
                                                       std::tuple{true, 0, 0b100101ull}, std::tuple{true, 0, ~0ull}}) {
      const auto [left, right] =
          accumulate_factor_sums_for_threshold(binned, exposures, rows, 0, threshold, categorical, mask);
      std::vector<float> want[2] = {{0.0f, 0.0f}, {0.0f, 0.0f}};
      for (const std::uint32_t r : rows) {
        const unsigned b = codes[r];
        const bool goes_left = categorical ? (b < 64 && ((mask >> b) & 1u)) : b <= unsigned(threshold);
        for (int j = 0; j < 2 && b != missing; ++j) want[goes_left ? 0 : 1][j] += values[r * 2 + j];
      }
      EXPECT_EQ(left, want[0]) << wide << " " << threshold;
      EXPECT_EQ(right, want[1]) << wide << " " << threshold;
    }
  }
}

TEST(JointRowSelection, GossRanksRowsBySummedAbsoluteGradients) {
  const std::size_t n = 40;
  std::vector<std::vector<core::GradientPair>> gradients(2);
  std::vector<float> scores;
  for (std::size_t r = 0; r < n; ++r) {
    const float a = std::sin(static_cast<float>(r)) * 3.0f, b = std::cos(static_cast<float>(r) * 0.7f);
    gradients[0].push_back({a, 1.0f});
    gradients[1].push_back({b, 2.0f});
    scores.push_back(std::fabs(a) + std::fabs(b));
  }
  const auto original = gradients;
  EXPECT_FALSE(select_joint_row_indices_for_round(core::DartBoosting{}, n, 3, 1, gradients, 2));

  const auto rows = select_joint_row_indices_for_round(core::GossBoosting{0.2f, 0.3f}, n, 3, 1, gradients, 2);
  const GossSample expected = goss_sample_indices(scores, 3, 1, 0.2f, 0.3f);
  ASSERT_TRUE(rows);
  EXPECT_TRUE(std::is_sorted(rows->begin(), rows->end()));
  EXPECT_EQ(rows->size(), expected.top.size() + expected.others.size());
  std::vector<std::uint32_t> chosen(expected.top.begin(), expected.top.end());
  chosen.insert(chosen.end(), expected.others.begin(), expected.others.end());
  std::sort(chosen.begin(), chosen.end());
  EXPECT_EQ(*rows, chosen);  // exactly the top rows and the drawn ones
  for (std::size_t r = 0; r < n; ++r) {
    const bool drawn = std::find(expected.others.begin(), expected.others.end(), r) != expected.others.end();
    for (std::size_t k = 0; k < 2; ++k) {
      EXPECT_EQ(gradients[k][r].grad, original[k][r].grad * (drawn ? expected.scale : 1.0f));
      EXPECT_EQ(gradients[k][r].hess, original[k][r].hess * (drawn ? expected.scale : 1.0f));
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::joint
