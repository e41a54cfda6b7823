#include "engine/round.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_engine_error;

TrainedStump numeric_stump(std::uint32_t node_id, std::uint32_t feature, std::uint16_t split_bin, float left,
                           float right, bool default_left = false) {
  TrainedStump stump;
  stump.node_id = node_id;
  stump.feature_index = feature;
  stump.split_bin = split_bin;
  stump.default_left = default_left;
  stump.left = left;
  stump.right = right;
  return stump;
}

// Two features, four rows; missing bin 255.
core::BinnedMatrix small_matrix() {
  return core::BinnedMatrix::make(4, 2, 10, {0, 3,  //
                                             5, 255,  //
                                             255, 7,  //
                                             9, 1});
}

std::vector<float> walk(const core::BinnedMatrix& binned, const std::vector<TrainedStump>& stumps,
                        std::optional<RawFeatureRows> raw = std::nullopt) {
  std::vector<float> predictions(binned.row_count, 0.0f);
  apply_round_stumps_tree_walk(predictions, binned, stumps, raw);
  return predictions;
}

TEST(RoundPartitionUpdates, AddsLeftThenRightAndStopsAtTheFirstBadIndex) {
  std::vector<float> predictions{1.0f, 1.0f, 1.0f, 1.0f};
  core::PartitionResult partition;
  partition.left_rows = {0, 2};
  partition.right_rows = {3, 1};
  apply_partition_leaf_updates(predictions, partition, 0.5f, -0.25f);
  EXPECT_EQ(predictions, (std::vector<float>{1.5f, 0.75f, 1.5f, 0.75f}));

  // A bad left index: the left rows before it are updated, no right row is.
  partition.left_rows = {1, 4, 0};
  EXPECT_TRUE(throws_engine_error([&] { apply_partition_leaf_updates(predictions, partition, 1.0f, 1.0f); },
                                  EngineErrorKind::ContractViolation,
                                  "left partition row index 4 is out of bounds for predictions length 4"));
  EXPECT_EQ(predictions, (std::vector<float>{1.5f, 1.75f, 1.5f, 0.75f}));

  partition.left_rows = {0};
  partition.right_rows = {2, 9};
  EXPECT_TRUE(throws_engine_error([&] { apply_partition_leaf_updates(predictions, partition, 1.0f, 1.0f); },
                                  EngineErrorKind::ContractViolation,
                                  "right partition row index 9 is out of bounds for predictions length 4"));
  EXPECT_EQ(predictions, (std::vector<float>{2.5f, 1.75f, 2.5f, 0.75f}));
}

TEST(RoundTreeWalk, EmptyInputsAndRootlessTreesChangeNothing) {
  const core::BinnedMatrix binned = small_matrix();
  EXPECT_EQ(walk(binned, {numeric_stump(1, 0, 4, 1.0f, 2.0f)}), std::vector<float>(4, 0.0f));
  std::vector<float> none;
  apply_round_stumps_tree_walk(none, binned, std::vector<TrainedStump>{numeric_stump(0, 0, 4, 1.0f, 2.0f)},
                               std::nullopt);
}

TEST(RoundTreeWalk, RoutesNumericMissingAndCategoricalRows) {
  const core::BinnedMatrix binned = small_matrix();
  // Root on feature 0 at bin 5, missing right; left child on feature 1 at bin 2, missing left.
  const std::vector<TrainedStump> numeric{numeric_stump(0, 0, 5, 1.0f, -1.0f),
                                          numeric_stump(1, 1, 2, 0.5f, -0.5f, true)};
  // Row 0: 0 <= 5 left (+1), 3 > 2 right (-0.5). Row 1: left, missing -> default left (+0.5).
  // Row 2: missing -> right (-1). Row 3: 9 > 5 right (-1).
  EXPECT_EQ(walk(binned, numeric), (std::vector<float>{0.5f, 1.5f, -1.0f, -1.0f}));

  TrainedStump categorical = numeric_stump(0, 0, 0, 10.0f, 20.0f, true);
  categorical.categorical = true;
  categorical.category_bitset = std::vector<std::uint8_t>{0b00100001};  // categories 0 and 5 left
  // Codes 0 and 5 left; the missing code takes the default side; 9 lies beyond the bitset: right.
  EXPECT_EQ(walk(binned, {categorical}), (std::vector<float>{10.0f, 10.0f, 10.0f, 20.0f}));
  categorical.category_bitset.reset();  // no bitset: every row to the default side
  EXPECT_EQ(walk(binned, {categorical}), (std::vector<float>{10.0f, 10.0f, 10.0f, 10.0f}));
  categorical.default_left = false;
  EXPECT_EQ(walk(binned, {categorical}), (std::vector<float>{20.0f, 20.0f, 20.0f, 20.0f}));
}

