#include "engine/round.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "engine/error.hpp"
#include "engine/routing.hpp"
#include "engine/tree_node.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {

namespace {

// Local id -> stump of one tree. Later stumps replace earlier ones with the same local id.
class LocalIdTable {
 public:
  explicit LocalIdTable(std::span<const TrainedStump> stumps) {
    table_.reserve(stumps.size());
    for (const TrainedStump& stump : stumps) table_.insert_or_assign(local_id_of(stump.node_id), &stump);
  }
  const TrainedStump* find(std::uint32_t local) const {
    const auto found = table_.find(local);
    return found == table_.end() ? nullptr : found->second;
  }

 private:
  std::unordered_map<std::uint32_t, const TrainedStump*> table_;
};

std::optional<RawFeatureRows> present(std::optional<RawFeatureRows> raw) {
  if (raw && raw->values.empty()) return std::nullopt;
  return raw;
}

float side_value(const core::LeafValue& value, const std::optional<RawFeatureRows>& raw, std::size_t row) {
  if (const float* constant = std::get_if<float>(&value)) return *constant;
  const core::LinearLeaf& leaf = core::linear_leaf(value);
  if (!raw) return leaf.intercept;
  const std::optional<std::size_t> offset = support::checked_mul(row, raw->width);
  support::invariant(offset && *offset <= raw->values.size(), "raw feature rows are shorter than the walked rows");
  return linear_leaf_value_at(leaf, raw->values, *offset);
}

// One walk per row from local id 0 until the first id without a stump. `weight` replaces the
// stumps' tree weights when given.
template <typename Code>
void walk_rows(std::span<float> predictions, std::span<const Code> codes, const core::BinnedMatrix& binned,
               const LocalIdTable& table, const std::optional<RawFeatureRows>& raw, std::optional<float> weight) {
  const std::size_t features = binned.feature_count;
  for (std::size_t row = 0; row < predictions.size(); ++row) {
    const std::optional<std::size_t> row_base = support::checked_mul(row, features);
    std::uint32_t id = 0;
    while (const TrainedStump* stump = table.find(id)) {
      const std::optional<std::size_t> cell =
          row_base ? support::checked_add(*row_base, stump->feature_index) : std::nullopt;
      support::invariant(stump->feature_index < features && cell && *cell < codes.size(),
                         "tree walk reads a bin outside the binned matrix");
      const std::uint16_t bin = codes[*cell];
      const bool left = routes_left(*stump, bin, binned.missing_bin);
      const float value = side_value(left ? stump->left : stump->right, raw, row);
      const float scale = weight ? *weight : stump->tree_weight;
      predictions[row] = predictions[row] + scale * value;
      id = left ? 2 * id + 1 : 2 * id + 2;
    }
  }
}

void walk_tree(std::span<float> predictions, const core::BinnedMatrix& binned, std::span<const TrainedStump> stumps,
               std::optional<RawFeatureRows> raw, std::optional<float> weight) {
  if (stumps.empty()) return;
  const LocalIdTable table(stumps);
  if (table.find(0) == nullptr) return;  // a tree without its root reaches no stump
  raw = present(raw);
  binned.bins.visit([&](auto codes) { walk_rows(predictions, codes, binned, table, raw, weight); });
}

}  // namespace

float linear_leaf_value_at(const core::LinearLeaf& leaf, std::span<const float> raw, std::size_t row_offset) {
  float value = leaf.intercept;
  const std::size_t terms = std::min(leaf.feature_indices.size(), leaf.coefficients.size());
  for (std::size_t k = 0; k < terms; ++k) {
    const std::optional<std::size_t> position = support::checked_add(row_offset, leaf.feature_indices[k]);
    if (!position || *position >= raw.size()) continue;
    const float x = raw[*position];
    if (std::isnan(x)) continue;
    value = value + x * leaf.coefficients[k];
  }
  return value;
}

void apply_partition_leaf_updates(std::span<float> predictions, const core::PartitionResult& partition,
                                  float left_increment, float right_increment) {
  auto add = [&](std::span<const std::uint32_t> rows, float increment, const char* side) {
    for (std::uint32_t row : rows) {
      if (row >= predictions.size()) {
        throw EngineError::contract_violation(std::string(side) + " partition row index " + std::to_string(row) +
                                              " is out of bounds for predictions length " +
                                              std::to_string(predictions.size()));
      }
      predictions[row] += increment;
    }
  };
  add(partition.left_rows, left_increment, "left");
  add(partition.right_rows, right_increment, "right");
}

void apply_round_stumps_tree_walk(std::span<float> predictions, const core::BinnedMatrix& binned,
                                  std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw) {
  walk_tree(predictions, binned, stumps, raw, std::nullopt);
}

void apply_weighted_round_to_predictions(std::span<float> predictions, const core::BinnedMatrix& binned,
                                         std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw,
                                         float weight) {
  if (weight == 0.0f) return;
  walk_tree(predictions, binned, stumps, raw, weight);
}

void apply_tree_to_binned_predictions(std::span<float> predictions, const core::BinnedMatrix& binned,
                                      std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw) {
  std::size_t start = 0;
  while (start < stumps.size()) {
    const std::uint32_t tree = tree_index_of(stumps[start].node_id);
    std::size_t end = start + 1;
    while (end < stumps.size() && tree_index_of(stumps[end].node_id) == tree) ++end;
    apply_round_stumps_tree_walk(predictions, binned, stumps.subspan(start, end - start), raw);
    start = end;
  }
}

std::vector<float> tree_predictions_for_binned_rows(const core::BinnedMatrix& binned,
                                                    std::span<const TrainedStump> stumps) {
  std::vector<float> predictions(binned.row_count, 0.0f);
  apply_tree_to_binned_predictions(predictions, binned, stumps, std::nullopt);
  return predictions;
}

}  // namespace kestrune::engine
