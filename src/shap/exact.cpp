#include "shap/exact.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <utility>

#include "parallel/parallel.hpp"
#include "shap/additivity.hpp"
#include "shap/error.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

// A tree whose own split features number at most this many gets its value sub-table built node by
// node over whole mask vectors (2 x depth tables of 2^k floats); larger trees are valued mask by
// mask, which needs no scratch. Both compute every entry with the same float operations.
constexpr std::size_t kNodeTableBits = 12;

// Value tables of all rows explained at once stay within this many floats (256 MiB).
constexpr std::size_t kTableFloatBudget = std::size_t{1} << 26;

constexpr std::size_t kRowsPerChunk = 8;

struct ExactNode {
  const engine::TrainedStump* stump = nullptr;
  std::int32_t left = -1;  // positions in the tree's node list; -1 where no stump follows
  std::int32_t right = -1;
  std::uint32_t local_bit = 0;  // the node's feature among the tree's own split features
  // Where no stump follows a side, the value of the leaf it ends in, less the tree's centre (see
  // ExactTree). Where one does, the side's own value is already in every leaf below it.
  float left_leaf = 0.0f;
  float right_leaf = 0.0f;
  double left_leaf_exact = 0.0;  // the same before rounding, for the row's own path
  double right_leaf_exact = 0.0;
  float left_weight = 0.5f;  // the left side's share of the training rows
  float right_weight = 0.5f;
  // Node tables range over the local bits of the node's own subtree only (compressed, in
  // ascending bit order): where this node's bit lies in them, and for each entry the entry of
  // each child's table. Built only for trees valued by tables.
  std::uint32_t subtree_bits = 0;
  std::uint32_t own_bit = 0;
  std::vector<std::uint32_t> left_entry;
  std::vector<std::uint32_t> right_entry;
};

// A tree is valued in float32 relative to its centre: its value with no feature known, the
// cover-weighted average of its leaves (with linear leaves at the feature baseline), in float64.
// Each leaf holds its path's sum of side values less the centre, rounded once. A value is a
// weighted average of leaves whose weights sum to 1, so every value of the tree moves by exactly
// the centre, and the float32 values are of the size of the tree's contributions rather than of
// its leaves: a tree whose leaves all carry 1e9 would otherwise round each of them by up to 32,
// which no Shapley difference can take back. The centres cancel in every difference; they come
// back only in v of the empty set. A node's two float32 weights may sum to 1 +- 2^-25, so the
// average is divided by the sum of the leaves' weights: the walk then values the empty set at 0
// relative to the centre, up to its own rounding, even where the leaves all carry 1e9.
struct ExactTree {
  std::vector<ExactNode> nodes;              // pre-order from the root: children after parents
  std::vector<std::uint32_t> feature_bits;   // per local bit: the feature's bit in a model mask
  std::size_t depth = 0;
  double centre = 0.0;
};

// The bits of `full` under `mask`, packed into the low bits in ascending order, and back.
std::uint32_t compress_bits(std::uint32_t full, std::uint32_t mask) {
  std::uint32_t out = 0;
  for (std::uint32_t j = 0; mask != 0; mask &= mask - 1, ++j) out |= ((full >> std::countr_zero(mask)) & 1u) << j;
  return out;
}

std::uint32_t expand_bits(std::uint32_t packed, std::uint32_t mask) {
  std::uint32_t out = 0;
  for (std::uint32_t j = 0; mask != 0; mask &= mask - 1, ++j) out |= ((packed >> j) & 1u) << std::countr_zero(mask);
  return out;
}