TEST(RoundTreeWalk, SixteenBitCode255IsAnOrdinaryBin) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make_u16(3, 1, 400, 300, {255, 300, 256});
  const std::vector<TrainedStump> stumps{numeric_stump(0, 0, 255, 1.0f, 2.0f, false)};
  EXPECT_EQ(walk(binned, stumps), (std::vector<float>{1.0f, 2.0f, 2.0f}));
}

TEST(RoundTreeWalk, LinearLeavesUseTheirTermsOnlyWhereRawValuesExist) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(2, 3, 10, {0, 0, 0, 0, 0, 0});
  TrainedStump stump = numeric_stump(0, 0, 5, 0.0f, 0.0f);
  // Three feature indices but two coefficients: two terms.
  stump.left = core::LinearLeaf{{2.0f, 10.0f}, {0, 2, 1}, 1.0f};
  const std::vector<float> raw{1.0f, 100.0f, 3.0f,  //
                               std::numeric_limits<float>::quiet_NaN(), 7.0f, 0.5f};
  EXPECT_EQ(walk(binned, {stump}, RawFeatureRows{raw, 3}),
            (std::vector<float>{1.0f + 2.0f * 1.0f + 10.0f * 3.0f, 1.0f + 10.0f * 0.5f}));
  // No raw values, or an empty list: the intercept alone.
  EXPECT_EQ(walk(binned, {stump}), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(walk(binned, {stump}, RawFeatureRows{{}, 3}), (std::vector<float>{1.0f, 1.0f}));
  // A term whose position falls past the list adds nothing.
  const std::vector<float> short_raw{1.0f, 100.0f, 3.0f, 2.0f};
  EXPECT_EQ(walk(binned, {stump}, RawFeatureRows{short_raw, 3}),
            (std::vector<float>{33.0f, 1.0f + 2.0f * 2.0f}));
}

TEST(RoundTreeWalk, AZeroWeightSkipsTheTreeAndANaNWeightPoisonsIt) {
  const core::BinnedMatrix binned = small_matrix();
  const std::vector<TrainedStump> stumps{numeric_stump(0, 0, 5, 1.0f, -2.0f)};
  for (float weight : {0.0f, -0.0f}) {
    std::vector<float> predictions(4, 7.0f);
    apply_weighted_round_to_predictions(predictions, binned, stumps, std::nullopt, weight);
    EXPECT_EQ(predictions, std::vector<float>(4, 7.0f));
  }
  std::vector<float> negated(4, 0.0f);
  apply_weighted_round_to_predictions(negated, binned, stumps, std::nullopt, -1.0f);
  EXPECT_EQ(negated, (std::vector<float>{-1.0f, -1.0f, 2.0f, 2.0f}));
  std::vector<float> nan_weight(4, 0.0f);
  apply_weighted_round_to_predictions(nan_weight, binned, stumps, std::nullopt,
                                      std::numeric_limits<float>::quiet_NaN());
  EXPECT_TRUE(std::isnan(nan_weight[0]));
}

TEST(RoundTreeWalk, ReadsOutsideTheMatrixAreInternalFailures) {
  const core::BinnedMatrix binned = small_matrix();
  std::vector<float> too_many(5, 0.0f);
  EXPECT_THROW(apply_round_stumps_tree_walk(too_many, binned, std::vector<TrainedStump>{numeric_stump(0, 0, 5, 1, 2)},
                                            std::nullopt),
               support::Panic);
  std::vector<float> predictions(4, 0.0f);
  EXPECT_THROW(apply_round_stumps_tree_walk(predictions, binned,
                                            std::vector<TrainedStump>{numeric_stump(0, 2, 5, 1, 2)}, std::nullopt),
               support::Panic);
  TrainedStump linear = numeric_stump(0, 0, 200, 0.0f, 0.0f);
  linear.left = core::LinearLeaf{{1.0f}, {0}, 1.0f};
  const std::vector<float> raw{1.0f, 2.0f};  // rows 2 and 3 start past the list
  EXPECT_THROW(apply_round_stumps_tree_walk(predictions, binned, std::vector<TrainedStump>{linear},
                                            RawFeatureRows{raw, 1}),
               support::Panic);
}

