#include "engine/tree_build/leaf_updates.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "engine/round.hpp"
#include "grow_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

struct Leaf {
  std::uint32_t parent;
  bool left;
  core::RowList rows;
};

// Increments of very different sizes below a root split (local ids 0, 1, 2), the right child of
// node 2 a linear leaf: any other order of a row's additions changes its bits.
std::vector<TrainedStump> two_level_stumps() {
  std::vector<TrainedStump> stumps(3);
  for (std::uint32_t local = 0; local < 3; ++local) stumps[local].node_id = local;
  stumps[0].left = 3.0e7f;
  stumps[0].right = -0.3f;
  stumps[1].left = 0.7f;
  stumps[1].right = -3.0e7f;
  stumps[2].left = 1.0e-3f;
  stumps[2].right = core::LinearLeaf{{0.5f, -2.0f}, {0, 1}, 0.25f};
  return stumps;
}

// The deferred updates of these leaves give, bit for bit, the row-by-row float32 additions in path
// order (raw values: two per row).
void expect_row_by_row_additions(std::mt19937_64& rng, const std::vector<Leaf>& leaves, std::size_t row_count) {
  testing_support::GrowScenario s = testing_support::random_scenario(rng, 200, 2, 16);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  s.raw_values.clear();
  for (std::size_t i = 0; i < 2 * row_count; ++i) s.raw_values.push_back(i % 7 == 0 ? NAN : value(rng));
  const std::vector<TrainedStump> stumps = two_level_stumps();
  std::vector<float> predictions(row_count);
  for (float& p : predictions) p = value(rng);
  std::vector<float> expected = predictions;
  for (const Leaf& leaf : leaves) {
    const core::LeafValue& first = leaf.parent == 1 ? stumps[0].left : stumps[0].right;
    const core::LeafValue& second = leaf.left ? stumps[leaf.parent].left : stumps[leaf.parent].right;
    for (const std::uint32_t row : leaf.rows) {
      for (const core::LeafValue* step : {&first, &second}) {
        if (const float* constant = std::get_if<float>(step)) {
          expected[row] += *constant;
        } else {
          expected[row] += linear_leaf_value_at(core::linear_leaf(*step), s.raw_values, row * 2);
        }
      }
    }
  }

  TreeGrowthRequest request{.binned = s.binned,
                            .gradients = s.gradients,
                            .root_rows = {},
                            .tree_index = 0,
                            .feature_tiles = s.tiles,
                            .options = s.options,
                            .params = s.params,
                            .controls = s.controls,
                            .predictions = predictions,
                            .feature_weights = {},
                            .categorical_features = {},
                            .morph = std::nullopt,
                            .raw_values = s.raw_values,
                            .factor_exposures = nullptr};
  TreePredictionUpdates updates(request);
  for (const Leaf& leaf : leaves) updates.child_leaf(leaf.parent, leaf.left, leaf.rows);
  updates.apply(stumps);
  std::size_t wrong = 0;
  for (std::size_t row = 0; row < predictions.size(); ++row) {
    if (std::bit_cast<std::uint32_t>(predictions[row]) == std::bit_cast<std::uint32_t>(expected[row])) continue;
    if (++wrong <= 5) ADD_FAILURE() << "row " << row << ": " << predictions[row] << " != " << expected[row];
  }
  EXPECT_EQ(wrong, 0u);
}

// The updates read a group of rows' predictions before writing any back. Leaves of every length
// around the group size, rows that do not ascend and a row listed twice in one group (each must
// see its own earlier update).
TEST(TreePredictionUpdates, EveryRowGainsItsPathInOrderLikeARowByRowLoop) {
  std::mt19937_64 rng(3);
  std::vector<std::uint32_t> all(200);
  for (std::uint32_t r = 0; r < 200; ++r) all[r] = r;
  std::shuffle(all.begin(), all.end(), rng);
  const auto ascending = [&](std::size_t first, std::size_t count) {
    core::RowList rows(all.begin() + first, all.begin() + first + count);
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  std::vector<Leaf> leaves = {
      {1, true, ascending(0, 37)},
      {1, false, ascending(40, 8)},
      {2, true, ascending(50, 17)},
      {2, false, ascending(70, 23)},
  };
  std::reverse(leaves[1].rows.begin(), leaves[1].rows.end());                  // descending
  leaves[2].rows.insert(leaves[2].rows.begin() + 3, leaves[2].rows[2]);        // a row twice in a group
  leaves[3].rows.insert(leaves[3].rows.begin() + 20, leaves[3].rows[19]);      // twice in the tail
  expect_row_by_row_additions(rng, leaves, 200);
}

// Enough rows for several threads, where the leaves are updated by ranges of rows, each range's
// rows of every leaf found by bisection: every row of the interleaved leaves, at the ranges' edges
// too, gains its path once. One leaf is shuffled, one lists a row twice (far into its rows), and
// one has blocks of ascending rows in reverse order.
TEST(TreePredictionUpdates, InterleavedLeavesOnThePoolMatchARowByRowLoop) {
  std::mt19937_64 rng(5);
  const std::size_t row_count = 300000;
  std::vector<Leaf> leaves = {{1, true, {}}, {1, false, {}}, {2, true, {}}, {2, false, {}}};
  for (std::uint32_t r = 0; r < row_count; ++r) {
    // A row in no leaf now and then: its prediction stays.
    if (r % 97 == 5) continue;
    leaves[rng() % 4].rows.push_back(r);
  }
  std::shuffle(leaves[1].rows.begin(), leaves[1].rows.end(), rng);
  leaves[2].rows.insert(leaves[2].rows.begin() + 40000, leaves[2].rows[39999]);
  // Leaf 3: whole blocks in reverse order (its rows past the last whole block in no leaf).
  constexpr std::size_t kBlock = 8192;
  core::RowList& reversed = leaves[3].rows;
  reversed.resize(reversed.size() / kBlock * kBlock);
  for (std::size_t low = 0, high = reversed.size() - kBlock; low < high; low += kBlock, high -= kBlock) {
    std::swap_ranges(reversed.begin() + low, reversed.begin() + low + kBlock, reversed.begin() + high);
  }
  expect_row_by_row_additions(rng, leaves, row_count);
}

}  // namespace
}  // namespace kestrune::engine::tree_build
