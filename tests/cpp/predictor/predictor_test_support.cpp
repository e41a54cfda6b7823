#include "predictor_test_support.hpp"

#include <algorithm>
#include <limits>

#include "engine/artifact_sections.hpp"
#include "engine/tree_payload.hpp"
#include "support/bytes.hpp"

namespace kestrune::predictor_testing {

Bytes artifact_with(std::size_t feature_count, const std::vector<core::SectionPayload>& sections,
                    std::string objective, std::optional<std::uint32_t> num_classes) {
  return core::serialize_model_artifact_v1(engine::model_metadata_for(feature_count, objective, num_classes), sections);
}

Bytes trees_payload(std::uint32_t feature_count, float base, const std::vector<engine::TrainedStump>& stumps) {
  engine::TrainedModel model;
  model.feature_count = feature_count;
  model.base_prediction = base;
  model.stumps = stumps;
  return engine::encode_trained_model_payload(model);
}

Bytes layout_payload(std::uint32_t feature_count) { return engine::encode_predictor_layout_payload(feature_count); }

Bytes trees_artifact(std::uint32_t feature_count, const std::vector<engine::TrainedStump>& stumps, float base,
                     const std::vector<core::SectionPayload>& extra, std::string objective) {
  std::vector<core::SectionPayload> sections = {{core::ModelSectionKind::Trees, trees_payload(feature_count, base, stumps)},
                                                {core::ModelSectionKind::PredictorLayout, layout_payload(feature_count)}};
  sections.insert(sections.end(), extra.begin(), extra.end());
  return artifact_with(feature_count, sections, std::move(objective));
}

Bytes multiclass_payload(std::uint32_t feature_count, const std::vector<float>& baselines,
                         const std::vector<std::vector<engine::TrainedStump>>& class_stumps) {
  support::ByteWriter writer;
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(baselines.size()));
  writer.put_u32(feature_count);
  for (const float b : baselines) writer.put_f32(b);
  for (const auto& stumps : class_stumps) writer.put_u32(static_cast<std::uint32_t>(stumps.size()));
  for (const auto& stumps : class_stumps) {
    for (const auto& stump : stumps) engine::write_stump_record(writer, stump);
  }
  return writer.take();
}

namespace {

float uniform(std::mt19937_64& rng, float low, float high) {
  return std::uniform_real_distribution<float>(low, high)(rng);
}

bool chance(std::mt19937_64& rng, double p) { return std::bernoulli_distribution(p)(rng); }

core::LinearLeaf random_linear_leaf(std::mt19937_64& rng, std::size_t feature_count) {
  core::LinearLeaf leaf;
  leaf.intercept = uniform(rng, -1.0f, 1.0f);
  const std::size_t terms = std::uniform_int_distribution<std::size_t>(0, 3)(rng);
  for (std::size_t k = 0; k < terms; ++k) {
    // Now and then a feature beyond the row: that term is skipped.
    leaf.feature_indices.push_back(static_cast<std::uint32_t>(rng() % (feature_count + 1)));
    leaf.coefficients.push_back(uniform(rng, -0.2f, 0.2f));
  }
  return leaf;
}

}  // namespace

std::vector<engine::TrainedStump> random_stumps(std::mt19937_64& rng, const ModelShape& shape,
                                                std::uint32_t first_tree) {
  std::vector<engine::TrainedStump> all;
  for (std::uint32_t t = first_tree; t < first_tree + shape.trees; ++t) {
    const float weight = shape.dart ? uniform(rng, 0.2f, 1.5f) : 1.0f;
    std::vector<std::uint32_t> frontier = {0};
    std::vector<engine::TrainedStump> tree;
    const std::size_t splits = std::uniform_int_distribution<std::size_t>(0, shape.max_splits)(rng);
    while (tree.size() < splits && !frontier.empty()) {
      const std::size_t pick = rng() % frontier.size();
      const std::uint32_t local = frontier[pick];
      frontier.erase(frontier.begin() + static_cast<std::ptrdiff_t>(pick));
      if (local > 0x7FFFE) continue;  // children would leave the 20-bit id space
      engine::TrainedStump stump =
          stump_at(t, local, static_cast<std::uint32_t>(rng() % shape.feature_count),
                   static_cast<std::uint16_t>(rng() % (shape.max_bin + 1)), uniform(rng, -1.0f, 1.0f),
                   uniform(rng, -1.0f, 1.0f));
      stump.default_left = chance(rng, 0.5);
      stump.tree_weight = weight;
      if (chance(rng, shape.categorical_rate)) {
        stump.categorical = true;
        if (!chance(rng, 0.2)) {
          std::vector<std::uint8_t> bitset(1 + rng() % ((shape.max_bin + 8) / 8));
          for (auto& byte : bitset) byte = static_cast<std::uint8_t>(rng());
          stump.category_bitset = bitset;
        }
      }
      if (chance(rng, shape.linear_rate)) stump.left = random_linear_leaf(rng, shape.feature_count);
      if (chance(rng, shape.linear_rate)) stump.right = random_linear_leaf(rng, shape.feature_count);
      tree.push_back(stump);
      frontier.push_back(2 * local + 1);
      frontier.push_back(2 * local + 2);
    }
    std::shuffle(tree.begin(), tree.end(), rng);
    all.insert(all.end(), tree.begin(), tree.end());
  }
  return all;
}