// An independent reading of a stump list: per run of one tree, per row, follow the local ids,
// finding each stump by a backwards scan (the later stump wins).
std::vector<float> reference_walk(const core::BinnedMatrix& binned, const std::vector<TrainedStump>& stumps,
                                  std::vector<float> predictions) {
  std::size_t start = 0;
  while (start < stumps.size()) {
    std::size_t end = start;
    while (end < stumps.size() && (stumps[end].node_id >> 20) == (stumps[start].node_id >> 20)) ++end;
    for (std::size_t row = 0; row < predictions.size(); ++row) {
      std::uint32_t id = 0;
      for (;;) {
        const TrainedStump* found = nullptr;
        for (std::size_t i = end; i-- > start;) {
          if ((stumps[i].node_id & 0xFFFFF) == id) {
            found = &stumps[i];
            break;
          }
        }
        if (found == nullptr) break;
        const std::uint16_t bin = binned.bins.at(row * binned.feature_count + found->feature_index);
        bool left;
        if (bin == binned.missing_bin) {
          left = found->default_left;
        } else if (found->categorical) {
          left = found->category_bitset && (bin >> 3) < found->category_bitset->size()
                     ? (((*found->category_bitset)[bin >> 3] >> (bin & 7)) & 1) != 0
                     : (found->category_bitset ? false : found->default_left);
        } else {
          left = bin <= found->split_bin;
        }
        predictions[row] += found->tree_weight * std::get<float>(left ? found->left : found->right);
        id = left ? 2 * id + 1 : 2 * id + 2;
      }
    }
    start = end;
  }
  return predictions;
}

TEST(RoundTreeWalk, MatchesAnIndependentWalkOnRandomForests) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t rows = 1 + rng() % 60;
    const std::size_t features = 1 + rng() % 5;
    std::vector<std::uint8_t> bins(rows * features);
    for (auto& bin : bins) bin = rng() % 5 == 0 ? 255 : static_cast<std::uint8_t>(rng() % 8);
    const core::BinnedMatrix binned = core::BinnedMatrix::make(rows, features, 7, bins);
    std::vector<TrainedStump> stumps;
    const std::size_t count = rng() % 30;
    // Runs of one tree index, which may come back after another tree's run; repeated local ids
    // within a run (the later stump wins).
    std::uint32_t tree = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (rng() % 4 == 0) tree = static_cast<std::uint32_t>(rng() % 3);
      TrainedStump stump = numeric_stump(static_cast<std::uint32_t>((tree << 20) | (rng() % 15)),
                                         static_cast<std::uint32_t>(rng() % features),
                                         static_cast<std::uint16_t>(rng() % 8),
                                         static_cast<float>(static_cast<int>(rng() % 200) - 100) / 8.0f,
                                         static_cast<float>(static_cast<int>(rng() % 200) - 100) / 8.0f, rng() % 2 == 0);
      if (rng() % 4 == 0) {
        stump.categorical = true;
        if (rng() % 3 != 0) stump.category_bitset = std::vector<std::uint8_t>{static_cast<std::uint8_t>(rng())};
      }
      stump.tree_weight = rng() % 3 == 0 ? 0.5f : 1.0f;
      stumps.push_back(stump);
    }
    std::vector<float> predictions(rows);
    for (auto& p : predictions) p = static_cast<float>(rng() % 16) / 4.0f;
    const std::vector<float> expected = reference_walk(binned, stumps, predictions);
    apply_tree_to_binned_predictions(predictions, binned, stumps, std::nullopt);
    ASSERT_EQ(predictions, expected) << "trial " << trial;
  }
}

}  // namespace
}  // namespace kestrune::engine
