// The stumps of one model arranged as trees: every stump under its (tree index, local id) key, the
// trees that have a root, and, for exact explanations, the distinct split features with their bit
// positions in a subset mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/binning.hpp"

namespace kestrune::shap {

// Above this many distinct split features the value table of the exact explainer (2^F entries)
// is too large: such models are explained by TreeSHAP.
inline constexpr std::size_t kMaxExactFeatures = 25;

inline std::uint64_t node_key(std::uint32_t tree, std::uint64_t local_id) {
  return (static_cast<std::uint64_t>(tree) << 32) | local_id;
}

struct StumpIndex {
  // Borrowed from the model; a later stump under the same key replaces an earlier one.
  std::unordered_map<std::uint64_t, const engine::TrainedStump*> nodes;
  std::vector<std::uint32_t> root_trees;  // trees with a stump of local id 0, ascending, distinct

  const engine::TrainedStump* find(std::uint32_t tree, std::uint64_t local_id) const {
    const auto it = nodes.find(node_key(tree, local_id));
    return it == nodes.end() ? nullptr : it->second;
  }
};

StumpIndex index_stumps(const engine::TrainedModel& model);

// ShapError::Runtime for a split feature beyond the model's feature count.
void check_split_features(const engine::TrainedModel& model);

struct ModelStructure {
  StumpIndex index;
  std::vector<std::uint32_t> split_features;              // distinct, ascending
  std::vector<std::optional<std::uint8_t>> feature_slot;  // per model feature: its position in split_features
};

// ShapError::Runtime as check_split_features, and for more than kMaxExactFeatures distinct split
// features.
ModelStructure build_model_structure(const engine::TrainedModel& model);

// Visits the stumps on one row's path through `tree` from its root, with the side taken:
// visit(stump, went_left). A feature beyond the row reads as NaN.
template <typename Visit>
void walk_row_path(const StumpIndex& index, std::uint32_t tree, std::span<const float> row,
                   const BinningContext* binning, Visit&& visit) {
  std::uint64_t id = 0;
  while (const engine::TrainedStump* stump = index.find(tree, id)) {
    const float x = stump->feature_index < row.size() ? row[stump->feature_index]
                                                  : std::numeric_limits<float>::quiet_NaN();
    const bool left = stump_goes_left(*stump, binning, x);
    visit(*stump, left);
    id = 2 * id + (left ? 1 : 2);
  }
}

}  // namespace kestrune::shap
