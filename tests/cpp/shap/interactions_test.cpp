// SHAP interaction values against an independent brute force (the Shapley interaction index over
// every subset of all model features, in float64, from the stored stumps), and the properties that
// tie them to SHAP values: each matrix row sums to the feature's SHAP value, whatever explains the
// values (exact or TreeSHAP) and whatever the model holds (DART weights, linear leaves, a binning
// context), and a feature the model never splits on has a zero row and column.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "shap/explain.hpp"
#include "test_models.hpp"

namespace kestrune::shap {
namespace {

using namespace test_models;

// v(S) of one tree below local id `id`: the row decides the branches of known features, the
// stored row counts weigh the others. Constant sides scaled by their tree weight.
double ref_tree_value(const std::map<std::uint32_t, const TrainedStump*>& tree, std::uint32_t id,
                      const std::vector<float>& row, unsigned known) {
  const auto it = tree.find(id);
  if (it == tree.end()) return 0.0;
  const TrainedStump& s = *it->second;
  auto side = [&](bool left) {
    return double(s.tree_weight) * double(std::get<float>(left ? s.left : s.right)) +
           ref_tree_value(tree, 2 * id + (left ? 1 : 2), row, known);
  };
  if (known & (1u << s.feature_index)) return side(row[s.feature_index] <= s.split_bin);
  const double l = s.left_stats.count, r = s.right_stats.count;
  const double w = l + r > 0 ? l / (l + r) : 0.5;
  return w * side(true) + (1 - w) * side(false);
}

// The Shapley interaction index: for i != j, the sum over S without i and j of
// |S|! (n - |S| - 2)! / (2 (n - 1)!) x [v(S+i+j) - v(S+i) - v(S+j) + v(S)], counted in both (i, j)
// and (j, i); the diagonal is the Shapley value minus the rest of its row.
std::vector<double> ref_interactions(const TrainedModel& model, const std::vector<float>& row, double* expected) {
  std::map<std::uint32_t, std::map<std::uint32_t, const TrainedStump*>> trees;
  for (const TrainedStump& s : model.stumps) trees[s.node_id >> 20][s.node_id & 0xFFFFF] = &s;
  const auto n = static_cast<unsigned>(model.feature_count);
  std::vector<double> v(std::size_t{1} << n, model.base_prediction);
  for (unsigned s = 0; s < v.size(); ++s) {
    for (const auto& [index, tree] : trees) v[s] += ref_tree_value(tree, 0, row, s);
  }
  *expected = v[0];
  std::vector<double> m(n * n, 0.0);
  for (unsigned i = 0; i < n; ++i) {
    double shapley = 0.0;
    for (unsigned s = 0; s < v.size(); ++s) {
      if (s & (1u << i)) continue;
      const int size = __builtin_popcount(s);
      shapley += std::tgamma(size + 1) * std::tgamma(n - size) / std::tgamma(n + 1) * (v[s | (1u << i)] - v[s]);
      for (unsigned j = 0; j < n; ++j) {
        if (j == i || (s & (1u << j))) continue;
        const double weight = std::tgamma(size + 1) * std::tgamma(n - size - 1) / (2 * std::tgamma(n));
        m[i * n + j] += weight * (v[s | (1u << i) | (1u << j)] - v[s | (1u << i)] - v[s | (1u << j)] + v[s]);
      }
    }
    double rest = 0.0;
    for (unsigned j = 0; j < n; ++j) rest += j == i ? 0.0 : m[i * n + j];
    m[i * n + i] = shapley - rest;
  }
  return m;
}

TEST(ShapInteractions, EqualBruteForceInteractions) {
  std::mt19937 rng(31);
  struct Model {
    const char* name;
    TrainedModel model;
  };
  std::vector<Model> models;
  models.push_back({"shallow", single_model(random_trees(rng, 4, 3, kFeatures))});
  // Deep trees over six features meet the same feature again on most paths.
  models.push_back({"deep_repeats", single_model(random_trees(rng, 3, 6, kFeatures))});
  // Feature 5 never splits: its row and column must be exactly zero.
  models.push_back({"unused_feature", single_model(random_trees(rng, 5, 4, kFeatures - 1))});
  TrainedModel dart = single_model(random_trees(rng, 3, 4, kFeatures));
  for (TrainedStump& s : dart.stumps) s.tree_weight = (s.node_id >> 20) == 1 ? 0.5f : 0.75f;
  models.push_back({"dart", dart});
  TrainedModel single = single_model(random_trees(rng, 1, 1, 1));
  models.push_back({"one_split", single});
  for (const Model& m : models) {
    SCOPED_TRACE(m.name);
    const Rows rows = random_rows(rng, 12, kFeatures);
    const ShapInteractionBatch batch = explain_interactions_from_model(m.model, rows, nullptr);
    ASSERT_EQ(batch.values.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      double expected = 0.0;
      const std::vector<double> ref = ref_interactions(m.model, rows[r], &expected);
      EXPECT_NEAR(batch.expected_value, expected, 1e-6 * (1 + std::fabs(expected)));
      ASSERT_EQ(batch.values[r].size(), ref.size());
      for (std::size_t e = 0; e < ref.size(); ++e) {
        EXPECT_NEAR(batch.values[r][e], ref[e], 1e-5 * (1 + std::fabs(ref[e]))) << "row " << r << " entry " << e;
        const std::size_t k = e / kFeatures, j = e % kFeatures;
        if (std::string(m.name) == "unused_feature" && (k == kFeatures - 1 || j == kFeatures - 1)) {
          EXPECT_EQ(batch.values[r][e], 0.0f);
        }
        if (std::string(m.name) == "one_split" && e != 0) {
          EXPECT_EQ(batch.values[r][e], 0.0f);
        }
      }
    }
  }
}

TEST(ShapInteractions, RowsSumToShapValues) {
  std::mt19937 rng(37);
  const BinningContext quantile =
      QuantileBinning{std::vector<std::vector<float>>(kFeatures, {0.5f, 2.5f, 4.5f, 6.5f, 8.5f})};
  std::vector<std::optional<std::vector<float>>> ranks(kFeatures);
  ranks[1] = std::vector<float>{0.0f, 2.0f, 3.0f, 7.0f, 9.0f};
  ranks[4] = std::vector<float>{1.0f, 4.0f, 8.0f};
  const BinningContext rank =
      LinearRankBinning{ranks, std::vector<float>(kFeatures, 0.0f), std::vector<float>(kFeatures, 9.0f), kTopBin};
  TrainedModel linear = single_model(random_trees(rng, 4, 4, kFeatures));
  for (std::size_t i = 0; i < linear.stumps.size(); i += 2) linear.stumps[i].left = linear_leaf(rng, 0.5f);
  for (TrainedStump& s : linear.stumps) s.tree_weight = 0.75f;
  linear.feature_baseline = std::vector<float>{1.0f, 2.0f, 0.5f, 3.0f, 4.0f, 1.5f};
  // 30 split features: SHAP values come from TreeSHAP rather than the exact explainer.
  constexpr std::uint32_t kWide = 30;
  TrainedModel wide = single_model(random_trees(rng, 12, 5, kWide));
  wide.feature_count = kWide;
  for (std::uint32_t f = 0; f < kWide; ++f) wide.stumps[f].feature_index = f;
  struct Case {
    const char* name;
    const TrainedModel* model;
    const BinningContext* binning;
  };
  for (const Case& c : {Case{"linear_dart_quantile", &linear, &quantile}, Case{"linear_dart_rank", &linear, &rank},
                        Case{"wide", &wide, nullptr}}) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.model->feature_count;
    const Rows rows = random_rows(rng, 10, n);
    const ShapInteractionBatch interactions = explain_interactions_from_model(*c.model, rows, c.binning);
    const ShapExplanationBatch values = explain_rows_from_model(*c.model, rows, c.binning);
    EXPECT_FLOAT_EQ(interactions.expected_value, values.expected_value);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum += interactions.values[r][k * n + j];
        EXPECT_NEAR(sum, values.values[r][k], 1e-5 * (1 + std::fabs(values.values[r][k])))
            << "row " << r << " feature " << k;
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::shap