std::vector<std::vector<float>> random_bin_rows(std::mt19937_64& rng, std::size_t rows, std::size_t features,
                                                std::uint16_t max_bin) {
  std::vector<std::vector<float>> out(rows, std::vector<float>(features));
  for (auto& row : out) {
    for (float& v : row) {
      v = chance(rng, 0.08) ? std::numeric_limits<float>::quiet_NaN()
                            : static_cast<float>(rng() % (static_cast<std::uint64_t>(max_bin) + 3));
    }
  }
  return out;
}

namespace {

constexpr std::uint16_t kMissingBin = 65535;

float side_value(const core::LeafValue& side, const std::vector<float>& row) {
  if (const float* constant = std::get_if<float>(&side)) return *constant;
  const core::LinearLeaf& leaf = core::linear_leaf(side);
  float value = leaf.intercept;
  for (std::size_t k = 0; k < std::min(leaf.coefficients.size(), leaf.feature_indices.size()); ++k) {
    const std::size_t j = leaf.feature_indices[k];
    if (j < row.size() && !std::isnan(row[j])) value = value + row[j] * leaf.coefficients[k];
  }
  return value;
}

bool numeric_goes_left(const engine::TrainedStump& stump, float bin) {
  return engine::routes_left(stump, std::isnan(bin) ? kMissingBin : static_cast<std::uint16_t>(bin), kMissingBin);
}

// A category set holds ids: the id is the value truncated toward zero, negative values naming 0
// and large ones the last id.
bool category_goes_left(const engine::TrainedStump& stump, float value) {
  if (std::isnan(value)) return stump.default_left;
  const double id = std::clamp(std::trunc(static_cast<double>(value)), 0.0, 65535.0);
  return stump.category_bitset ? engine::category_goes_left(*stump.category_bitset, static_cast<std::uint32_t>(id))
                               : stump.default_left;
}

}  // namespace

ReferenceForest reference_forest(const std::vector<engine::TrainedStump>& stumps) {
  ReferenceForest forest;
  for (const auto& stump : stumps) {
    forest.trees[stump.node_id >> 20][stump.node_id & 0xFFFFF] = &stump;
    forest.weights.try_emplace(stump.node_id >> 20, stump.tree_weight);
  }
  return forest;
}

float reference_raw_score(const ReferenceForest& forest, float base, const std::vector<float>& row) {
  return reference_raw_score(forest, base, row, row);
}

float reference_raw_score(const ReferenceForest& forest, float base, const std::vector<float>& row,
                          const std::vector<float>& raw_row) {
  float score = base;
  for (const auto& [tree, nodes] : forest.trees) {
    std::uint64_t id = 0;
    for (auto it = nodes.find(0); it != nodes.end(); it = nodes.find(static_cast<std::uint32_t>(id))) {
      const engine::TrainedStump& stump = *it->second;
      const bool left = stump.categorical ? category_goes_left(stump, raw_row.at(stump.feature_index))
                                          : numeric_goes_left(stump, row.at(stump.feature_index));
      score = score + side_value(left ? stump.left : stump.right, raw_row) * forest.weights.at(tree);
      id = left ? 2 * id + 1 : 2 * id + 2;
      if (id > 0xFFFFF) break;
    }
  }
  return score;
}

float reference_transform(std::string_view objective, float x) {
  if (objective == "binary_crossentropy") {
    if (x >= 0.0f) return 1.0f / (1.0f + std::exp(-x));
    return std::exp(x) / (std::exp(x) + 1.0f);
  }
  if (objective == "poisson" || objective == "gamma" || objective == "tweedie") {
    if (std::isnan(x)) return x;
    return std::exp(std::min(std::max(x, -50.0f), 50.0f));
  }
  return x;
}

std::vector<float> reference_softmax(std::vector<float> scores) {
  float max = -std::numeric_limits<float>::infinity();
  for (const float s : scores) max = std::fmax(max, s);
  float sum = 0.0f;
  for (float& s : scores) sum = sum + (s = std::exp(s - max));
  if (sum > 0.0f || std::isnan(sum)) {
    for (float& s : scores) s = s / sum;
  }
  return scores;
}

std::vector<float> flatten(const std::vector<std::vector<float>>& rows) {
  std::vector<float> out;
  for (const auto& row : rows) out.insert(out.end(), row.begin(), row.end());
  return out;
}

Bytes to_le_bytes(const std::vector<float>& values) {
  support::ByteWriter writer;
  for (const float v : values) writer.put_f32(v);
  return writer.take();
}

}  // namespace kestrune::predictor_testing
