// Exact SHAP values against an independent brute force: Shapley's formula over every subset of
// all model features (not only the split ones), with the value of a subset the cover-weighted
// expectation of each tree computed in float64 from the stored stumps. Every model kind goes
// through its artifact, so the loader's per-output models are checked too.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/multiclass_model.hpp"
#include "engine/trained_model.hpp"
#include "shap/error.hpp"
#include "shap/exact.hpp"
#include "shap/explain.hpp"
#include "test_models.hpp"

namespace kestrune::shap {
namespace {

using engine::TrainedModel;
using engine::TrainedStump;
using namespace test_models;

// --- independent reference -------------------------------------------------------------------

struct RefTree {
  std::map<std::uint32_t, const TrainedStump*> nodes;  // by local id
};

std::vector<RefTree> ref_trees(const std::vector<TrainedStump>& stumps) {
  std::map<std::uint32_t, RefTree> trees;
  for (const TrainedStump& s : stumps) trees[s.node_id >> 20].nodes[s.node_id & 0xFFFFF] = &s;
  std::vector<RefTree> out;
  for (auto& [index, tree] : trees) out.push_back(tree);
  return out;
}

struct RefInput {
  const std::vector<TrainedStump>* stumps;
  double base;
  std::optional<std::vector<float>> baseline;
  std::optional<std::size_t> joint_output;  // stored node values of this output instead of increments
};

double side_at_baseline(const core::LeafValue& side, const std::optional<std::vector<float>>& baseline) {
  if (const float* c = std::get_if<float>(&side)) return *c;
  const auto& leaf = core::linear_leaf(side);
  double v = leaf.intercept;
  if (baseline) {
    for (std::size_t k = 0; k < leaf.coefficients.size(); ++k) v += double(leaf.coefficients[k]) * (*baseline)[leaf.feature_indices[k]];
  }
  return v;
}

// v(S) of one tree: the row decides the branches of known features, covers weigh the others.
double ref_tree_value(const RefInput& in, const RefTree& tree, std::uint32_t id, const std::vector<float>& route,
                      unsigned known) {
  const auto it = tree.nodes.find(id);
  if (it == tree.nodes.end()) return 0.0;
  const TrainedStump& s = *it->second;
  auto side = [&](bool left) {
    const std::uint32_t child = 2 * id + (left ? 1 : 2);
    if (in.joint_output) {
      if (tree.nodes.count(child)) return ref_tree_value(in, tree, child, route, known);
      return double((left ? s.multi_output->left : s.multi_output->right)[*in.joint_output]);
    }
    return double(s.tree_weight) * side_at_baseline(left ? s.left : s.right, in.baseline) +
           ref_tree_value(in, tree, child, route, known);
  };
  if (known & (1u << s.feature_index)) return side(route[s.feature_index] <= s.split_bin);
  const double l = s.left_stats.count, r = s.right_stats.count;
  const double w = l + r > 0 ? l / (l + r) : 0.5;
  return w * side(true) + (1 - w) * side(false);
}

// Shapley values plus each linear term reached, coefficient x (value - baseline), on its feature.
std::vector<double> ref_shap(const RefInput& in, const std::vector<float>& route, const std::vector<float>& raw,
                             double* expected) {
  const std::vector<RefTree> trees = ref_trees(*in.stumps);
  auto v = [&](unsigned known) {
    double total = in.base;
    for (const RefTree& t : trees) total += ref_tree_value(in, t, 0, route, known);
    return total;
  };
  *expected = v(0);
  const auto n = static_cast<unsigned>(route.size());
  std::vector<double> phi(n, 0.0);
  for (unsigned j = 0; j < n; ++j) {
    for (unsigned s = 0; s < (1u << n); ++s) {
      if (s & (1u << j)) continue;
      const int size = __builtin_popcount(s);
      const double weight = std::tgamma(size + 1) * std::tgamma(n - size) / std::tgamma(n + 1);
      phi[j] += weight * (v(s | (1u << j)) - v(s));
    }
  }
  for (const RefTree& t : trees) {
    for (std::uint32_t id = 0; t.nodes.count(id);) {
      const TrainedStump& s = *t.nodes.at(id);
      const bool left = route[s.feature_index] <= s.split_bin;
      if (const auto* leaf = core::linear_leaf_if(left ? s.left : s.right)) {
        for (std::size_t k = 0; k < leaf->coefficients.size(); ++k) {
          const std::uint32_t f = leaf->feature_indices[k];
          const double b = in.baseline ? (*in.baseline)[f] : 0.0;
          phi[f] += double(s.tree_weight) * leaf->coefficients[k] * (raw[f] - b);
        }
      }
      id = 2 * id + (left ? 1 : 2);
    }
  }
  return phi;
}

struct Case {
  std::string name;
  std::vector<std::uint8_t> artifact;
  std::vector<RefInput> outputs;
};

std::vector<Case> cases(std::vector<std::vector<TrainedStump>>& keep) {
  std::mt19937 rng(7);
  keep.reserve(16);
  std::vector<Case> out;
  {
    TrainedModel m = single_model(random_trees(rng, 4, 3, kFeatures));
    keep.push_back(m.stumps);
    out.push_back({"constant", m.to_artifact_bytes(), {{&keep.back(), 0.25, std::nullopt, std::nullopt}}});
  }
  {
    TrainedModel m = single_model(random_trees(rng, 3, 3, kFeatures));
    for (TrainedStump& s : m.stumps) s.tree_weight = (s.node_id >> 20) == 1 ? 0.5f : 0.75f;
    keep.push_back(m.stumps);
    out.push_back({"dart", m.to_artifact_bytes(), {{&keep.back(), 0.25, std::nullopt, std::nullopt}}});
  }
  for (const bool with_baseline : {true, false}) {
    TrainedModel m = single_model(random_trees(rng, 3, 3, kFeatures));
    for (std::size_t i = 0; i < m.stumps.size(); i += 2) m.stumps[i].right = linear_leaf(rng, 0.5f);
    m.stumps[1].tree_weight = 0.5f;
    for (TrainedStump& s : m.stumps) s.tree_weight = m.stumps[1].tree_weight * ((s.node_id >> 20) == 0 ? 1.0f : 2.0f);
    if (with_baseline) m.feature_baseline = std::vector<float>{1.0f, 2.0f, 0.5f, 3.0f, 4.0f, 1.5f};
    keep.push_back(m.stumps);
    out.push_back({with_baseline ? "linear" : "linear_without_baseline", m.to_artifact_bytes(),
                   {{&keep.back(), 0.25, m.feature_baseline, std::nullopt}}});
  }
  {
    engine::MultiClassTrainedModel m;
    m.num_classes = 3;
    m.feature_count = kFeatures;
    m.objective = "multiclass_softmax";
    m.class_baselines = {0.1f, -0.2f, 0.3f};
    Case c{"multiclass", {}, {}};
    for (int k = 0; k < 3; ++k) {
      m.class_stumps.push_back(random_trees(rng, 2, 3, kFeatures));
      keep.push_back(m.class_stumps.back());
      c.outputs.push_back({&keep.back(), m.class_baselines[k], std::nullopt, std::nullopt});
    }
    c.artifact = m.to_artifact_bytes();
    out.push_back(c);
  }
  {
    TrainedModel m = single_model(random_trees(rng, 3, 3, kFeatures));
    m.objective = "joint_multi_output:ranker";
    for (TrainedStump& s : m.stumps) {
      s.multi_output = engine::MultiOutputValues{{float(rng() % 64) / 16, float(rng() % 64) / 16},
                                                 {float(rng() % 64) / 16, float(rng() % 64) / 16}};
    }
    keep.push_back(m.stumps);
    out.push_back({"joint", m.to_artifact_bytes(),
                   {{&keep.back(), 0.25, std::nullopt, 0}, {&keep.back(), 0.25, std::nullopt, 1}}});
  }
  {
    // Every leaf of a tree carries far more than its tree tells apart (its roots' sides 1e8 and
    // -3e8): the values must still be those of the stored sides, not of their float32 roundings.
    TrainedModel m = single_model(random_trees(rng, 3, 3, kFeatures));
    for (TrainedStump& s : m.stumps) {
      if ((s.node_id & 0xFFFFF) == 0) s.left = s.right = (s.node_id >> 20) == 1 ? -3e8f : 1e8f;
    }
    keep.push_back(m.stumps);
    out.push_back({"large_leaves", m.to_artifact_bytes(), {{&keep.back(), 0.25, std::nullopt, std::nullopt}}});
  }
  return out;
}

// Raw rows and their bins under each context: every raw value maps to a whole bin 0..9.
struct Contexts {
  Rows bins, linear_raw, quantile_raw, rank_raw;
  LinearBinning linear{std::vector<float>(kFeatures, -1.0f), std::vector<float>(kFeatures, 2.0f), kTopBin};
  QuantileBinning quantile;
  LinearRankBinning rank;
};

Contexts contexts() {
  Contexts c;
  std::mt19937 rng(3);
  for (int r = 0; r < 12; ++r) {
    std::vector<float> bins, lin, quant, rank;
    for (std::size_t f = 0; f < kFeatures; ++f) {
      const int b = int(rng() % (kTopBin + 1));
      bins.push_back(float(b));
      lin.push_back(-1.0f + 3.0f * float(b) / kTopBin);
      quant.push_back(10.0f * float(b));
      rank.push_back(f % 2 == 0 ? 3.0f * float(b) : float(b) + 0.2f);
    }
    c.bins.push_back(bins), c.linear_raw.push_back(lin), c.quantile_raw.push_back(quant), c.rank_raw.push_back(rank);
  }
  std::vector<float> cuts, sorted;
  for (int i = 0; i < kTopBin; ++i) cuts.push_back(10.0f * float(i) + 5.0f);
  for (int i = 0; i <= kTopBin; ++i) sorted.push_back(3.0f * float(i));
  c.quantile.feature_cuts.assign(kFeatures, cuts);
  for (std::size_t f = 0; f < kFeatures; ++f) {
    c.rank.per_feature.push_back(f % 2 == 0 ? std::optional(sorted) : std::nullopt);
  }
  c.rank.feature_mins.assign(kFeatures, 0.0f);
  c.rank.feature_maxs.assign(kFeatures, float(kTopBin));
  c.rank.max_data_bin = kTopBin;
  return c;
}

TEST(ShapExact, MatchesBruteForceForEveryModelKindAndBinningContext) {
  std::vector<std::vector<TrainedStump>> keep;
  const Contexts ctx = contexts();
  const PreBinned prebinned;
  const BinningContext linear = ctx.linear, quantile = ctx.quantile, rank = ctx.rank, pre = prebinned;
  struct Binned {
    const char* name;
    const BinningContext* binning;
    const Rows* raw;
  };
  const Binned binnings[] = {{"none", nullptr, &ctx.bins},         {"prebinned", &pre, &ctx.bins},
                             {"linear", &linear, &ctx.linear_raw}, {"quantile", &quantile, &ctx.quantile_raw},
                             {"linear_rank", &rank, &ctx.rank_raw}};
  for (const Case& c : cases(keep)) {
    for (const Binned& b : binnings) {
      SCOPED_TRACE(c.name + " / " + b.name);
      const std::vector<ShapExplanationBatch> batches =
          explain_rows_from_artifact_bytes_per_output(c.artifact, *b.raw, b.binning);
      ASSERT_EQ(batches.size(), c.outputs.size());
      for (std::size_t k = 0; k < batches.size(); ++k) {
        for (std::size_t r = 0; r < ctx.bins.size(); ++r) {
          double expected = 0.0;
          const std::vector<double> phi = ref_shap(c.outputs[k], ctx.bins[r], (*b.raw)[r], &expected);
          EXPECT_NEAR(batches[k].expected_value, expected, 1e-5 * (1 + std::fabs(expected)));
          for (std::size_t f = 0; f < kFeatures; ++f) {
            EXPECT_NEAR(batches[k].values[r][f], phi[f], 2e-5 * (1 + std::fabs(phi[f]))) << "row " << r << " f " << f;
          }
        }
      }
    }
  }
}

// Trees on more than 12 features are valued mask by mask instead of node table by node table,
// also where their leaves are large.
TEST(ShapExact, LargeTreesAreValuedMaskByMask) {
  for (const float root_side : {0.0f, 1e9f}) {
    SCOPED_TRACE(root_side);
    std::mt19937 rng(11);
    std::vector<TrainedStump> stumps = random_trees(rng, 2, 5, 14);
    // Tree 0 made full, node i splitting on feature i mod 14, so that it splits on all 14.
    std::map<std::uint32_t, TrainedStump> full;
    for (const TrainedStump& s : stumps) {
      if ((s.node_id >> 20) == 0) full[s.node_id] = s;
    }
    for (std::uint32_t local = 0; local < 31; ++local) {
      TrainedStump s = full.count(local) != 0 ? full[local] : full[0];
      s.node_id = local;
      s.feature_index = local % 14;
      full[local] = s;
    }
    if (root_side != 0.0f) full[0].left = full[0].right = root_side;
    std::erase_if(stumps, [](const TrainedStump& s) { return (s.node_id >> 20) == 0; });
    for (const auto& [local, s] : full) stumps.push_back(s);
    TrainedModel model = single_model(stumps);
    model.feature_count = 14;
    Rows rows;
    for (int r = 0; r < 3; ++r) {
      rows.emplace_back();
      for (int f = 0; f < 14; ++f) rows.back().push_back(float(rng() % 10));
    }
    const ShapExplanationBatch batch = explain_rows_from_model(model, rows, nullptr);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      double expected = 0.0;
      const std::vector<double> phi =
          ref_shap({&stumps, 0.25, std::nullopt, std::nullopt}, rows[r], rows[r], &expected);
      EXPECT_NEAR(batch.expected_value, expected, 1e-5 * (1 + std::fabs(expected)));
      for (std::size_t f = 0; f < phi.size(); ++f) {
        EXPECT_NEAR(batch.values[r][f], phi[f], 2e-5 * (1 + std::fabs(phi[f])));
      }
    }
  }
}

template <typename F>
std::string shap_error(F&& body, ShapErrorKind kind) {
  try {
    body();
  } catch (const ShapError& error) {
    EXPECT_EQ(error.kind(), kind) << error.message();
    return error.message();
  }
  return "no error";
}

TEST(ShapExact, RefusalsCarryTheirMessages) {
  std::mt19937 rng(5);
  TrainedModel model = single_model(random_trees(rng, 1, 2, kFeatures));
  const Rows good(2, std::vector<float>(kFeatures, 1.0f));
  Rows nan_row = good, inf_row = good;
  nan_row[1][3] = NAN;
  inf_row[0][2] = INFINITY;
  TrainedModel wide = model;
  wide.feature_count = 26;
  wide.stumps.clear();
  for (std::uint32_t f = 0; f < 26; ++f) {
    TrainedStump s;
    s.node_id = f << 20;
    s.feature_index = f;
    wide.stumps.push_back(s);
  }
  const BinningContext short_linear = LinearBinning{{0, 0, 0}, {1, 1, 1, 1}, 9};
  const BinningContext short_quantile = QuantileBinning{{{1.0f}}};
  const BinningContext short_rank = LinearRankBinning{{}, std::vector<float>(kFeatures), {}, 9};
  engine::MultiClassTrainedModel multiclass;
  multiclass.num_classes = 2;
  multiclass.feature_count = kFeatures;
  multiclass.objective = "multiclass_softmax";
  multiclass.class_baselines = {0, 0};
  multiclass.class_stumps = {model.stumps, model.stumps};
  const std::vector<std::uint8_t> multiclass_bytes = multiclass.to_artifact_bytes();
  TrainedModel joint = model;
  joint.objective = "joint_multi_output:x|baselines=0.5,1.5,";
  for (TrainedStump& s : joint.stumps) s.multi_output = engine::MultiOutputValues{{1, 2}, {3, 4}};
  const std::vector<std::uint8_t> joint_bytes = joint.to_artifact_bytes();
  const std::string impute = " contains NaN/Inf. SHAP values require finite feature values. If your data contains "
                             "missing values, impute them before calling shap_values().";
  const auto invalid = ShapErrorKind::InvalidInput;
  const auto runtime = ShapErrorKind::Runtime;
  const struct {
    std::function<void()> call;
    ShapErrorKind kind;
    std::string message;
  } table[] = {
      {[&] { explain_rows_from_model(model, Rows{}, nullptr); }, invalid, "rows cannot be empty"},
      {[&] { explain_rows_from_model(model, Rows{{1, 2}}, nullptr); }, invalid,
       "row 0 feature count 2 does not match expected 6"},
      {[&] { explain_rows_from_model(model, nan_row, nullptr); }, invalid, "row 1 feature 3" + impute},
      {[&] { explain_rows_from_model(model, inf_row, nullptr); }, invalid, "row 0 feature 2" + impute},
      {[&] { explain_rows_from_model(model, good, &short_linear); }, invalid,
       "BinningContext::Linear: feature_mins/feature_maxs length (3/4) must match feature_count 6"},
      {[&] { explain_rows_from_model(model, good, &short_quantile); }, invalid,
       "BinningContext::Quantile: feature_cuts length 1 must match feature_count 6"},
      {[&] { explain_rows_from_model(model, good, &short_rank); }, invalid,
       "BinningContext::LinearRank: per_feature/feature_mins/feature_maxs lengths (0/6/0) must all match "
       "feature_count 6"},
      {[&] { explain_rows_brute_force(wide, Rows(1, std::vector<float>(26, 0.0f)), nullptr); }, runtime,
       "exact SHAP supports at most 25 distinct split features per model (found 26)"},
      {[&] { explain_rows_from_artifact_bytes(multiclass_bytes, good); }, runtime,
       "Expected a single-output model. For multi-class/multi-output models, use the _per_output variants."},
      {[&] { explain_rows_from_artifact_bytes_per_output(joint_bytes, good); }, runtime,
       "Failed to parse |baselines= field in objective metadata string: cannot parse float from empty string"},
  };
  for (const auto& row : table) EXPECT_EQ(shap_error(row.call, row.kind), row.message);
  wide.stumps.pop_back();
  EXPECT_NO_THROW(explain_rows_from_model(wide, Rows(1, std::vector<float>(26, 0.0f)), nullptr));
}

}  // namespace
}  // namespace kestrune::shap
