#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/binned.hpp"
#include "core/neutralization.hpp"
#include "engine/joint/factor_sums.hpp"
#include "engine/joint/row_selection.hpp"
#include "engine/joint/tree_walk.hpp"
#include "engine/sampling.hpp"

namespace kestrune::engine::joint {
namespace {

TrainedStump stump(std::uint32_t id, std::uint32_t feature, std::uint16_t split_bin, bool default_left,
                   std::vector<float> left, std::vector<float> right) {
  TrainedStump s;
  s.node_id = id;
  s.feature_index = feature;
  s.split_bin = split_bin;
  s.default_left = default_left;
  s.multi_output = MultiOutputValues{std::move(left), std::move(right)};
  return s;
}

TEST(JointTreeWalk, RoutesEachRowAndAddsItsLeafVector) {
  // Two features; rows: (bin of f0, bin of f1). 255 is missing in an 8-bit matrix.
  const std::vector<std::uint8_t> bins = {3, 0, 4, 5, 255, 70, 3, 255, 0, 1};
  const core::BinnedMatrix binned = core::BinnedMatrix::make(5, 2, 254, bins);
  TrainedStump root = stump(7u << 20, 0, 3, true, {1.0f, 2.0f}, {-1.0f, -2.0f});  // tree 7, local id 0
  TrainedStump categorical = stump((7u << 20) | 1u, 1, 0, false, {10.0f, 20.0f}, {30.0f, 40.0f});
  categorical.categorical = true;
  categorical.category_bitset = std::vector<std::uint8_t>{0x01, 0x00};  // category 0 goes left
  const std::vector<TrainedStump> tree = {root, categorical};

  std::vector<std::vector<float>> predictions = {{0.5f, 1.5f, -2.0f, 0.25f, 3.0f}, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f}};
  const auto start = predictions;
  walk_tree_into_predictions(tree, binned, 2, 5, 2, predictions, 2.0f, 0.5f);
  // Row 0: bin 3 at split bin 3 goes left, category 0 left. Row 1: bin 4 right. Row 2: missing
  // goes left, category 70 right. Row 3: left, missing category takes the default (right).
  // Row 4: left, category 1 not in the set.
  const std::vector<std::vector<float>> leaf = {{10, 20}, {-1, -2}, {30, 40}, {30, 40}, {30, 40}};
  for (std::size_t r = 0; r < 5; ++r) {
    for (std::size_t k = 0; k < 2; ++k) EXPECT_EQ(predictions[k][r], start[k][r] + leaf[r][k]) << r << k;
  }
  // Scale -1 at the same weight takes the tree out again.
  walk_tree_into_predictions(tree, binned, 2, 5, 2, predictions, -2.0f, 0.5f);
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t r = 0; r < 5; ++r) EXPECT_NEAR(predictions[k][r], start[k][r], 1e-6f);
  }
  // No root stump, or a root without K-vectors: nothing changes.
  walk_tree_into_predictions(std::vector<TrainedStump>{categorical}, binned, 2, 5, 2, predictions, 1.0f, 1.0f);
  TrainedStump bare = root;
  bare.multi_output.reset();
  walk_tree_into_predictions(std::vector<TrainedStump>{bare}, binned, 2, 5, 2, predictions, 1.0f, 1.0f);
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t r = 0; r < 5; ++r) EXPECT_NEAR(predictions[k][r], start[k][r], 1e-6f);
  }
}

TEST(JointTreeWalk, SixteenBitMatricesAreReadThroughTheirRealCodes) {
  // Bins above 255 stay distinct from each other and from the missing bin 1001.
  const core::BinnedMatrix binned = core::BinnedMatrix::make_u16(4, 1, 1000, 1001, {300, 400, 1001, 255});
  const std::vector<TrainedStump> tree = {stump(0, 0, 350, false, {1.0f}, {2.0f})};
  std::vector<std::vector<float>> predictions = {{0.0f, 0.0f, 0.0f, 0.0f}};
  walk_tree_into_predictions(tree, binned, 1, 4, 1, predictions, 1.0f, 1.0f);
  EXPECT_EQ(predictions[0], (std::vector<float>{1.0f, 2.0f, 2.0f, 1.0f}));

  const core::FactorExposureMatrix exposures = core::FactorExposureMatrix::make(4, 1, {1.0f, 2.0f, 4.0f, 8.0f});
  const std::vector<std::uint32_t> rows = {0, 1, 2, 3};
  const auto [left, right] = accumulate_factor_sums_for_threshold(binned, exposures, rows, 0, 350, false, 0);
  EXPECT_EQ(left, std::vector<float>{9.0f});
  EXPECT_EQ(right, std::vector<float>{2.0f});  // the missing row counts on neither side
}

TEST(JointFactorSums, MatchABruteForceSplitOfTheRows) {
  const std::vector<std::uint8_t> bins = {0, 2, 255, 3, 64, 1, 2, 5};
  const core::BinnedMatrix binned = core::BinnedMatrix::make(8, 1, 254, bins);
  std::vector<float> values;
  for (int r = 0; r < 8; ++r) values.insert(values.end(), {static_cast<float>(r + 1), -0.5f * r});
  const core::FactorExposureMatrix exposures = core::FactorExposureMatrix::make(8, 2, values);
  const std::vector<std::uint32_t> rows = {7, 1, 2, 4, 0, 6, 3};
  struct Case {
    bool categorical;
    std::uint16_t threshold;
    std::uint64_t mask;
  };
  for (const Case c : {Case{false, 2, 0}, Case{false, 0, 0}, Case{true, 0, 0b100101}, Case{true, 0, ~0ull}}) {
    const auto [left, right] = accumulate_factor_sums_for_threshold(binned, exposures, rows, 0, c.threshold,
                                                                    c.categorical, c.mask);
    std::vector<double> want_left(2, 0.0), want_right(2, 0.0);
    for (const std::uint32_t r : rows) {
      const unsigned b = bins[r];
      if (b == 255) continue;
      const bool goes_left = c.categorical ? (b < 64 && ((c.mask >> b) & 1u)) : b <= c.threshold;
      for (int j = 0; j < 2; ++j) (goes_left ? want_left : want_right)[j] += values[r * 2 + j];
    }
    for (int j = 0; j < 2; ++j) {
      EXPECT_EQ(left[j], want_left[j]);
      EXPECT_EQ(right[j], want_right[j]);
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
  EXPECT_FALSE(select_joint_row_indices_for_round(core::StandardBoosting{}, n, 3, 1, gradients, 2));
  EXPECT_FALSE(select_joint_row_indices_for_round(core::DartBoosting{}, n, 3, 1, gradients, 2));
  EXPECT_EQ(gradients[0][5].grad, original[0][5].grad);

  const core::GossBoosting goss{0.2f, 0.3f};
  const auto rows = select_joint_row_indices_for_round(goss, n, 3, 1, gradients, 2);
  const GossSample expected = goss_sample_indices(scores, 3, 1, 0.2f, 0.3f);
  ASSERT_TRUE(rows);
  EXPECT_TRUE(std::is_sorted(rows->begin(), rows->end()));
  EXPECT_EQ(rows->size(), expected.top.size() + expected.others.size());
  for (std::size_t r = 0; r < n; ++r) {
    const bool drawn = std::find(expected.others.begin(), expected.others.end(), r) != expected.others.end();
    const float factor = drawn ? expected.scale : 1.0f;
    for (std::size_t k = 0; k < 2; ++k) {
      EXPECT_EQ(gradients[k][r].grad, original[k][r].grad * factor);
      EXPECT_EQ(gradients[k][r].hess, original[k][r].hess * factor);
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::joint