std::uint32_t fill_subtree_maps(ExactTree& tree, std::int32_t position) {
  if (position < 0) return 0;
  ExactNode& node = tree.nodes[static_cast<std::size_t>(position)];
  const std::uint32_t left = fill_subtree_maps(tree, node.left);
  const std::uint32_t right = fill_subtree_maps(tree, node.right);
  node.subtree_bits = left | right | (1u << node.local_bit);
  node.own_bit = compress_bits(1u << node.local_bit, node.subtree_bits);
  node.own_bit = static_cast<std::uint32_t>(std::countr_zero(node.own_bit));
  const std::size_t size = std::size_t{1} << std::popcount(node.subtree_bits);
  node.left_entry.resize(node.left >= 0 ? size : 0);
  node.right_entry.resize(node.right >= 0 ? size : 0);
  for (std::uint32_t c = 0; c < size; ++c) {
    const std::uint32_t full = expand_bits(c, node.subtree_bits);
    if (node.left >= 0) node.left_entry[c] = compress_bits(full, left);
    if (node.right >= 0) node.right_entry[c] = compress_bits(full, right);
  }
  return node.subtree_bits;
}

ExactTree build_tree(const ModelStructure& structure, std::uint32_t tree, const engine::TrainedModel& model) {
  ExactTree out;
  std::vector<std::uint32_t> local_bit_of(structure.split_features.size(), UINT32_MAX);
  // Per node, the sums of side values from the root through each of its sides, in float64.
  std::vector<std::pair<double, double>> paths;
  auto visit = [&](auto& self, std::uint64_t local_id, std::size_t depth, double path) -> std::int32_t {
    const engine::TrainedStump* stump = structure.index.find(tree, local_id);
    if (stump == nullptr) return -1;
    out.depth = std::max(out.depth, depth + 1);
    const std::uint32_t bit = *structure.feature_slot[stump->feature_index];
    if (local_bit_of[bit] == UINT32_MAX) {
      local_bit_of[bit] = static_cast<std::uint32_t>(out.feature_bits.size());
      out.feature_bits.push_back(bit);
    }
    const auto position = static_cast<std::int32_t>(out.nodes.size());
    ExactNode node;
    node.stump = stump;
    node.local_bit = local_bit_of[bit];
    const auto l = static_cast<float>(stump->left_stats.count);
    const auto r = static_cast<float>(stump->right_stats.count);
    const float total = l + r;
    node.left_weight = total > 0.0f ? l / total : 0.5f;
    node.right_weight = 1.0f - node.left_weight;
    out.nodes.push_back(node);
    const double left_path = path + side_value_at_baseline(stump->left, model.feature_baseline);
    const double right_path = path + side_value_at_baseline(stump->right, model.feature_baseline);
    paths.emplace_back(left_path, right_path);
    const std::int32_t left = self(self, 2 * local_id + 1, depth + 1, left_path);
    const std::int32_t right = self(self, 2 * local_id + 2, depth + 1, right_path);
    out.nodes[position].left = left;
    out.nodes[position].right = right;
    return position;
  };
  visit(visit, 0, 0, 0.0);
  // The centre, weighted as the walk weighs, then the leaves relative to it. Per subtree: the sum
  // of its leaves times their weights, and the sum of those weights.
  auto weighted = [&](auto& self, std::int32_t position) -> std::pair<double, double> {
    const ExactNode& node = out.nodes[static_cast<std::size_t>(position)];
    const auto [left_path, right_path] = paths[static_cast<std::size_t>(position)];
    const auto [left, left_weights] = node.left >= 0 ? self(self, node.left) : std::pair{left_path, 1.0};
    const auto [right, right_weights] = node.right >= 0 ? self(self, node.right) : std::pair{right_path, 1.0};
    const auto wl = static_cast<double>(node.left_weight);
    const auto wr = static_cast<double>(node.right_weight);
    return {wl * left + wr * right, wl * left_weights + wr * right_weights};
  };
  if (!out.nodes.empty()) {
    const auto [sum, weights] = weighted(weighted, 0);
    out.centre = sum / weights;
  }
  for (std::size_t i = 0; i < out.nodes.size(); ++i) {
    ExactNode& node = out.nodes[i];
    node.left_leaf_exact = paths[i].first - out.centre;
    node.right_leaf_exact = paths[i].second - out.centre;
    node.left_leaf = static_cast<float>(node.left_leaf_exact);
    node.right_leaf = static_cast<float>(node.right_leaf_exact);
  }
  if (out.feature_bits.size() <= kNodeTableBits) fill_subtree_maps(out, 0);
  return out;
}

