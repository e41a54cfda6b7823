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

// The deferred updates read a group of rows' predictions before writing any back. Leaves of every
// length around the group size, rows that do not ascend and a row listed twice in one group (each
// must see its own earlier update) all give, bit for bit, the row-by-row float32 additions in path
// order, for constant paths and a path ending in a linear leaf.
TEST(TreePredictionUpdates, EveryRowGainsItsPathInOrderLikeARowByRowLoop) {
  std::mt19937_64 rng(3);
  testing_support::GrowScenario s = testing_support::random_scenario(rng, 200, 2, 16);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  for (std::size_t i = 0; i < 400; ++i) s.raw_values.push_back(i % 7 == 0 ? NAN : value(rng));
  // Increments of very different sizes: any other order of a row's additions changes its bits.
  std::vector<TrainedStump> stumps(3);
  for (std::uint32_t local = 0; local < 3; ++local) stumps[local].node_id = local;
  stumps[0].left = 3.0e7f;
  stumps[0].right = -0.3f;
  stumps[1].left = 0.7f;
  stumps[1].right = -3.0e7f;
  stumps[2].left = 1.0e-3f;
  stumps[2].right = core::LinearLeaf{{0.5f, -2.0f}, {0, 1}, 0.25f};

  std::vector<std::uint32_t> all(200);
  for (std::uint32_t r = 0; r < 200; ++r) all[r] = r;
  std::shuffle(all.begin(), all.end(), rng);
  const auto ascending = [&](std::size_t first, std::size_t count) {
    core::RowList rows(all.begin() + first, all.begin() + first + count);
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  struct Leaf {
    std::uint32_t parent;
    bool left;
    core::RowList rows;
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

  std::vector<float> predictions(200);
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
  for (std::size_t row = 0; row < predictions.size(); ++row) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(predictions[row]), std::bit_cast<std::uint32_t>(expected[row]))
        << "row " << row << ": " << predictions[row] << " != " << expected[row];
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build