// One node's value given the values of its two sides: the row's side when the feature is known,
// else both sides weighted by their training rows.
inline float combine(const ExactNode& node, bool known, bool go_left, float left, float right) {
  if (known) return go_left ? left : right;
  return node.left_weight * left + node.right_weight * right;
}

// A known feature's node values only the side the row takes.
float subtree_value(const ExactTree& tree, std::int32_t position, const std::uint8_t* go_left, std::uint32_t mask) {
  const ExactNode& node = tree.nodes[static_cast<std::size_t>(position)];
  const bool known = ((mask >> node.local_bit) & 1u) != 0;
  const bool row_left = go_left[position] != 0;
  const bool need_left = !known || row_left;
  const bool need_right = !known || !row_left;
  const float left = need_left && node.left >= 0 ? subtree_value(tree, node.left, go_left, mask) : node.left_leaf;
  const float right = need_right && node.right >= 0 ? subtree_value(tree, node.right, go_left, mask) : node.right_leaf;
  return combine(node, known, row_left, left, right);
}

// The tree's value with every feature known, less its centre, in float64: the leaf the row reaches.
double row_leaf_exact(const ExactTree& tree, const std::uint8_t* go_left) {
  std::int32_t position = 0;
  for (;;) {
    const ExactNode& node = tree.nodes[static_cast<std::size_t>(position)];
    const bool left = go_left[position] != 0;
    const std::int32_t next = left ? node.left : node.right;
    if (next < 0) return left ? node.left_leaf_exact : node.right_leaf_exact;
    position = next;
  }
}

// The table of the subtree at `position` over its own bits (see ExactNode): entry c equals
// subtree_value(position, m) for every tree mask m whose subtree bits pack to c. Children's tables
// go to scratch, two per level below this one.
void subtree_table(const ExactTree& tree, std::int32_t position, const std::uint8_t* go_left, float* out,
                   float* scratch, std::size_t stride) {
  const ExactNode& node = tree.nodes[static_cast<std::size_t>(position)];
  const std::size_t size = std::size_t{1} << std::popcount(node.subtree_bits);
  float* left = scratch;
  float* right = scratch + stride;
  if (node.left >= 0) subtree_table(tree, node.left, go_left, left, scratch + 2 * stride, stride);
  if (node.right >= 0) subtree_table(tree, node.right, go_left, right, scratch + 2 * stride, stride);
  const bool row_left = go_left[position] != 0;
  for (std::size_t c = 0; c < size; ++c) {
    const float l = node.left >= 0 ? left[node.left_entry[c]] : node.left_leaf;
    const float r = node.right >= 0 ? right[node.right_entry[c]] : node.right_leaf;
    out[c] = combine(node, ((c >> node.own_bit) & 1u) != 0, row_left, l, r);
  }
}

struct Explainer {
  const engine::TrainedModel& model;
  const BinningContext* binning;
  ModelStructure structure;
  std::vector<ExactTree> trees;
  std::vector<double> shapley_weights;  // by subset size
  bool linear = false;
  std::size_t feature_bits = 0;
  std::size_t max_tree_bits = 0;
  std::size_t max_depth = 0;
  float expected_value = 0.0f;
};

// What one thread reuses from row to row.
struct RowScratch {
  std::vector<float> table;
  std::vector<float> sub;
  std::vector<float> levels;
  std::vector<std::uint8_t> go_left;
  std::vector<std::uint32_t> low_projection;
  std::vector<std::uint32_t> high_projection;
  std::vector<double> phi;
};

Explainer prepare(const engine::TrainedModel& model, const BinningContext* binning) {
  Explainer ex{model, binning, build_model_structure(model), {}, {}, has_linear_leaves(model)};
  ex.feature_bits = ex.structure.split_features.size();
  // The expected value is v of the empty set: the base and the trees' centres, each centre being
  // its tree's value with no feature known, added in float64 and rounded once.
  double centres = 0.0;
  for (const std::uint32_t tree : ex.structure.index.root_trees) {
    ex.trees.push_back(build_tree(ex.structure, tree, model));
    centres += ex.trees.back().centre;
    ex.max_tree_bits = std::max(ex.max_tree_bits, ex.trees.back().feature_bits.size());
    ex.max_depth = std::max(ex.max_depth, ex.trees.back().depth);
  }
  const std::size_t f = ex.feature_bits;
  std::vector<double> fact(f + 1, 1.0);
  for (std::size_t k = 1; k <= f; ++k) fact[k] = fact[k - 1] * static_cast<double>(k);
  for (std::size_t s = 0; s < f; ++s) ex.shapley_weights.push_back(fact[s] * fact[f - 1 - s] / fact[f]);
  ex.expected_value = static_cast<float>(static_cast<double>(model.base_prediction) + centres);
  return ex;
}

// Fills scratch.table with v(m) less the base and the trees' centres for every model mask m: each
// tree's centred value added in tree order, in float32. The base and the centres cancel in every
// difference the values are made of, so the entries keep the size of the values themselves and
// are rounded at that scale, however large the base or the leaves. Returns the full set's value
// on the same terms in float64: the sum of the row's own centred leaves.
double fill_value_table(const Explainer& ex, std::span<const float> row, RowScratch& scratch) {
  const std::size_t f = ex.feature_bits;
  std::fill(scratch.table.begin(), scratch.table.end(), 0.0f);
  const std::size_t low_bits = (f + 1) / 2;
  const std::size_t high_bits = f - low_bits;
  double full = 0.0;
  for (const ExactTree& tree : ex.trees) {
    scratch.go_left.resize(tree.nodes.size());
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
      const std::uint32_t feature = tree.nodes[i].stump->feature_index;
      if (feature >= row.size()) {
        throw ShapError::runtime("split feature_index " + std::to_string(feature) + " exceeds row feature length " +
                                 std::to_string(row.size()));
      }
      scratch.go_left[i] = stump_goes_left(*tree.nodes[i].stump, ex.binning, row[feature]) ? 1 : 0;
    }
    full += row_leaf_exact(tree, scratch.go_left.data());
    const std::size_t tree_size = std::size_t{1} << tree.feature_bits.size();
    if (tree.feature_bits.size() <= kNodeTableBits) {
      subtree_table(tree, 0, scratch.go_left.data(), scratch.sub.data(), scratch.levels.data(), tree_size);
    } else {
      for (std::size_t m = 0; m < tree_size; ++m) {
        scratch.sub[m] = subtree_value(tree, 0, scratch.go_left.data(), static_cast<std::uint32_t>(m));
      }
    }
    // A model mask's tree mask, from its low and high halves.
    scratch.low_projection.assign(std::size_t{1} << low_bits, 0);
    scratch.high_projection.assign(std::size_t{1} << high_bits, 0);
    for (std::size_t j = 0; j < tree.feature_bits.size(); ++j) {
      const std::uint32_t bit = tree.feature_bits[j];
      if (bit < low_bits) {
        for (std::size_t x = 0; x < scratch.low_projection.size(); ++x) {
          scratch.low_projection[x] |= static_cast<std::uint32_t>((x >> bit) & 1u) << j;
        }
      } else {
        for (std::size_t x = 0; x < scratch.high_projection.size(); ++x) {
          scratch.high_projection[x] |= static_cast<std::uint32_t>((x >> (bit - low_bits)) & 1u) << j;
        }
      }
    }
    const float* sub = scratch.sub.data();
    float* table = scratch.table.data();
    for (std::size_t high = 0; high < scratch.high_projection.size(); ++high) {
      const std::uint32_t h = scratch.high_projection[high];
      float* block = table + (high << low_bits);
      for (std::size_t low = 0; low < scratch.low_projection.size(); ++low) {
        block[low] = block[low] + sub[h | scratch.low_projection[low]];
      }
    }
  }
  return full;
}

std::vector<float> explain_row(const Explainer& ex, std::size_t r, std::span<const float> row,
                               RowScratch& scratch) {
  // The values add up to v(full set) - v(empty set), whatever the entries between them, so those
  // two ends are held exactly rather than as float32 sums of one rounding per tree at the scale of
  // the trees' centred leaves, which for trees whose leaves lie far from their centre exceeds what
  // a row's sum may miss. The empty set's entry is 0 by the centres' definition (so every row
  // starts from the expected value itself, and none can drift from it), and the full set's is the
  // row's own centred leaves, summed in float64. The differences are taken in float64 too, where
  // two float32 entries subtract exactly, so that the entries between the two ends cancel in the
  // sum of the values and round only the values themselves.
  const double full = fill_value_table(ex, row, scratch);
  scratch.table[0] = 0.0f;
  const float* v = scratch.table.data();
  std::vector<double>& phi = scratch.phi;
  std::fill(phi.begin(), phi.end(), 0.0);
  const std::size_t f = ex.feature_bits;
  const std::size_t full_mask = (std::size_t{1} << f) - 1;
  for (std::size_t p = 0; p < f; ++p) {
    const std::size_t bit = std::size_t{1} << p;
    const std::size_t blocks = std::size_t{1} << (f - 1 - p);
    double sum = 0.0;
    for (std::size_t high = 0; high < blocks; ++high) {
      const std::size_t base = high << (p + 1);
      const std::size_t lows = high + 1 < blocks ? bit : bit - 1;  // the last mask completes the full set
      for (std::size_t low = 0; low < lows; ++low) {
        const std::size_t m = base | low;
        const double difference = static_cast<double>(v[m | bit]) - static_cast<double>(v[m]);
        sum += ex.shapley_weights[static_cast<std::size_t>(std::popcount(m))] * difference;
      }
    }
    sum += ex.shapley_weights[f - 1] * (full - static_cast<double>(v[full_mask ^ bit]));
    phi[ex.structure.split_features[p]] = sum;
  }
  if (ex.linear) {
    distribute_linear_terms_for_row(ex.structure.index, row, ex.model.feature_baseline, ex.binning, phi);
  }
  std::vector<float> values(phi.size());
  for (std::size_t j = 0; j < phi.size(); ++j) values[j] = static_cast<float>(phi[j]);
  verify_additivity(ex.model, ex.structure.index, row, values, r, ex.binning, ex.expected_value,
                    ex.linear);
  return values;
}

}  // namespace

ShapExplanationBatch explain_rows_brute_force(const engine::TrainedModel& model,
                                              std::span<const std::vector<float>> rows,
                                              const BinningContext* binning) {
  const Explainer ex = prepare(model, binning);
  ShapExplanationBatch batch;
  batch.expected_value = ex.expected_value;
  batch.values.resize(rows.size());
  const std::size_t table_size = std::size_t{1} << ex.feature_bits;
  const std::size_t max_threads = std::max<std::size_t>(1, kTableFloatBudget / table_size);
  parallel::parallel_for_chunks(
      rows.size(), kRowsPerChunk,
      [&](std::size_t first, std::size_t last) {
        RowScratch scratch;
        scratch.table.resize(table_size);
        scratch.sub.resize(std::size_t{1} << ex.max_tree_bits);
        scratch.levels.resize(2 * (ex.max_depth + 1) * (std::size_t{1} << std::min(ex.max_tree_bits, kNodeTableBits)));
        scratch.phi.resize(model.feature_count);
        for (std::size_t r = first; r < last; ++r) {
          batch.values[r] = explain_row(ex, r, rows[r], scratch);
        }
      },
      parallel::kDefaultMinParallel, max_threads);
  return batch;
}

}  // namespace kestrune::shap
